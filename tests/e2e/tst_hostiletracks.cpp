// The window against broken track servers and a music folder that misbehaves: lengths that lie,
// transfers cut or stalled half-way, a server that passes the check and then has no track, a
// folder that disappears while it is listed, and MP3 files that end too soon or are none.
// Every download ends in one of the row's outcome texts with nothing partial left in the music
// folder; every stream ends by being played to where it stops; the event loop never stands still.
#include "brisaplayer.h"
#include "song.h"
#include "songlist.h"
#include "testmusicfolder.h"

#include "../playback/testmp3.h"
#include "httptestserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

enum class Fault {
    LongerLength,  // announces twice the body, sends the body, closes
    ShorterLength, // announces half the body, sends all of it
    ClosedMidBody, // announces the body, closes half-way
    StallMidBody,  // announces the body, sends half and falls silent
    MissingOnGet,  // 200 to the check, 404 to the transfer
};

const QByteArray trackPath = "/t/broken.mp3";

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestHostileTracks : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void brokenDownload_data();
    void brokenDownload();
    void brokenStream_data();
    void brokenStream();
    void folderDisappearsWhileListed();
    void truncatedAndFalseMp3InFolder();
    void handedOverTrackPlayedWhileWaiting();

private:
    void faults_data();
    void makeWindow(const QStringList &files = {});
    Song *listBrokenTrack(Fault fault);
    QStringList folderEntries() const
    {
        return QDir(musicFolder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    }
    QStringList rowTexts(int row) const
    {
        QStringList texts;
        for (QLabel *label : list()->rowFrame(row)->findChildren<QLabel *>())
            texts << label->text();
        return texts;
    }
    SongList *list() const { return window->findChild<SongList *>(); }
    QListView *folderView() const
    {
        return window->findChild<QListView *>(QStringLiteral("songLibrary"));
    }
    int folderRows() const { return folderView()->model()->rowCount(folderView()->rootIndex()); }
    QString folderCurrent() const { return folderView()->currentIndex().data().toString(); }
    void click(const char *button) { window->findChild<QPushButton *>(button)->click(); }
    void checkPulse() { QVERIFY2(longestPause < 2000, qPrintable(QString::number(longestPause))); }

    QTemporaryDir home;
    QString tone; // 1 s
    QByteArray toneBytes;
    QString musicFolder;
    int folderCount = 0;
    std::unique_ptr<HttpTestServer> server;
    std::unique_ptr<BrisaPlayer> window;
    QTimer heartbeat;
    QElapsedTimer sinceBeat;
    qint64 longestPause = 0;
};

void TestHostileTracks::initTestCase()
{
    if (TestMp3::lamePath().isEmpty())
        QSKIP("lame is not installed");
    QVERIFY(home.isValid());
    tone = home.filePath(QStringLiteral("tone.mp3"));
    QVERIFY(TestMp3::makeTone(tone, 1.0));
    QFile file(tone);
    QVERIFY(file.open(QIODevice::ReadOnly));
    toneBytes = file.readAll();
    QVERIFY(toneBytes.size() > 4000);

    heartbeat.setInterval(20);
    connect(&heartbeat, &QTimer::timeout, this,
            [this] { longestPause = qMax(longestPause, sinceBeat.restart()); });
}

void TestHostileTracks::cleanup()
{
    heartbeat.stop();
    window.reset();
    server.reset();
}

void TestHostileTracks::makeWindow(const QStringList &files)
{
    musicFolder = home.filePath(QStringLiteral("Music%1").arg(++folderCount));
    QVERIFY(TestMusicFolder::use(home.filePath(QStringLiteral("config")), musicFolder));
    for (const QString &name : files)
        QVERIFY(QFile::copy(tone, musicFolder + QLatin1Char('/') + name));

    server = std::make_unique<HttpTestServer>();
    ServerConfig servers;
    servers.searchUrl = server->url("");
    servers.adsUrl = servers.webUrl
        = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(HttpTestServer::refusedPort()));
    window = std::make_unique<BrisaPlayer>(servers);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTRY_COMPARE(folderRows(), int(files.size()));
    longestPause = 0;
    sinceBeat.start();
    heartbeat.start();
}

// Searches and lists one track served with the fault; the track's check has passed.
Song *TestHostileTracks::listBrokenTrack(Fault fault)
{
    const qint64 half = toneBytes.size() / 2;
    HttpTestServer::Reply track;
    track.body = toneBytes;
    switch (fault) {
    case Fault::LongerLength:
        track.contentLength = false;
        track.headers.append({"Content-Length", QByteArray::number(toneBytes.size() * 2)});
        break;
    case Fault::ShorterLength:
        track.contentLength = false;
        track.headers.append({"Content-Length", QByteArray::number(half)});
        break;
    case Fault::ClosedMidBody:
        track.mode = HttpTestServer::BodyMode::CutOff;
        track.cutAfter = half;
        break;
    case Fault::StallMidBody:
        track.mode = HttpTestServer::BodyMode::Stall;
        track.cutAfter = half;
        break;
    case Fault::MissingOnGet:
        break;
    }
    server->setReply(trackPath, track);
    HttpTestServer::Reply playlist;
    playlist.body = "<?xml version=\"1.0\"?><playlist total=\"1\" start=\"0\" end=\"0\" next=\"0\" "
                    "prev=\"0\"><trackList><track><title>Broken</title><creator>Server</creator>"
                    "<location>"
                    + server->url(trackPath).toEncoded()
                    + "</location></track></trackList></playlist>";
    server->setDefaultReply(playlist);

    window->findChild<QLineEdit *>(QStringLiteral("searchText"))->setText(QStringLiteral("broken"));
    window->findChild<QPushButton *>(QStringLiteral("searchButton"))->click();
    if (!QTest::qWaitFor([&] { return list()->rowCount() == 1; }, 10000))
        return nullptr;

    if (fault == Fault::MissingOnGet) {
        HttpTestServer::Reply missing;
        missing.status = 404;
        missing.reason = "Not Found";
        missing.body = "<html><body>gone</body></html>";
        server->setReply(trackPath, missing);
    }
    Song *song = list()->song(0);
    song->setStallTimeout(500);
    song->setResumeDelay(10);
    return song;
}

void TestHostileTracks::faults_data()
{
    QTest::addColumn<Fault>("fault");
    // The outcome text of a download, and how much of the track it keeps (-1: no file).
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<int>("kept");

    const QString notAvailable = QStringLiteral("not available");
    QTest::newRow("length longer than body") << Fault::LongerLength << notAvailable << -1;
    // The announced length is all a client can go by: it keeps what was announced.
    QTest::newRow("length shorter than body")
        << Fault::ShorterLength << QStringLiteral("downloaded") << int(toneBytes.size() / 2);
    QTest::newRow("closed mid-body") << Fault::ClosedMidBody << notAvailable << -1;
    QTest::newRow("stalled mid-body") << Fault::StallMidBody << notAvailable << -1;
    QTest::newRow("HEAD 200, GET 404") << Fault::MissingOnGet << notAvailable << -1;
}

void TestHostileTracks::brokenDownload_data()
{
    faults_data();
}

void TestHostileTracks::brokenDownload()
{
    QFETCH(Fault, fault);
    QFETCH(QString, outcome);
    QFETCH(int, kept);
    makeWindow();
    Song *song = listBrokenTrack(fault);
    QVERIFY(song);

    list()->rowButton(0, 1)->click();
    QTRY_VERIFY_WITH_TIMEOUT(rowTexts(0).contains(outcome), 15000);
    checkPulse();
    const QString saved = QStringLiteral("Server - Broken.mp3");
    if (kept < 0) {
        QCOMPARE(folderEntries(), QStringList());
    } else {
        QCOMPARE(folderEntries(), QStringList{saved});
        QFile file(musicFolder + QLatin1Char('/') + saved);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll() == toneBytes.left(kept));
    }
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);
}

void TestHostileTracks::brokenStream_data()
{
    faults_data();
}

void TestHostileTracks::brokenStream()
{
    QFETCH(Fault, fault);
    makeWindow();
    Song *song = listBrokenTrack(fault);
    QVERIFY(song);

    list()->rowButton(0, 0)->click();
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingStream);
    // Played until what arrived runs out; then the row is finished like any track.
    QTRY_COMPARE_WITH_TIMEOUT(window->currentPlayMode(), BrisaPlayer::Idle, 15000);
    QVERIFY(!list()->rowStatusLabel(0));
    QVERIFY(!rowTexts(0).contains(QStringLiteral("playing...")));
    checkPulse();
    QCOMPARE(folderEntries(), QStringList());
}

void TestHostileTracks::folderDisappearsWhileListed()
{
    makeWindow({QStringLiteral("a.mp3"), QStringLiteral("b.mp3")});
    click("play");
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    QVERIFY(QDir(musicFolder).removeRecursively());
    QTRY_COMPARE_WITH_TIMEOUT(folderRows(), 0, 3000);

    // The open file plays out; then nothing is left to go on with, and the window shows it.
    click("next");
    click("prev");
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    QTRY_COMPARE_WITH_TIMEOUT(window->currentPlayMode(), BrisaPlayer::Idle, 10000);
    click("play");
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);

    // A download has nowhere to go and says so.
    Song *song = listBrokenTrack(Fault::ShorterLength);
    QVERIFY(song);
    list()->rowButton(0, 1)->click();
    QTRY_VERIFY_WITH_TIMEOUT(rowTexts(0).contains(QStringLiteral("bad filename")), 15000);
    QVERIFY(!QFileInfo::exists(musicFolder));

    // The folder comes back, and so does its list.
    QVERIFY(QDir().mkpath(musicFolder));
    QVERIFY(QFile::copy(tone, musicFolder + QLatin1String("/c.mp3")));
    QTRY_COMPARE_WITH_TIMEOUT(folderRows(), 1, 3000);
    click("play");
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    QCOMPARE(folderCurrent(), QStringLiteral("c.mp3"));
    checkPulse();
}

void TestHostileTracks::truncatedAndFalseMp3InFolder()
{
    makeWindow();
    // Cut in the middle of a frame; then a whole one; then no MP3 at all.
    const auto write = [this](const QString &name, const QByteArray &data) {
        QFile file(musicFolder + QLatin1Char('/') + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(data);
    };
    write(QStringLiteral("a cut.mp3"), toneBytes.left(toneBytes.size() * 2 / 5 + 77));
    write(QStringLiteral("b whole.mp3"), toneBytes);
    QByteArray noise(20000, Qt::Uninitialized);
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 7919) ^ (i >> 3));
    write(QStringLiteral("c noise.mp3"), noise);
    QTRY_COMPARE(folderRows(), 3);

    click("play");
    QCOMPARE(folderCurrent(), QStringLiteral("a cut.mp3"));
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    // The cut file ends early and hands over to the next, which plays whole.
    QTRY_COMPARE_WITH_TIMEOUT(folderCurrent(), QStringLiteral("b whole.mp3"), 5000);
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    // After it comes the file that is no MP3. It gives nothing to hear: whether it counts as
    // ended at once (and the folder goes round) or as unplayable (and all stops), the window
    // lives on and answers the buttons.
    QTRY_COMPARE_WITH_TIMEOUT(folderCurrent(), QStringLiteral("c noise.mp3"), 5000);
    QTest::qWait(300);
    checkPulse();
    if (window->currentPlayMode() != BrisaPlayer::Idle)
        click("play");
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);
    folderView()->setCurrentIndex(folderView()->model()->index(2, 0, folderView()->rootIndex()));
    click("next");
    QCOMPARE(folderCurrent(), QStringLiteral("a cut.mp3"));
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    click("play");
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);
}

// A track still downloading when a new search starts is handed over to the searcher, which
// frees it once its download reports; until the new listing comes, its row can still be played.
// The download's end must not leave that row saying "playing..." once the sound has ended.
void TestHostileTracks::handedOverTrackPlayedWhileWaiting()
{
    makeWindow();
    int searches = 0;
    server->setHandler([&](const HttpTestServer::Request &request, HttpTestServer::Reply &reply) {
        if (request.target.startsWith(trackPath)) {
            reply.body = toneBytes;
            reply.mode = HttpTestServer::BodyMode::Held;
            return true;
        }
        if (++searches > 1) {
            reply.deferred = true;
            return true;
        }
        reply.body = "<?xml version=\"1.0\"?><playlist total=\"1\" start=\"0\" end=\"0\" "
                     "next=\"0\" prev=\"0\"><trackList><track><title>Handed</title>"
                     "<creator>Over</creator><location>"
                     + server->url(trackPath).toEncoded()
                     + "</location></track></trackList></playlist>";
        return true;
    });
    auto *query = window->findChild<QLineEdit *>(QStringLiteral("searchText"));
    auto *search = window->findChild<QPushButton *>(QStringLiteral("searchButton"));
    query->setText(QStringLiteral("handed"));
    search->click();
    QTRY_COMPARE(list()->rowCount(), 1);
    QPointer<Song> song = list()->song(0);

    list()->rowButton(0, 1)->click();
    QTRY_COMPARE(server->heldCount(), 1);
    search->click();
    QTRY_COMPARE(server->deferredCount(), 1);
    QVERIFY(song);
    QCOMPARE(list()->rowCount(), 1);

    list()->rowButton(0, 0)->click();
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingStream);
    QCOMPARE(rowTexts(0).count(QStringLiteral("playing...")), 1);
    server->push(toneBytes);
    server->finishHeld();
    QTRY_COMPARE_WITH_TIMEOUT(window->currentPlayMode(), BrisaPlayer::Idle, 10000);
    QTRY_VERIFY(!song);
    QVERIFY(!rowTexts(0).contains(QStringLiteral("playing...")));
    QVERIFY(QFile::exists(musicFolder + QStringLiteral("/Over - Handed.mp3")));
    checkPulse();
}

QTEST_MAIN(TestHostileTracks)
#include "tst_hostiletracks.moc"
