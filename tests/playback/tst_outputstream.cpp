#include "audiodevice.h"
#include "outputstream.h"
#include "samplesource.h"
#include "stoprecorder.h"
#include "testmp3.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>

using namespace std::chrono_literals;
using audio::AudioDevice;
using audio::OutputStream;
using audio::SampleSource;

// Runs on SDL's disk driver: what the device plays ends up in a file, which is compared with a
// decoding of the whole track. The device writes silence while nothing plays, so both sides are
// compared without their all-zero frames.
class TestOutputStream : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void playsWholeTrack_data();
    void playsWholeTrack();
    void resumesGrowingFile_data();
    void resumesGrowingFile();
    void resumesWhileWriterAppends();
    void reportsEachStopOnce();
    void scalesByVolume();
    void survivesBadData_data();
    void survivesBadData();
    void releasesInAnyOrder_data();
    void releasesInAnyOrder();
    void releasesFromTheCallback();
    void mixesTwoSoundsOnOneDevice();
    void pausesWhereItIs();
    void seeksWithinOneFrame();
    void seeksOnlyWithinWhatArrived();
    void failsWithoutDevice();

private:
    QString tone(const QString &name, double seconds, int rate = 44100, int channels = 1);
    QString newFile(const QString &name, const QByteArray &content = {});
    static void append(const QString &path, const QByteArray &data);
    static QByteArray contents(const QString &path);
    std::vector<int16_t> devicesOutput() const;
    static std::shared_ptr<SampleSource> source(const QString &path);

    QTemporaryDir m_dir;
    QString m_output;
    int m_run = 0;
};

void TestOutputStream::initTestCase()
{
    if (TestMp3::lamePath().isEmpty())
        QSKIP("the lame encoder is not installed; install the lame package");
    QCOMPARE(qgetenv("SDL_AUDIODRIVER"), QByteArray("disk"));
    QVERIFY(m_dir.isValid());
}

void TestOutputStream::init()
{
    // Every device of a test writes a file of its own; a short delay per buffer lets the disk
    // driver run many times faster than real time.
    m_output = m_dir.filePath(QStringLiteral("device-%1.raw").arg(++m_run));
    qputenv("SDL_DISKAUDIOFILE", QFile::encodeName(m_output));
    qputenv("SDL_DISKAUDIODELAY", "1");
}

QString TestOutputStream::tone(const QString &name, double seconds, int rate, int channels)
{
    const QString path = m_dir.filePath(name + QStringLiteral(".mp3"));
    if (!QFile::exists(path) && !TestMp3::makeTone(path, seconds, rate, channels))
        return {};
    return path;
}

QString TestOutputStream::newFile(const QString &name, const QByteArray &content)
{
    const QString path = m_dir.filePath(name);
    QFile::remove(path);
    append(path, content);
    return path;
}

void TestOutputStream::append(const QString &path, const QByteArray &data)
{
    QFile file(path);
    if (file.open(QIODevice::Append))
        file.write(data);
}

QByteArray TestOutputStream::contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::vector<int16_t> TestOutputStream::devicesOutput() const
{
    const QByteArray raw = contents(m_output);
    std::vector<int16_t> samples(size_t(raw.size()) / 2);
    if (!samples.empty())
        memcpy(samples.data(), raw.constData(), samples.size() * 2);
    return TestMp3::withoutSilentFrames(samples);
}

std::shared_ptr<SampleSource> TestOutputStream::source(const QString &path)
{
    return SampleSource::open(QFile::encodeName(path).toStdString());
}

void TestOutputStream::playsWholeTrack_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");

    QTest::newRow("44100 Hz mono") << 44100 << 1;
    QTest::newRow("48000 Hz stereo") << 48000 << 2;
    QTest::newRow("22050 Hz mono") << 22050 << 1;
}

void TestOutputStream::playsWholeTrack()
{
    QFETCH(int, rate);
    QFETCH(int, channels);
    const QString path
        = tone(QStringLiteral("whole-%1-%2").arg(rate).arg(channels), 1.0, rate, channels);
    QVERIFY(!path.isEmpty());
    const std::vector<int16_t> expected = TestMp3::decodeWhole(path);
    const auto expectedFrames = qint64(expected.size() / 2) * AudioDevice::sampleRate / rate;

    auto recorder = std::make_shared<StopRecorder>();
    {
        auto device = AudioDevice::open();
        QVERIFY(device);
        device->registerCallback(recorder);
        auto stream = OutputStream::open(device, source(path), true);
        QVERIFY(stream);
        QVERIFY(!stream->isPlaying());
        stream->play();
        QVERIFY(stream->isPlaying());
        QVERIFY(recorder->waitForStreamsEnded(1, 10s));
        QVERIFY(!stream->isPlaying());
        QVERIFY2(std::abs(qint64(stream->framesPlayed()) - expectedFrames) < 100,
                 qPrintable(QStringLiteral("%1 instead of %2")
                                .arg(stream->framesPlayed())
                                .arg(expectedFrames)));
    }
    QCOMPARE(recorder->streamsEnded(), 1);
    QCOMPARE(recorder->stopsCalled(), 0);
    QVERIFY(!recorder->threads().count(std::this_thread::get_id()));

    const std::vector<int16_t> played = devicesOutput();
    QCOMPARE(TestMp3::dominantFrequency(played, AudioDevice::sampleRate), 440.0);
    if (rate == AudioDevice::sampleRate)
        QVERIFY(played == TestMp3::withoutSilentFrames(expected));
}

void TestOutputStream::resumesGrowingFile_data()
{
    QTest::addColumn<int>("chunk");
    QTest::addColumn<int>("tagSize");

    QTest::newRow("3000-byte pieces") << 3000 << 0;
    QTest::newRow("frame-sized pieces, tag first") << 209 << 2048;
    QTest::newRow("large tag first") << 12000 << 100000;
}

// Each piece is played until the data runs out, as the window does when the transfer is slower
// than the sound: the same sound goes on from where it stopped.
void TestOutputStream::resumesGrowingFile()
{
    QFETCH(int, chunk);
    QFETCH(int, tagSize);
    const QString path = tone(QStringLiteral("growing"), 1.5);
    QVERIFY(!path.isEmpty());
    QByteArray content = contents(path);
    if (tagSize)
        content.prepend(TestMp3::id3v2Tag(tagSize));
    const QString complete = newFile(QStringLiteral("complete.mp3"), content);
    const std::vector<int16_t> expected = TestMp3::decodeWhole(complete);

    auto recorder = std::make_shared<StopRecorder>();
    {
        const QString growing = newFile(QStringLiteral("growing"));
        auto device = AudioDevice::open();
        QVERIFY(device);
        device->registerCallback(recorder);
        auto stream = OutputStream::open(device, source(growing), true);
        QVERIFY(stream);
        stream->setVolume(1.0f);
        int plays = 0;
        stream->play();
        QVERIFY(recorder->waitForStreamsEnded(++plays, 5s));
        QCOMPARE(stream->framesPlayed(), 0u);
        QByteArray pieces[2] = {content.left(tagSize), content.mid(tagSize)};
        for (const QByteArray &part : pieces) {
            for (qsizetype at = 0; at < part.size(); at += chunk) {
                append(growing, part.mid(at, chunk));
                stream->play();
                QVERIFY2(recorder->waitForStreamsEnded(++plays, 5s),
                         qPrintable(QString::number(at)));
            }
        }
        QCOMPARE(recorder->streamsEnded(), plays);
        QCOMPARE(stream->framesPlayed(), expected.size() / 2);
    }
    QCOMPARE(recorder->stopsCalled(), 0);
    QVERIFY(devicesOutput() == TestMp3::withoutSilentFrames(expected));
}

// The way the window uses it: a transfer appends to the file on one thread while the sound
// plays, and every stop for lack of data is answered with play() from the stop callback.
void TestOutputStream::resumesWhileWriterAppends()
{
    const QString path = tone(QStringLiteral("writer"), 1.5);
    QVERIFY(!path.isEmpty());
    const QByteArray content = TestMp3::id3v2Tag(3000) + contents(path);
    const QString complete = newFile(QStringLiteral("complete.mp3"), content);
    const std::vector<int16_t> expected = TestMp3::decodeWhole(complete);

    auto recorder = std::make_shared<StopRecorder>();
    {
        const QString growing = newFile(QStringLiteral("growing"));
        auto device = AudioDevice::open();
        QVERIFY(device);
        device->registerCallback(recorder);
        auto stream = OutputStream::open(device, source(growing), true);
        QVERIFY(stream);
        std::atomic<bool> keepPlaying{true};
        OutputStream *sound = stream.get();
        recorder->setHook([&keepPlaying, sound](audio::StopReason reason) {
            if (reason == audio::StopReason::STREAM_ENDED && keepPlaying)
                sound->play();
        });
        stream->play();
        std::thread writer([&] {
            QFile file(growing);
            if (!file.open(QIODevice::Append))
                return;
            for (qsizetype at = 0; at < content.size(); at += 1500) {
                file.write(content.mid(at, 1500));
                file.flush();
                std::this_thread::sleep_for(2ms);
            }
        });
        writer.join();
        QTRY_COMPARE_WITH_TIMEOUT(stream->framesPlayed(), expected.size() / 2, 10000);
        keepPlaying = false;
        const int ends = recorder->streamsEnded();
        stream->play();
        QVERIFY(recorder->waitForStreamsEnded(ends + 1, 5s));
        recorder->setHook({});
        QVERIFY(recorder->streamsEnded() > 1);
    }
    QCOMPARE(recorder->stopsCalled(), 0);
    QVERIFY(devicesOutput() == TestMp3::withoutSilentFrames(expected));
}

void TestOutputStream::reportsEachStopOnce()
{
    qunsetenv("SDL_DISKAUDIODELAY"); // real time
    const QString path = tone(QStringLiteral("stop"), 1.0);
    QVERIFY(!path.isEmpty());
    auto recorder = std::make_shared<StopRecorder>();
    auto device = AudioDevice::open();
    QVERIFY(device);
    device->registerCallback(recorder);
    device->registerCallback(recorder);
    auto stream = OutputStream::open(device, source(path), true);
    QVERIFY(stream);

    stream->stop();
    stream->play();
    stream->play();
    QTRY_VERIFY(stream->framesPlayed() > 0);
    stream->stop();
    QVERIFY(!stream->isPlaying());
    QVERIFY(recorder->waitForStopsCalled(1, 5s));
    const uint64_t stoppedAt = stream->framesPlayed();
    stream->stop();
    QTest::qWait(150);
    QCOMPARE(stream->framesPlayed(), stoppedAt);
    QCOMPARE(recorder->stopsCalled(), 1);
    QCOMPARE(recorder->streamsEnded(), 0);

    stream->play();
    QVERIFY(recorder->waitForStreamsEnded(1, 5s));
    QCOMPARE(stream->framesPlayed(), TestMp3::decodeWhole(path).size() / 2);
    stream->stop();
    QTest::qWait(100);
    QCOMPARE(recorder->stopsCalled(), 1);
    QCOMPARE(recorder->streamsEnded(), 1);
}

void TestOutputStream::scalesByVolume()
{
    const QString path = tone(QStringLiteral("volume"), 0.5);
    QVERIFY(!path.isEmpty());
    auto recorder = std::make_shared<StopRecorder>();
    {
        auto device = AudioDevice::open();
        QVERIFY(device);
        device->registerCallback(recorder);
        auto stream = OutputStream::open(device, source(path), true);
        QVERIFY(stream);
        QCOMPARE(stream->getVolume(), 1.0f);
        stream->setVolume(7.0f);
        QCOMPARE(stream->getVolume(), 1.0f);
        stream->setVolume(-1.0f);
        QCOMPARE(stream->getVolume(), 0.0f);
        stream->setVolume(0.8f);
        QCOMPARE(stream->getVolume(), 0.8f);
        stream->play();
        QVERIFY(recorder->waitForStreamsEnded(1, 5s));
    }
    std::vector<int16_t> expected = TestMp3::decodeWhole(path);
    for (int16_t &sample : expected)
        sample = int16_t(std::lrint(float(sample) * 0.8f));
    QVERIFY(devicesOutput() == TestMp3::withoutSilentFrames(expected));
}

void TestOutputStream::survivesBadData_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("later");

    QFile mp3(tone(QStringLiteral("bad"), 0.5));
    QVERIFY(mp3.open(QIODevice::ReadOnly));
    const QByteArray track = mp3.readAll();
    QByteArray noise(30000, '\0');
    QRandomGenerator random(11);
    for (char &byte : noise)
        byte = char(random.generate());

    QTest::newRow("noise") << noise << QByteArray();
    QTest::newRow("error page") << QByteArray("<html>Not Found</html>\n") << QByteArray();
    QTest::newRow("truncated track") << track.left(track.size() / 3 + 5) << QByteArray();
    QTest::newRow("frame cut, then completed")
        << track.left(track.size() / 3 + 5) << track.mid(track.size() / 3 + 5);
    QTest::newRow("track, then noise") << track << noise;
}

void TestOutputStream::survivesBadData()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, later);
    const QString path = newFile(QStringLiteral("bad"), first);
    auto recorder = std::make_shared<StopRecorder>();
    auto device = AudioDevice::open();
    QVERIFY(device);
    device->registerCallback(recorder);
    auto stream = OutputStream::open(device, source(path), true);
    QVERIFY(stream);
    stream->play();
    QVERIFY(recorder->waitForStreamsEnded(1, 5s));
    if (!later.isEmpty()) {
        append(path, later);
        stream->play();
        QVERIFY(recorder->waitForStreamsEnded(2, 5s));
    }
    if (QByteArray(QTest::currentDataTag()) == "frame cut, then completed") {
        stream.reset();
        device.reset();
        QVERIFY(devicesOutput() == TestMp3::withoutSilentFrames(TestMp3::decodeWhole(path)));
    }
}

void TestOutputStream::releasesInAnyOrder_data()
{
    QTest::addColumn<QString>("order");
    for (const char *order : {"dsc", "dcs", "sdc", "scd", "cds", "csd"})
        QTest::newRow(order) << QString::fromLatin1(order);
}

// Whatever the order the handles go in while the sound plays, nothing is used after it is gone
// and no stop is reported once all are gone.
void TestOutputStream::releasesInAnyOrder()
{
    QFETCH(QString, order);
    qunsetenv("SDL_DISKAUDIODELAY");
    const QString path = tone(QStringLiteral("release"), 1.0);
    QVERIFY(!path.isEmpty());
    auto recorder = std::make_shared<StopRecorder>();
    std::weak_ptr<StopRecorder> watch = recorder;
    auto device = AudioDevice::open();
    QVERIFY(device);
    device->registerCallback(recorder);
    auto stream = OutputStream::open(device, source(path), true);
    QVERIFY(stream);
    stream->play();
    QTRY_VERIFY(stream->framesPlayed() > 0);
    stream->stop();
    for (const QChar step : order) {
        if (step == QLatin1Char('d'))
            device.reset();
        else if (step == QLatin1Char('s'))
            stream.reset();
        else
            recorder.reset();
    }
    QVERIFY(watch.expired());
}

void TestOutputStream::releasesFromTheCallback()
{
    const QString path = tone(QStringLiteral("release"), 1.0);
    QVERIFY(!path.isEmpty());
    auto recorder = std::make_shared<StopRecorder>();
    auto device = AudioDevice::open();
    QVERIFY(device);
    device->registerCallback(recorder);
    auto stream = OutputStream::open(device, source(path), true);
    QVERIFY(stream);
    std::mutex handles;
    std::atomic<bool> released{false};
    recorder->setHook([&](audio::StopReason) {
        {
            std::lock_guard<std::mutex> guard(handles);
            stream.reset();
            device.reset();
        }
        released = true;
    });
    {
        std::lock_guard<std::mutex> guard(handles);
        stream->play();
        device.reset();
    }
    QVERIFY(recorder->waitForStreamsEnded(1, 5s));
    QTRY_VERIFY(released);
    recorder->setHook({});
}

void TestOutputStream::mixesTwoSoundsOnOneDevice()
{
    const QString path = tone(QStringLiteral("pair"), 0.5);
    QVERIFY(!path.isEmpty());
    auto recorder = std::make_shared<StopRecorder>();
    auto device = AudioDevice::open();
    QVERIFY(device);
    device->registerCallback(recorder);
    auto first = source(path);
    auto one = OutputStream::open(device, first, true);
    QVERIFY(one);
    QVERIFY(!OutputStream::open(device, first, true));
    auto two = OutputStream::open(device, source(path), true);
    QVERIFY(two);
    one->play();
    two->play();
    QVERIFY(recorder->waitForStreamsEnded(2, 5s));
    QCOMPARE(one->framesPlayed(), two->framesPlayed());
    // Each event names its own sound.
    QVERIFY(one->id() != two->id());
    std::vector<uint64_t> stopped = recorder->streams();
    std::sort(stopped.begin(), stopped.end());
    std::vector<uint64_t> ids{one->id(), two->id()};
    std::sort(ids.begin(), ids.end());
    QVERIFY(stopped == ids);
    QVERIFY(!OutputStream::open(nullptr, source(path), true));
    QVERIFY(!OutputStream::open(device, nullptr, true));
}

// A pause takes no frame, reports nothing and holds the device however long it lasts; the sound
// goes on from the same frame, and nothing of it is lost or heard twice.
void TestOutputStream::pausesWhereItIs()
{
    const QString path = tone(QStringLiteral("pause"), 2.0);
    QVERIFY(!path.isEmpty());
    const std::vector<int16_t> expected = TestMp3::decodeWhole(path);
    auto recorder = std::make_shared<StopRecorder>();
    {
        auto device = AudioDevice::open();
        QVERIFY(device);
        device->registerCallback(recorder);
        auto stream = OutputStream::open(device, source(path), true);
        QVERIFY(stream);
        stream->play();
        QTRY_VERIFY(stream->position() > 20000);
        stream->pause();
        QVERIFY(stream->isPaused());
        QVERIFY(stream->isPlaying());
        const int64_t pausedAt = stream->position();
        const uint64_t underruns = stream->underruns();
        // The device is held: its thread calls no mixer while the only sound is paused.
        const uint64_t callbacks = device->callbackTimes().count;
        QTest::qWait(300);
        QCOMPARE(device->callbackTimes().count, callbacks);
        QCOMPARE(stream->position(), pausedAt);
        QCOMPARE(stream->framesPlayed(), uint64_t(pausedAt));
        QCOMPARE(stream->underruns(), underruns);
        QCOMPARE(recorder->streamsEnded() + recorder->stopsCalled(), 0);
        QVERIFY(int64_t(expected.size() / 2) > pausedAt);

        stream->resume();
        QVERIFY(!stream->isPaused());
        QTRY_VERIFY_WITH_TIMEOUT(stream->position() > pausedAt, 50);
        stream->pause();
        QTest::qWait(50);
        stream->play();
        QVERIFY(!stream->isPaused());
        QVERIFY(recorder->waitForStreamsEnded(1, 10s));
        QCOMPARE(stream->position(), int64_t(expected.size() / 2));
    }
    QCOMPARE(recorder->stopsCalled(), 0);
    QVERIFY(devicesOutput() == TestMp3::withoutSilentFrames(expected));
}

// A seek lands within one MP3 frame of its target, and what follows is the track from exactly
// where it says it landed, whether the sound plays, is paused or has ended.
void TestOutputStream::seeksWithinOneFrame()
{
    const QString path = tone(QStringLiteral("seek"), 3.0, 44100, 1);
    QVERIFY(!path.isEmpty());
    const std::vector<int16_t> expected = TestMp3::decodeWhole(path);
    const auto total = int64_t(expected.size() / 2);
    constexpr int64_t mp3Frame = 1152;
    auto recorder = std::make_shared<StopRecorder>();
    int64_t landed = -1;
    int64_t back = -1;
    {
        auto device = AudioDevice::open();
        QVERIFY(device);
        device->registerCallback(recorder);
        auto stream = OutputStream::open(device, source(path), true);
        QVERIFY(stream);
        // Before any frame was decoded, while stopped.
        QVERIFY(std::abs(stream->seek(30000) - 30000) <= mp3Frame);
        stream->play();
        QTRY_VERIFY(stream->position() > 40000);
        stream->pause();
        // The decoder fills the ring meanwhile: the seek drops all of it.
        QTest::qWait(100);
        // Forward past everything decoded so far, while paused: the position moves, and stays.
        landed = stream->seek(100000);
        QVERIFY2(std::abs(landed - 100000) <= mp3Frame, qPrintable(QString::number(landed)));
        QCOMPARE(stream->position(), landed);
        QTest::qWait(100);
        QCOMPARE(stream->position(), landed);
        stream->resume();
        QVERIFY(recorder->waitForStreamsEnded(1, 10s));
        QCOMPARE(stream->position(), total);
        // Back into the first frames, after the end.
        back = stream->seek(4410);
        QVERIFY2(std::abs(back - 4410) <= mp3Frame, qPrintable(QString::number(back)));
        QCOMPARE(stream->position(), back);
        stream->play();
        QVERIFY(recorder->waitForStreamsEnded(2, 10s));
        QCOMPARE(stream->position(), total);
        QCOMPARE(stream->seek(-5), 0);
        const int64_t end = stream->seek(10 * total);
        QVERIFY2(end <= total && end > total - 4 * mp3Frame, qPrintable(QString::number(end)));
    }
    QCOMPARE(recorder->stopsCalled(), 0);
    // The last of the output is the track from where the forward seek landed, then from where
    // the seek back landed.
    const std::vector<int16_t> played = devicesOutput();
    std::vector<int16_t> tail(expected.begin() + landed * 2, expected.end());
    tail.insert(tail.end(), expected.begin() + back * 2, expected.end());
    tail = TestMp3::withoutSilentFrames(tail);
    QVERIFY(played.size() > tail.size());
    QVERIFY(std::equal(tail.begin(), tail.end(), played.end() - long(tail.size())));
}

// A file still being written is sought only as far as it holds: a seek beyond lands a little
// short of its end, and the rest plays once it is there.
void TestOutputStream::seeksOnlyWithinWhatArrived()
{
    const QString path = tone(QStringLiteral("seekgrowing"), 3.0);
    QVERIFY(!path.isEmpty());
    const QByteArray content = TestMp3::id3v2Tag(4096) + contents(path);
    const QString complete = newFile(QStringLiteral("complete.mp3"), content);
    const std::vector<int16_t> expected = TestMp3::decodeWhole(complete);
    const auto total = int64_t(expected.size() / 2);
    const QString growing
        = newFile(QStringLiteral("seekgrowing"), content.left(4096 + (content.size() - 4096) / 3));
    auto recorder = std::make_shared<StopRecorder>();
    auto device = AudioDevice::open();
    QVERIFY(device);
    device->registerCallback(recorder);
    auto stream = OutputStream::open(device, source(growing), true);
    QVERIFY(stream);
    const int64_t landed = stream->seek(total - 10000);
    QVERIFY2(landed > total / 3 - 4 * 1152 && landed < total / 3,
             qPrintable(QStringLiteral("%1 of %2").arg(landed).arg(total)));
    stream->play();
    QVERIFY(recorder->waitForStreamsEnded(1, 5s));
    QVERIFY(stream->position() > landed);
    append(growing, content.mid(4096 + (content.size() - 4096) / 3));
    stream->play();
    QVERIFY(recorder->waitForStreamsEnded(2, 5s));
    QCOMPARE(stream->position(), total);
}

void TestOutputStream::failsWithoutDevice()
{
    qputenv("SDL_AUDIODRIVER", "no-such-driver");
    QVERIFY(!AudioDevice::open());
    // Without a sound card the driver starts but no device opens; with one, it opens. Either
    // way the call returns.
    qputenv("SDL_AUDIODRIVER", "alsa");
    AudioDevice::open();
    qputenv("SDL_AUDIODRIVER", "disk");
    QVERIFY(AudioDevice::open());
}

QTEST_GUILESS_MAIN(TestOutputStream)
#include "tst_outputstream.moc"
