#include "readcounter.h"
#include "samplesource.h"
#include "testmp3.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using audio::SampleSource;

class TestSampleSource : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void decodesGrowingFile_data();
    void decodesGrowingFile();
    void opensOnlyWhatMayBeMp3_data();
    void opensOnlyWhatMayBeMp3();
    void lengthFrames();
    void hugeTagIsNeverRead();

private:
    QString tone(const QString &name, double seconds, int rate, int channels,
                 const QStringList &options);
    static std::vector<int16_t> readAll(SampleSource &source);

    QTemporaryDir m_dir;
};

void TestSampleSource::initTestCase()
{
    if (TestMp3::lamePath().isEmpty())
        QSKIP("the lame encoder is not installed; install the lame package");
    QVERIFY(m_dir.isValid());
}

QString TestSampleSource::tone(const QString &name, double seconds, int rate, int channels,
                               const QStringList &options)
{
    const QString path = m_dir.filePath(name + QStringLiteral(".mp3"));
    if (!QFile::exists(path) && !TestMp3::makeTone(path, seconds, rate, channels, 440, options))
        return {};
    return path;
}

std::vector<int16_t> TestSampleSource::readAll(SampleSource &source)
{
    std::vector<int16_t> samples;
    std::vector<int16_t> buffer(2 * 1000);
    for (;;) {
        const int frames = source.read(buffer.data(), 1000);
        if (frames <= 0)
            return samples;
        samples.insert(samples.end(), buffer.begin(), buffer.begin() + 2 * frames);
    }
}

void TestSampleSource::decodesGrowingFile_data()
{
    QTest::addColumn<int>("chunk");
    QTest::addColumn<int>("tagSize");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<QStringList>("options");

    QTest::newRow("whole file") << (1 << 24) << 0 << 44100 << 1 << QStringList();
    QTest::newRow("37-byte pieces") << 37 << 0 << 44100 << 1 << QStringList();
    QTest::newRow("frames cut in two") << 313 << 0 << 44100 << 2 << QStringList();
    QTest::newRow("no length header") << 1000 << 0 << 44100 << 1 << QStringList{"-t"};
    QTest::newRow("small tag first") << 700 << 4096 << 44100 << 1 << QStringList();
    QTest::newRow("tag larger than a read") << 5000 << 150000 << 44100 << 1 << QStringList();
    QTest::newRow("mono 22050 Hz") << 1000 << 0 << 22050 << 1 << QStringList();
    QTest::newRow("stereo 48000 Hz") << 1000 << 0 << 48000 << 2 << QStringList();
}

// Written piece by piece and read dry after every piece, the file decodes to exactly what the
// finished file gives: nothing skipped at a cut, nothing repeated.
void TestSampleSource::decodesGrowingFile()
{
    QFETCH(int, chunk);
    QFETCH(int, tagSize);
    QFETCH(int, rate);
    QFETCH(int, channels);
    QFETCH(QStringList, options);

    const QString name
        = QStringLiteral("tone-%1-%2-%3").arg(rate).arg(channels).arg(options.join(""));
    const QString source = tone(name, 1.5, rate, channels, options);
    QVERIFY(!source.isEmpty());
    QFile in(source);
    QVERIFY(in.open(QIODevice::ReadOnly));
    QByteArray content = in.readAll();
    if (tagSize > 0)
        content.prepend(TestMp3::id3v2Tag(tagSize));

    const QString whole = m_dir.filePath(QStringLiteral("whole.mp3"));
    QFile::remove(whole);
    QFile wholeFile(whole);
    QVERIFY(wholeFile.open(QIODevice::WriteOnly));
    wholeFile.write(content);
    wholeFile.close();
    int expectedRate = 0;
    const std::vector<int16_t> expected = TestMp3::decodeWhole(whole, &expectedRate);
    QVERIFY(expected.size() > size_t(rate));
    QCOMPARE(expectedRate, rate);

    const QString growing = m_dir.filePath(QStringLiteral("growing"));
    QFile::remove(growing);
    QFile out(growing);
    QVERIFY(out.open(QIODevice::WriteOnly));
    const auto player = SampleSource::open(QFile::encodeName(growing).toStdString());
    QVERIFY(player);
    std::vector<int16_t> decoded = readAll(*player);
    QVERIFY(decoded.empty());
    for (qsizetype at = 0; at < content.size(); at += chunk) {
        out.write(content.mid(at, chunk));
        out.flush();
        const std::vector<int16_t> more = readAll(*player);
        decoded.insert(decoded.end(), more.begin(), more.end());
    }
    QCOMPARE(player->sampleRate(), rate);
    QCOMPARE(decoded.size(), expected.size());
    QVERIFY(decoded == expected);
    QCOMPARE(TestMp3::dominantFrequency(decoded, rate), 440.0);
}

void TestSampleSource::opensOnlyWhatMayBeMp3_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("opens");

    QByteArray text;
    while (text.size() < 100000)
        text += "<html><body>404 Not Found</body></html>\n";
    QByteArray noise(200000, '\0');
    QRandomGenerator random(7);
    for (char &byte : noise)
        byte = char(random.generate());
    QFile mp3(tone(QStringLiteral("short"), 1.0, 44100, 1, {}));
    QVERIFY(mp3.open(QIODevice::ReadOnly));
    const QByteArray track = mp3.readAll();

    QTest::newRow("empty file") << QByteArray() << true;
    QTest::newRow("a few bytes of text") << QByteArray("Not Found\n") << true;
    QTest::newRow("long text") << text << false;
    QTest::newRow("zeros") << QByteArray(100000, '\0') << false;
    QTest::newRow("tag and no frame yet") << TestMp3::id3v2Tag(2048) << true;
    QTest::newRow("tag, then text") << TestMp3::id3v2Tag(2048) + text << false;
    QTest::newRow("truncated track") << track.left(track.size() / 2 + 17) << true;
    QTest::newRow("track") << track << true;
    // Noise may or may not look like a frame somewhere; it must only be handled.
    QTest::newRow("noise") << noise << false;
}

void TestSampleSource::opensOnlyWhatMayBeMp3()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, opens);

    const QString path = m_dir.filePath(QStringLiteral("probe"));
    QFile::remove(path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();

    const auto source = SampleSource::open(QFile::encodeName(path).toStdString());
    if (QByteArray(QTest::currentDataTag()) != "noise")
        QCOMPARE(bool(source), opens);
    if (QByteArray(QTest::currentDataTag()) == "noise")
        qInfo("noise %s", source ? "opens" : "is refused");
    if (source) {
        // Whatever it holds, reading ends.
        const std::vector<int16_t> samples = readAll(*source);
        QVERIFY(readAll(*source).empty());
        QVERIFY(samples.size() < 10 * 44100 * 2);
    }
}

void TestSampleSource::lengthFrames()
{
    const QString withHeader = tone(QStringLiteral("length"), 2.0, 44100, 1, {});
    const QString without = tone(QStringLiteral("length-t"), 2.0, 44100, 1, {QStringLiteral("-t")});
    QVERIFY(!withHeader.isEmpty() && !without.isEmpty());
    const auto expected = qint64(TestMp3::decodeWhole(withHeader).size() / 2);

    std::vector<int16_t> buffer(2 * 1152);
    const auto headed = SampleSource::open(QFile::encodeName(withHeader).toStdString());
    QVERIFY(headed);
    QCOMPARE(headed->lengthFrames(), 0);
    QVERIFY(headed->read(buffer.data(), 1152) > 0);
    QCOMPARE(headed->lengthFrames(), expected);

    const auto bare = SampleSource::open(QFile::encodeName(without).toStdString());
    QVERIFY(bare);
    bare->setExpectedSize(QFileInfo(without).size());
    QVERIFY(bare->read(buffer.data(), 1152) > 0);
    QVERIFY2(std::abs(bare->lengthFrames() - expected) < expected / 20,
             qPrintable(QString::number(bare->lengthFrames())));
}

void TestSampleSource::hugeTagIsNeverRead()
{
    if (ReadCounter::process() < 0)
        QSKIP("no /proc/self/io");
    // A header that claims the largest tag there is (256 MiB), sound right after it, and a file
    // of 200 MB (sparse: it costs no disk).
    QFile mp3(tone(QStringLiteral("short"), 1.0, 44100, 1, {}));
    QVERIFY(mp3.open(QIODevice::ReadOnly));
    QByteArray content = TestMp3::id3v2Tag(64);
    content[6] = content[7] = content[8] = content[9] = 0x7f;
    content += mp3.readAll();
    const QString path = m_dir.filePath(QStringLiteral("hugetag.mp3"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    QVERIFY(file.resize(200 * 1000 * 1000));
    file.close();

    const qint64 before = ReadCounter::process();
    const auto source = SampleSource::open(QFile::encodeName(path).toStdString());
    std::vector<int16_t> buffer(2 * 4096);
    if (source) {
        for (int i = 0; i < 4; ++i)
            QCOMPARE(source->read(buffer.data(), 4096), 0);
    }
    QVERIFY2(ReadCounter::process() - before < 2 * 1024 * 1024,
             qPrintable(QString::number(ReadCounter::process() - before)));

    // A real tag larger than a read is stepped over just the same: the sound after it plays.
    const QString tagged = m_dir.filePath(QStringLiteral("bigtag.mp3"));
    QFile big(tagged);
    QVERIFY(big.open(QIODevice::WriteOnly));
    big.write(TestMp3::id3v2Tag(3 * 1024 * 1024) + content.mid(64));
    big.close();
    const auto played = SampleSource::open(QFile::encodeName(tagged).toStdString());
    QVERIFY(played);
    QVERIFY(played->read(buffer.data(), 4096) > 0);
}

QTEST_GUILESS_MAIN(TestSampleSource)
#include "tst_samplesource.moc"
