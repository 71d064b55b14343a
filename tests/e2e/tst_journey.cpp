// One user's journey through the real window against the real catalogue service: search, play a
// result while it downloads, save another into the music folder, walk the folder with the
// transport buttons, and start a new search while a track streams. Sounds go to SDL's disk
// driver (16-bit stereo at 44100 Hz, as the device asks for), so what reached the output can be
// read back and checked for the tone of the track that was meant to play.
#include "brisaplayer.h"
#include "httptestserver.h"
#include "song.h"
#include "songlist.h"
#include "testmusicfolder.h"

#include "../playback/testmp3.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBox>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <memory>

namespace {

struct Tone
{
    QString file;
    QString title;
    QString creator;
    double seconds;
    double frequency;
};

// The library the service indexes. Every track has a tone of its own.
const Tone alpha{QStringLiteral("alpha.mp3"), QStringLiteral("Larkword Alpha"),
                 QStringLiteral("Tone Maker"), 1.5, 440};
const Tone saved{QStringLiteral("saved.mp3"), QStringLiteral("Larkword: What? Now!"),
                 QStringLiteral("AC/DC: Tribute"), 1.0, 660};
const Tone longTone{QStringLiteral("long.mp3"), QStringLiteral("Larkword Long"),
                    QStringLiteral("Tone Maker"), 12.0, 550};
const QString savedName = QStringLiteral("AC-DC- Tribute - Larkword- What Now.mp3");

// A track only another host serves: the service's crawler finds it on that host's listing.
const Tone faraway{QStringLiteral("faraway.mp3"), QStringLiteral("Webword Far Away"),
                   QStringLiteral("Far Host"), 1.5, 880};

// Files already in the music folder; they sort before the saved track.
const Tone low{QStringLiteral("01 low.mp3"), {}, {}, 3.0, 300};
const Tone high{QStringLiteral("02 high.mp3"), {}, {}, 3.0, 1500};

// Track transfers crawl at 16 kB/s: the long track is still arriving seconds after it started.
constexpr int throttleKBps = 16;
constexpr int frameRate = 44100;

// What the device wrote from byte offset from on, without its silence.
std::vector<int16_t> deviceOutput(const QString &path, qint64 from)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(from))
        return {};
    const QByteArray raw = file.readAll();
    std::vector<int16_t> samples(size_t(raw.size()) / 2);
    if (!samples.empty())
        std::memcpy(samples.data(), raw.constData(), samples.size() * 2);
    return TestMp3::withoutSilentFrames(samples);
}

size_t soundFrames(const QString &path, qint64 from)
{
    return deviceOutput(path, from).size() / 2;
}

} // namespace

class TestJourney : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void searchListsTheLibrary();
    void playSongStreamsThatTrackToTheOutput();
    void downloadSavesTheServedFileUnderItsCleanName();
    void previousAndNextPlayFolderFiles();
    void newSearchWhileStreamingStopsTheStream();
    void downloadGoesOnThroughANewSearch();
    void crawledTrackComesFromItsHost();

private:
    bool startService();
    QByteArray serviceLog() const;
    qint64 outputMark() const;
    void makeTone(const QString &folder, const Tone &tone);
    void search(const QString &query);
    int rowOf(const QString &title) const;
    QStringList libraryNames() const;
    QString libraryCurrent() const;
    void click(const char *button) { window->findChild<QPushButton *>(button)->click(); }

    QTemporaryDir home;
    QString library;
    QString musicFolder;
    QProcess service;
    quint16 port = 0;
    std::unique_ptr<HttpTestServer> web;
    QByteArray webTrack;
    std::unique_ptr<BrisaPlayer> window;
    SongList *list = nullptr;
    QListView *folderView = nullptr;
    QLineEdit *query = nullptr;
    QString outputPath;
};

void TestJourney::initTestCase()
{
    if (TestMp3::lamePath().isEmpty())
        QSKIP("lame is not installed");
    QCOMPARE(qgetenv("SDL_AUDIODRIVER"), QByteArray("disk"));
    qunsetenv("SDL_DISKAUDIODELAY"); // real time: the stream has to keep ahead of the player
    QVERIFY(home.isValid());

    library = home.filePath(QStringLiteral("library"));
    musicFolder = home.filePath(QStringLiteral("Music"));
    QVERIFY(QDir().mkpath(library));
    QVERIFY(QDir().mkpath(musicFolder));
    for (const Tone &tone : {alpha, saved, longTone})
        makeTone(library, tone);
    for (const Tone &tone : {low, high})
        makeTone(musicFolder, tone);
    const QString elsewhere = home.filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(elsewhere));
    makeTone(elsewhere, faraway);
    QFile far(elsewhere + QLatin1Char('/') + faraway.file);
    QVERIFY(far.open(QIODevice::ReadOnly));
    webTrack = far.readAll();
    web = std::make_unique<HttpTestServer>(nullptr, QHostAddress(QStringLiteral("127.0.0.2")));
    QVERIFY(web->port() != 0);
    HttpTestServer::Reply listing;
    listing.headers = {{"Content-Type", "text/html"}};
    listing.body = "<html><body><pre><a href=\"faraway.mp3\">faraway.mp3</a></pre></body></html>";
    web->setReply("/", listing);
    HttpTestServer::Reply track;
    track.headers = {{"Content-Type", "audio/mpeg"}};
    track.body = webTrack;
    track.ranges = true;
    web->setReply("/faraway.mp3", track);
    HttpTestServer::Reply missing;
    missing.status = 404;
    web->setDefaultReply(missing);

    // The window asks the system for the music folder: the XDG user dirs name ours.
    QVERIFY(TestMusicFolder::use(home.filePath(QStringLiteral("config")), musicFolder));

    QVERIFY2(startService(), serviceLog().constData());

    ServerConfig servers;
    servers.searchUrl = servers.adsUrl = servers.webUrl
        = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));
    outputPath = home.filePath(QStringLiteral("output.raw"));
    qputenv("SDL_DISKAUDIOFILE", QFile::encodeName(outputPath));
    window = std::make_unique<BrisaPlayer>(servers);
    QCOMPARE(window->musicFolderPath(), musicFolder);
    list = window->findChild<SongList *>();
    folderView = window->findChild<QListView *>(QStringLiteral("songLibrary"));
    query = window->findChild<QLineEdit *>(QStringLiteral("searchText"));
    QVERIFY(list && folderView && query);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTRY_COMPARE(libraryNames(), (QStringList{low.file, high.file}));
}

void TestJourney::cleanupTestCase()
{
    window.reset();
    if (service.state() != QProcess::NotRunning) {
        ::kill(pid_t(service.processId()), SIGTERM);
        if (!service.waitForFinished(5000))
            service.kill();
    }
}

void TestJourney::makeTone(const QString &folder, const Tone &tone)
{
    QStringList tags;
    if (!tone.title.isEmpty()) {
        tags << QStringLiteral("--add-id3v2") << QStringLiteral("--tt") << tone.title
             << QStringLiteral("--ta") << tone.creator;
    }
    QVERIFY(TestMp3::makeTone(folder + QLatin1Char('/') + tone.file, tone.seconds, frameRate, 1,
                              tone.frequency, tags));
}

bool TestJourney::startService()
{
    const QString portFile = home.filePath(QStringLiteral("port"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
    service.setProcessEnvironment(environment);
    service.setStandardErrorFile(home.filePath(QStringLiteral("service.log")));
    service.start(QStringLiteral(LARKSPIN_CATALOG_BIN),
                  {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                   QStringLiteral("--db"), home.filePath(QStringLiteral("index.sqlite")),
                   QStringLiteral("--port-file"), portFile, QStringLiteral("--throttle"),
                   QString::number(throttleKBps), QStringLiteral("--crawl"), web->urlText("/"),
                   QStringLiteral("--crawl-allow-private"), QStringLiteral("--crawl-delay"),
                   QStringLiteral("0"), library});
    if (!service.waitForStarted(10000))
        return false;
    // The port file is written once the library is indexed and the service listens.
    const bool listening = QTest::qWaitFor(
        [&] { return QFile::exists(portFile) || service.state() != QProcess::Running; }, 30000);
    QFile file(portFile);
    if (!listening || !file.open(QIODevice::ReadOnly))
        return false;
    port = quint16(file.readAll().trimmed().toUInt());
    return port != 0;
}

QByteArray TestJourney::serviceLog() const
{
    QFile file(home.filePath(QStringLiteral("service.log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The window keeps one device, which writes everything it plays to one file: a playback is what
// comes after the mark taken before the click that starts it.
qint64 TestJourney::outputMark() const
{
    return QFileInfo(outputPath).size() / 4 * 4;
}

void TestJourney::search(const QString &text)
{
    query->setFocus();
    query->selectAll();
    QTest::keyClicks(query, text);
    QCOMPARE(query->text(), text);
    QTest::keyClick(query, Qt::Key_Return);
}

int TestJourney::rowOf(const QString &title) const
{
    for (int row = 0; row < list->rowCount(); ++row) {
        if (list->textLabel(row, 0)->text() == title)
            return row;
    }
    return -1;
}

QStringList TestJourney::libraryNames() const
{
    QStringList names;
    const QModelIndex root = folderView->rootIndex();
    for (int row = 0; row < folderView->model()->rowCount(root); ++row)
        names << folderView->model()->index(row, 0, root).data().toString();
    return names;
}

QString TestJourney::libraryCurrent() const
{
    return folderView->currentIndex().data().toString();
}

void TestJourney::searchListsTheLibrary()
{
    search(QStringLiteral("larkword"));
    QVERIFY(!query->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 3, 15000);
    QVERIFY(query->isEnabled());
    QCOMPARE(window->findChild<QToolBox *>(QStringLiteral("content"))->currentIndex(), 1);
    QCOMPARE(window->findChild<QLabel *>(QStringLiteral("resultCountLabel"))->text(),
             QStringLiteral("Available songs: 3 of 3"));
    for (const Tone &tone : {alpha, saved, longTone}) {
        const int row = rowOf(tone.title);
        QVERIFY2(row >= 0, qPrintable(tone.title));
        QCOMPARE(list->textLabel(row, 1)->text(), tone.creator);
    }
    // One search request and one availability check per track reached the service.
    QTRY_VERIFY(serviceLog().count("HEAD /tracks/") == 3);
    QCOMPARE(serviceLog().count("GET /api/v0.2/"), 1);
    QVERIFY(serviceLog().contains("/music/search/larkword/0/50 200"));
}

void TestJourney::playSongStreamsThatTrackToTheOutput()
{
    const int row = rowOf(alpha.title);
    QVERIFY(row >= 0);
    const qint64 output = outputMark();
    list->rowButton(row, 0)->click();
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingStream);
    QCOMPARE(window->streamedSong(), list->song(row));
    QCOMPARE(list->rowStatusLabel(row)->text(), QStringLiteral("playing..."));

    QTRY_COMPARE_WITH_TIMEOUT(window->currentPlayMode(), BrisaPlayer::Idle, 20000);
    QVERIFY(!list->rowStatusLabel(row));
    QTRY_VERIFY(serviceLog().contains("GET /tracks/"));

    // The whole track, at the volume slider's 80 %, in the device's 16-bit stereo.
    int rate = 0;
    const size_t expected
        = TestMp3::decodeWhole(library + QLatin1Char('/') + alpha.file, &rate).size() / 2;
    QCOMPARE(rate, frameRate);
    const std::vector<int16_t> played = deviceOutput(outputPath, output);
    const size_t frames = played.size() / 2;
    QVERIFY2(frames >= expected * 95 / 100 && frames <= expected * 101 / 100,
             qPrintable(QStringLiteral("%1 of %2 frames").arg(frames).arg(expected)));
    QCOMPARE(TestMp3::dominantFrequency(played, frameRate), alpha.frequency);
    int peak = 0;
    for (const int16_t sample : played)
        peak = qMax(peak, qAbs(int(sample)));
    QVERIFY2(peak > 12000 * 0.7 && peak < 12000 * 0.9, qPrintable(QString::number(peak)));
}

void TestJourney::downloadSavesTheServedFileUnderItsCleanName()
{
    const int row = rowOf(saved.title);
    QVERIFY(row >= 0);
    QSignalSpy ready(list->song(row), &Song::downloadReady);
    list->rowButton(row, 1)->click();
    QCOMPARE(list->rowStatusLabel(row)->text(), QStringLiteral("downloading"));
    QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 15000);
    QCOMPARE(ready.first().at(1).toInt(), int(Song::Downloaded));

    // Listed on the "My Music" page within half a second, give or take a busy machine.
    QTRY_VERIFY_WITH_TIMEOUT(libraryNames().contains(savedName), 750);
    QCOMPARE(libraryNames(), (QStringList{low.file, high.file, savedName}));

    QStringList rowTexts;
    for (QLabel *label : list->rowFrame(row)->findChildren<QLabel *>())
        rowTexts << label->text();
    QVERIFY(rowTexts.contains(QStringLiteral("downloaded")));

    QFile served(library + QLatin1Char('/') + saved.file);
    QFile kept(musicFolder + QLatin1Char('/') + savedName);
    QVERIFY(served.open(QIODevice::ReadOnly));
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QVERIFY(served.size() > 4000);
    QVERIFY(served.readAll() == kept.readAll());
    // Nothing else was left in the folder on the way.
    QCOMPARE(QDir(musicFolder).entryList(QDir::Files | QDir::Hidden, QDir::Name),
             (QStringList{low.file, high.file, savedName}));
}

void TestJourney::previousAndNextPlayFolderFiles()
{
    QVERIFY(!folderView->currentIndex().isValid());
    const struct
    {
        const char *button;
        const Tone &tone;
    } steps[] = {
        {"next", low},
        {"next", high},
        {"prev", low},
        {"prev", saved}, // round to the last file: the one just saved
    };
    const Tone savedInFolder{savedName, {}, {}, saved.seconds, saved.frequency};
    for (const auto &step : steps) {
        const Tone &tone = &step.tone == &saved ? savedInFolder : step.tone;
        const qint64 output = outputMark();
        click(step.button);
        QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
        QCOMPARE(libraryCurrent(), tone.file);
        QTRY_VERIFY_WITH_TIMEOUT(soundFrames(outputPath, output) >= frameRate / 2, 10000);
        QCOMPARE(TestMp3::dominantFrequency(deviceOutput(outputPath, output), frameRate),
                 tone.frequency);
    }
    click("play");
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);
}

void TestJourney::newSearchWhileStreamingStopsTheStream()
{
    const int row = rowOf(longTone.title);
    QVERIFY(row >= 0);
    const qint64 output = outputMark();
    list->rowButton(row, 0)->click();
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingStream);
    QTRY_VERIFY_WITH_TIMEOUT(soundFrames(outputPath, output) >= frameRate / 4, 10000);
    QCOMPARE(TestMp3::dominantFrequency(deviceOutput(outputPath, output), frameRate),
             longTone.frequency);
    // Far from the end: the transfer of 12 s of sound takes seconds at the throttled rate.
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingStream);

    search(QStringLiteral("tone maker"));
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);
    QVERIFY(!window->streamedSong());
    // The streamed row reads "play stopped" until the new listing replaces the old one.
    const QList<QLabel *> labels = list->rowFrame(row)->findChildren<QLabel *>();
    QVERIFY(std::any_of(labels.begin(), labels.end(), [](const QLabel *label) {
        return label->text() == QLatin1String("play stopped");
    }));
    const size_t stoppedAt = soundFrames(outputPath, output);

    QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 2, 15000);
    QVERIFY(rowOf(alpha.title) >= 0);
    QVERIFY(rowOf(longTone.title) >= 0);
    QVERIFY(query->isEnabled());
    QCOMPARE(window->findChild<QLabel *>(QStringLiteral("searchErrorLabel"))->text(), QString());
    // The old sound fell silent (one device buffer may still have been on its way).
    QTest::qWait(300);
    QVERIFY(soundFrames(outputPath, output) <= stoppedAt + 2048);
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);
}

void TestJourney::downloadGoesOnThroughANewSearch()
{
    const int row = rowOf(alpha.title);
    QVERIFY(row >= 0);
    QSignalSpy ready(list->song(row), &Song::downloadReady);
    list->rowButton(row, 1)->click();
    // The listing it came from goes at once; the transfer crawls on for a second or so.
    search(QStringLiteral("larkword"));
    QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 3, 15000);
    QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 15000);
    QCOMPARE(ready.first().at(1).toInt(), int(Song::Downloaded));
    const QString name = alpha.creator + QLatin1String(" - ") + alpha.title + QLatin1String(".mp3");
    QTRY_VERIFY_WITH_TIMEOUT(libraryNames().contains(name), 750);
    QFile served(library + QLatin1Char('/') + alpha.file);
    QFile kept(musicFolder + QLatin1Char('/') + name);
    QVERIFY(served.open(QIODevice::ReadOnly));
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QVERIFY(served.readAll() == kept.readAll());
    QCOMPARE(QDir(musicFolder).entryList(QDir::Files | QDir::Hidden, QDir::Name),
             (QStringList{low.file, high.file, savedName, name}));
}

void TestJourney::crawledTrackComesFromItsHost()
{
    // The crawler read the track's first bytes from its host when the service started.
    QTRY_VERIFY_WITH_TIMEOUT(serviceLog().contains("crawl: 1 hosts, 1 pages, 1 tracks"), 15000);
    const auto fromClient = [this](const QByteArray &method) {
        int n = 0;
        for (const auto &request : web->requests())
            n += request.method == method && request.target == "/faraway.mp3"
                 && !request.header("User-Agent").startsWith("larkspin-catalog/");
        return n;
    };
    const int servedBefore = serviceLog().count("GET /tracks/");

    search(QStringLiteral("webword"));
    QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 1, 15000);
    QCOMPARE(list->textLabel(0, 0)->text(), faraway.title);
    QCOMPARE(list->textLabel(0, 1)->text(), faraway.creator);
    QTRY_COMPARE(fromClient("HEAD"), 1);

    // Played from the host that serves it.
    const qint64 output = outputMark();
    list->rowButton(0, 0)->click();
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingStream);
    QTRY_COMPARE_WITH_TIMEOUT(window->currentPlayMode(), BrisaPlayer::Idle, 20000);
    QCOMPARE(TestMp3::dominantFrequency(deviceOutput(outputPath, output), frameRate),
             faraway.frequency);

    // And saved from it, byte for byte.
    QSignalSpy ready(list->song(0), &Song::downloadReady);
    list->rowButton(0, 1)->click();
    QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 15000);
    QCOMPARE(ready.first().at(1).toInt(), int(Song::Downloaded));
    QFile kept(musicFolder + QLatin1Char('/') + faraway.creator + QLatin1String(" - ")
               + faraway.title + QLatin1String(".mp3"));
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QVERIFY(kept.readAll() == webTrack);
    QCOMPARE(fromClient("GET"), 2);
    // Not one track byte came through the service.
    QCOMPARE(serviceLog().count("GET /tracks/"), servedBefore);
}

QTEST_MAIN(TestJourney)
#include "tst_journey.moc"
