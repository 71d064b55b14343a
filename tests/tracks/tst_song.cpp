#include "curlnetwork.h"
#include "curlreply.h"
#include "httptestserver.h"
#include "readcounter.h"
#include "song.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <sys/stat.h>

using Reply = HttpTestServer::Reply;
using BodyMode = HttpTestServer::BodyMode;

namespace {

QByteArray pattern(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 7 + i / 251) & 0xff);
    return data;
}

QByteArray readPath(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// Every entry, hidden ones included.
QStringList folderEntries(const QString &path)
{
    return QDir(path).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// What the music folder shows: hidden files are work in progress.
QStringList visibleEntries(const QString &path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// Permission bits of a file, as a new file gets them under the test's umask 027.
int fileMode(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

Reply heldReply(const QByteArray &announcedBody, bool withLength = true)
{
    Reply reply;
    reply.body = announcedBody;
    reply.contentLength = withLength;
    reply.mode = BodyMode::Held;
    return reply;
}

} // namespace

class tst_Song : public QObject
{
    Q_OBJECT

private slots:
    void stalePartFilesAreRemoved();
    void initTestCase();
    void init();
    void cleanup();

    void checkRequestOnTheWire_data();
    void checkRequestOnTheWire();
    void trackRequestAddress_data();
    void trackRequestAddress();
    void checkStatus_data();
    void checkStatus();
    void checkFallsBackToFirstByte_data();
    void checkFallsBackToFirstByte();
    void checkWithoutAnswer_data();
    void checkWithoutAnswer();
    void destroyedDuringCheck();
    void unreadBodyIsHeldBack();

    void listenWritesFileAsDataArrives();
    void transfersKeepDotSegments();
    void morePlayThreshold_data();
    void morePlayThreshold();
    void listenEndsOnceEvenOnError_data();
    void listenEndsOnceEvenOnError();
    void stopListeningAbortsWithoutEndPlay();
    void listenAgainRearmsEndPlay();
    void listenAgainWhilePlayerStopsThisTrack();

    void fileNames_data();
    void fileNames();
    void downloadFailures_data();
    void downloadFailures();
    void fileExistsKeepsEarlierFile();
    void nameTakenDuringDownload();
    void downloadJoinsListening();
    void joinedDownloadIsNotCopiedOnThisThread_data();
    void joinedDownloadIsNotCopiedOnThisThread();
    void downloadAfterListeningEndedFetchesAgain();
    void stopListeningKeepsJoinedDownload();
    void listenJoinsRunningDownload();
    void progressBar_data();
    void progressBar();
    void noPartialFileInMusicFolder();
    void slowButSteadyDownloadCompletes();
    void destroyedDuringTransfer();

    void downloadResumesAfterCuts();
    void listeningResumesAfterCuts();
    void resumptionAnsweredWholeStartsOver_data();
    void resumptionAnsweredWholeStartsOver();
    void resumingGivesUp_data();
    void resumingGivesUp();

private:
    std::unique_ptr<Song> makeSong(const QString &location,
                                   const QString &title = QStringLiteral("T"),
                                   const QString &creator = QStringLiteral("C"));

    std::unique_ptr<HttpTestServer> server;
    std::unique_ptr<CurlNetwork> checkNetwork;
    std::unique_ptr<CurlNetwork> transferNetwork;
    std::unique_ptr<QTemporaryDir> musicDir;
    QString musicFolder;
};

void tst_Song::initTestCase()
{
    // Not the usual 022, so that a mode that ignores the umask shows.
    ::umask(027);
    qRegisterMetaType<QFile *>();
    qRegisterMetaType<Song *>();
}

void tst_Song::init()
{
    server = std::make_unique<HttpTestServer>();
    checkNetwork = std::make_unique<CurlNetwork>();
    transferNetwork = std::make_unique<CurlNetwork>();
    musicDir = std::make_unique<QTemporaryDir>();
    QVERIFY(musicDir->isValid());
    musicFolder = musicDir->path();
}

void tst_Song::cleanup()
{
    // Replies are freed with deleteLater.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    transferNetwork.reset();
    checkNetwork.reset();
    server.reset();
    musicDir.reset();
}

std::unique_ptr<Song> tst_Song::makeSong(const QString &location, const QString &title,
                                         const QString &creator)
{
    auto song = std::make_unique<Song>(title, creator, location, &musicFolder, checkNetwork.get(),
                                       transferNetwork.get());
    // Failures are final after the last resumption; the tests of resuming set their own.
    song->setResumeDelay(5);
    return song;
}

// --- availability check ---------------------------------------------------------------------

void tst_Song::checkRequestOnTheWire_data()
{
    QTest::addColumn<QString>("path"); // as the decoded location text has it
    QTest::addColumn<QByteArray>("target");

    QTest::newRow("plain") << "/music/track.mp3" << QByteArray("/music/track.mp3");
    QTest::newRow("spaces") << "/my music/a b.mp3" << QByteArray("/my%20music/a%20b.mp3");
    QTest::newRow("parentheses") << "/x/(live).mp3" << QByteArray("/x/%28live%29.mp3");
    QTest::newRow("non-ascii") << QStringLiteral("/Mot\u00f6r/\u00fc\u20ac.mp3")
                               << QByteArray("/Mot%C3%B6r/%C3%BC%E2%82%AC.mp3");
    QTest::newRow("braces") << "/a/{b}/c.mp3" << QByteArray("/a/%7Bb%7D/c.mp3");
    QTest::newRow("query and fragment dropped") << "/a.mp3?id=5&x=y#part" << QByteArray("/a.mp3");
    QTest::newRow("unreserved kept") << "/A-z_0.9~/x.mp3" << QByteArray("/A-z_0.9~/x.mp3");
    QTest::newRow("reserved encoded")
        << "/a+b,c;d=e@f$.mp3" << QByteArray("/a%2Bb%2Cc%3Bd%3De%40f%24.mp3");
    QTest::newRow("escaped percent") << "/100%25.mp3" << QByteArray("/100%25.mp3");
    QTest::newRow("no path") << "" << QByteArray("/");
    QTest::newRow("dot segments kept") << "/a/../b/./x.mp3" << QByteArray("/a/../b/./x.mp3");
    QTest::newRow("leading dot-dot kept") << "/../x.mp3" << QByteArray("/../x.mp3");
}

void tst_Song::checkRequestOnTheWire()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, target);

    auto song = makeSong(server->urlText(path));
    QSignalSpy validation(song.get(), &Song::validation);
    QVERIFY(server->waitForRequests(1));
    const HttpTestServer::Request request = server->requests().constFirst();
    QCOMPARE(request.requestLine, "HEAD " + target + " HTTP/1.1");
    QCOMPARE(request.header("Host"), "127.0.0.1:" + QByteArray::number(server->port()));
    QVERIFY(validation.wait());
    QCOMPARE(validation.constFirst().constFirst().toBool(), false);
}

void tst_Song::trackRequestAddress_data()
{
    QTest::addColumn<QString>("location");
    QTest::addColumn<QByteArray>("address");

    QTest::newRow("http, no port")
        << "http://example.org/a.mp3" << QByteArray("http://example.org/a.mp3");
    QTest::newRow("http, own port")
        << "http://example.org:8080/a.mp3" << QByteArray("http://example.org:8080/a.mp3");
    QTest::newRow("https") << "https://example.org/a.mp3"
                           << QByteArray("https://example.org/a.mp3");
    QTest::newRow("user info dropped")
        << "http://u:p@example.org:81/a.mp3" << QByteArray("http://example.org:81/a.mp3");
    QTest::newRow("IPv6 host") << "http://[::1]:81/a.mp3" << QByteArray("http://[::1]:81/a.mp3");
    QTest::newRow("dot segments") << "http://example.org/a/../b/x.mp3?q#f"
                                  << QByteArray("http://example.org/a/../b/x.mp3");
}

void tst_Song::trackRequestAddress()
{
    QFETCH(QString, location);
    QFETCH(QByteArray, address);

    QCOMPARE(Song::trackAddress(QUrl(location)), address);
}

void tst_Song::checkStatus_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<bool>("failed");

    QTest::newRow("200 audio") << 200 << QByteArray("audio/mpeg") << false;
    QTest::newRow("200 html") << 200 << QByteArray("text/html") << false;
    QTest::newRow("302") << 302 << QByteArray() << true;
    QTest::newRow("206") << 206 << QByteArray("audio/mpeg") << true;
    QTest::newRow("204") << 204 << QByteArray() << true;
    QTest::newRow("404") << 404 << QByteArray("text/html") << true;
    QTest::newRow("500") << 500 << QByteArray() << true;
}

void tst_Song::checkStatus()
{
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    QFETCH(bool, failed);

    Reply reply;
    reply.status = status;
    reply.body = "not looked at";
    if (!contentType.isEmpty())
        reply.headers.append({"Content-Type", contentType});
    if (status == 302)
        reply.headers.append(
            {"Location", server->urlText(QStringLiteral("/elsewhere.mp3")).toUtf8()});
    server->setDefaultReply(reply);

    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    QSignalSpy validation(song.get(), &Song::validation);
    QVERIFY(validation.wait());
    QCOMPARE(validation.constFirst().constFirst().toBool(), failed);
    QTest::qWait(100);
    QCOMPARE(validation.size(), 1);
    QCOMPARE(server->requestCount(), 1); // a redirect is not followed
}

void tst_Song::checkFallsBackToFirstByte_data()
{
    QTest::addColumn<int>("headStatus");
    QTest::addColumn<int>("getStatus");
    QTest::addColumn<bool>("failed");
    QTest::addColumn<int>("requests");

    QTest::newRow("405, then 206") << 405 << 206 << false << 2;
    QTest::newRow("501, then 206") << 501 << 206 << false << 2;
    QTest::newRow("405, then 200 with the whole track") << 405 << 200 << false << 2;
    QTest::newRow("405, then 405") << 405 << 405 << true << 2;
    QTest::newRow("405, then 404") << 405 << 404 << true << 2;
    QTest::newRow("403: no second try") << 403 << 206 << true << 1;
}

// A server that refuses HEAD is asked for the first byte; a server that ignores the range and
// sends the whole track has its body dropped after the headers.
void tst_Song::checkFallsBackToFirstByte()
{
    QFETCH(int, headStatus);
    QFETCH(int, getStatus);
    QFETCH(bool, failed);
    QFETCH(int, requests);

    const QByteArray track = pattern(4 * 1024 * 1024);
    server->setHandler([&](const HttpTestServer::Request &request, Reply &reply) {
        reply.headers.append({QByteArray("Content-Type"), QByteArray("audio/mpeg")});
        if (request.method == "HEAD") {
            reply.status = headStatus;
            reply.headersOnly = true;
            return true;
        }
        reply.status = getStatus;
        reply.body = getStatus == 206 ? track.left(1) : track;
        if (getStatus == 206)
            reply.headers.append({QByteArray("Content-Range"), QByteArray("bytes 0-0/4194304")});
        if (getStatus == 200)
            reply.mode = BodyMode::Drip;
        return true;
    });
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    QSignalSpy validation(song.get(), &Song::validation);
    QVERIFY(validation.wait());
    QCOMPARE(validation.constFirst().constFirst().toBool(), failed);
    QTest::qWait(100);
    QCOMPARE(validation.size(), 1);
    QCOMPARE(server->requestCount(), requests);
    QCOMPARE(server->requests().constFirst().method, QByteArray("HEAD"));
    if (requests == 2) {
        const HttpTestServer::Request get = server->requests().at(1);
        QCOMPARE(get.method, QByteArray("GET"));
        QCOMPARE(get.target, QByteArray("/t.mp3"));
        QCOMPARE(get.header("Range"), QByteArray("bytes=0-0"));
    }
}

void tst_Song::checkWithoutAnswer_data()
{
    QTest::addColumn<QString>("location");

    QTest::newRow("unresolvable host") << "http://nonexistent.invalid/x.mp3";
    QTest::newRow("refused port")
        << QStringLiteral("http://127.0.0.1:%1/x.mp3").arg(HttpTestServer::refusedPort());
    QTest::newRow("empty location") << "";
    QTest::newRow("no host") << "/just/a/path.mp3";
    QTest::newRow("empty host") << "http:///x.mp3";
    QTest::newRow("unknown scheme") << "gopher://127.0.0.1/x.mp3";
}

void tst_Song::checkWithoutAnswer()
{
    QFETCH(QString, location);

    auto song = makeSong(location);
    // Connected after construction, as the search client does.
    QSignalSpy validation(song.get(), &Song::validation);
    QVERIFY(validation.wait(10000));
    QCOMPARE(validation.constFirst().constFirst().toBool(), true);
    QTest::qWait(100);
    QCOMPARE(validation.size(), 1);
}

void tst_Song::destroyedDuringCheck()
{
    Reply silent;
    silent.silent = true;
    server->setDefaultReply(silent);

    int reports = 0;
    auto song = makeSong(server->urlText(QStringLiteral("/x.mp3")));
    connect(song.get(), &Song::validation, this, [&] { ++reports; });
    QVERIFY(server->waitForRequests(1));
    song.reset();

    auto empty = makeSong(QString());
    connect(empty.get(), &Song::validation, this, [&] { ++reports; });
    empty.reset();

    QTest::qWait(100);
    QCOMPARE(reports, 0);
}

// A reply keeps at most about 1 MiB of a body nobody reads; the rest waits in the connection
// and arrives whole once read.
void tst_Song::unreadBodyIsHeldBack()
{
    const QByteArray body = pattern(24 * 1024 * 1024);
    Reply reply;
    reply.body = body;
    server->setDefaultReply(reply);
    CurlReply *fetch = transferNetwork->get(server->url("/big.mp3").toEncoded(), {}, 10000);
    QSignalSpy arrived(fetch, &CurlReply::readyRead);
    QVERIFY(arrived.wait());
    QTest::qWait(500);
    QVERIFY(fetch->bytesAvailable() > 0);
    QVERIFY2(fetch->bytesAvailable() <= 1024 * 1024 + 256 * 1024,
             QByteArray::number(fetch->bytesAvailable()).constData());

    QByteArray got;
    QByteArray buffer(64 * 1024, Qt::Uninitialized);
    const auto drain = [&] {
        while (const qint64 n = fetch->read(buffer.data(), buffer.size()))
            got.append(buffer.constData(), n);
    };
    connect(fetch, &CurlReply::readyRead, this, drain);
    QSignalSpy finished(fetch, &CurlReply::finished);
    drain();
    QVERIFY(finished.wait(10000));
    drain();
    QCOMPARE(fetch->error(), CurlReply::NoError);
    QCOMPARE(got.size(), body.size());
    QVERIFY(got == body);
}

// --- listening ------------------------------------------------------------------------------

void tst_Song::listenWritesFileAsDataArrives()
{
    const QByteArray body = pattern(3000);
    server->setReply("/t.mp3", heldReply(body));
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));

    QString path;
    bool openAndEmpty = false;
    connect(song.get(), &Song::startPlay, this, [&](QFile *file, Song *s) {
        QCOMPARE(s, song.get());
        path = QFileInfo(*file).absoluteFilePath();
        openAndEmpty = file->isOpen() && file->size() == 0 && QFileInfo::exists(path);
    });
    QSignalSpy endPlay(song.get(), &Song::endPlay);
    song->listen();
    QVERIFY(openAndEmpty);

    QVERIFY(server->waitForRequests(2)); // the check and the transfer
    QCOMPARE(server->requestCount("GET"), 1);
    QTRY_COMPARE(server->heldCount(), 1);
    server->push(body.left(1000));
    QTRY_COMPARE(readPath(path), body.left(1000));
    server->push(body.mid(1000));
    QTRY_COMPARE(readPath(path), body);
    server->finishHeld();
    QTRY_COMPARE(endPlay.size(), 1);
    QTest::qWait(50);
    QCOMPARE(endPlay.size(), 1);
}

// "." and ".." segments are part of the location as the service gave it: the check, the
// listening and the download transfer ask for the path as it stands.
void tst_Song::transfersKeepDotSegments()
{
    Reply reply;
    reply.body = pattern(5000);
    server->setDefaultReply(reply);
    auto song = makeSong(server->urlText(QStringLiteral("/a/../b/./x.mp3")));
    QSignalSpy validation(song.get(), &Song::validation);
    QVERIFY(validation.wait());
    QCOMPARE(validation.constFirst().constFirst().toBool(), false);

    QSignalSpy endPlay(song.get(), &Song::endPlay);
    song->listen();
    QVERIFY(endPlay.wait());
    QSignalSpy ready(song.get(), &Song::downloadReady);
    QProgressBar bar;
    song->download(&bar, 0);
    QVERIFY(ready.wait());
    QCOMPARE(ready.constFirst().at(1).toInt(), int(Song::Downloaded));

    QStringList lines;
    for (const HttpTestServer::Request &request : server->requests())
        lines << QString::fromLatin1(request.requestLine);
    QCOMPARE(lines, QStringList({QStringLiteral("HEAD /a/../b/./x.mp3 HTTP/1.1"),
                                 QStringLiteral("GET /a/../b/./x.mp3 HTTP/1.1"),
                                 QStringLiteral("GET /a/../b/./x.mp3 HTTP/1.1")}));
}

void tst_Song::morePlayThreshold_data()
{
    QTest::addColumn<bool>("withLength");
    QTest::addColumn<QList<int>>("chunks");
    QTest::addColumn<QList<bool>>("hint"); // whether the chunk brings a morePlay()

    // 100000 announced: 5 % is 5000 bytes.
    QTest::newRow("length, below then from 5%") << true << QList<int>{1000, 3999, 1, 10, 20000}
                                                << QList<bool>{false, false, true, true, true};
    QTest::newRow("length, first chunk past 5%")
        << true << QList<int>{6000, 10} << QList<bool>{true, true};
    QTest::newRow("no length, every report")
        << false << QList<int>{1, 10, 5000} << QList<bool>{true, true, true};
}

void tst_Song::morePlayThreshold()
{
    QFETCH(bool, withLength);
    QFETCH(QList<int>, chunks);
    QFETCH(QList<bool>, hint);

    const QByteArray body = pattern(100000);
    server->setReply("/t.mp3", heldReply(body, withLength));
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    QString path;
    connect(song.get(), &Song::startPlay, this,
            [&](QFile *file, Song *) { path = QFileInfo(*file).absoluteFilePath(); });
    QSignalSpy morePlay(song.get(), &Song::morePlay);
    song->listen();
    QTRY_COMPARE(server->heldCount(), 1);

    int sent = 0;
    for (int i = 0; i < chunks.size(); ++i) {
        const int before = morePlay.size();
        server->push(body.mid(sent, chunks.at(i)));
        sent += chunks.at(i);
        QTRY_COMPARE(QFileInfo(path).size(), qint64(sent));
        if (hint.at(i)) {
            QTRY_VERIFY(morePlay.size() > before);
        } else {
            QTest::qWait(30);
            QCOMPARE(morePlay.size(), 0);
        }
    }
    server->finishHeld();
}

void tst_Song::listenEndsOnceEvenOnError_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("refused");

    QTest::newRow("complete") << "/ok.mp3" << false;
    QTest::newRow("404") << "/missing.mp3" << false;
    QTest::newRow("cut off") << "/cut.mp3" << false;
    QTest::newRow("refused") << "/x.mp3" << true;
}

void tst_Song::listenEndsOnceEvenOnError()
{
    QFETCH(QString, path);
    QFETCH(bool, refused);

    Reply ok;
    ok.body = pattern(5000);
    server->setReply("/ok.mp3", ok);
    Reply missing;
    missing.status = 404;
    missing.body = "nothing here";
    server->setReply("/missing.mp3", missing);
    Reply cut;
    cut.body = pattern(5000);
    cut.mode = BodyMode::CutOff;
    cut.cutAfter = 100;
    server->setReply("/cut.mp3", cut);

    const QString location
        = refused
              ? QStringLiteral("http://127.0.0.1:%1%2").arg(HttpTestServer::refusedPort()).arg(path)
              : server->urlText(path);
    auto song = makeSong(location);
    QSignalSpy endPlay(song.get(), &Song::endPlay);
    song->listen();
    QTRY_COMPARE(endPlay.size(), 1);
    QTest::qWait(50);
    QCOMPARE(endPlay.size(), 1);
}

void tst_Song::stopListeningAbortsWithoutEndPlay()
{
    const QByteArray body = pattern(10000);
    server->setReply("/t.mp3", heldReply(body));
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    QString path;
    connect(song.get(), &Song::startPlay, this,
            [&](QFile *file, Song *) { path = QFileInfo(*file).absoluteFilePath(); });
    QSignalSpy endPlay(song.get(), &Song::endPlay);
    song->listen();
    QTRY_COMPARE(server->heldCount(), 1);
    server->push(body.left(100));
    QTRY_COMPARE(QFileInfo(path).size(), qint64(100));

    song->stopListening();
    QTRY_COMPARE(server->heldCount(), 0); // the connection was closed by the client
    server->push(body.mid(100));
    QTest::qWait(50);
    QCOMPARE(endPlay.size(), 0);
    QCOMPARE(QFileInfo(path).size(), qint64(100));
}

void tst_Song::listenAgainRearmsEndPlay()
{
    Reply reply;
    reply.body = pattern(2000);
    server->setDefaultReply(reply);
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    QSignalSpy endPlay(song.get(), &Song::endPlay);
    QSignalSpy startPlay(song.get(), &Song::startPlay);

    song->listen();
    song->stopListening();
    QTest::qWait(50);
    QCOMPARE(endPlay.size(), 0);

    song->listen();
    QTRY_COMPARE(endPlay.size(), 1);
    QCOMPARE(startPlay.size(), 2);
    auto *file = startPlay.at(1).at(0).value<QFile *>();
    QCOMPARE(readPath(QFileInfo(*file).absoluteFilePath()), reply.body);
}

// The player stops the track it streams from inside startPlay(), which is this very track when
// the same row is played again.
void tst_Song::listenAgainWhilePlayerStopsThisTrack()
{
    Reply reply;
    reply.body = pattern(2000);
    server->setDefaultReply(reply);
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    QSignalSpy endPlay(song.get(), &Song::endPlay);
    QString path;
    bool playing = false;
    connect(song.get(), &Song::startPlay, this, [&](QFile *file, Song *s) {
        if (playing)
            s->stopListening();
        playing = true;
        path = QFileInfo(*file).absoluteFilePath();
    });

    song->listen();
    song->listen();
    QTRY_COMPARE(endPlay.size(), 1);
    QCOMPARE(readPath(path), reply.body);
}

// --- downloading ----------------------------------------------------------------------------

void tst_Song::fileNames_data()
{
    QTest::addColumn<QString>("creator");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("fileName");

    QTest::newRow("cleaned both") << "Me/You"
                                  << "Who's There?"
                                  << "Me-You - Who s There.mp3";
    QTest::newRow("empty creator") << ""
                                   << "Alone"
                                   << "Alone.mp3";
    QTest::newRow("creator emptied by cleaning") << "?!"
                                                 << "Title"
                                                 << " - Title.mp3";
    QTest::newRow("empty title") << "X"
                                 << ""
                                 << "X - .mp3";
    QTest::newRow("colon") << ""
                           << "Live: 1999"
                           << "Live- 1999.mp3";
    QTest::newRow("all rules") << "a\\b*c"
                               << "\"q\"|p"
                               << "abc -  q  p.mp3";
    QTest::newRow("blanks and angles kept") << " A  <B> "
                                            << "t"
                                            << " A  <B>  - t.mp3";
    QTest::newRow("non-ascii") << QStringLiteral("Bj\u00f6rk") << QStringLiteral("J\u00f3ga")
                               << QStringLiteral("Bj\u00f6rk - J\u00f3ga.mp3");
}

void tst_Song::fileNames()
{
    QFETCH(QString, creator);
    QFETCH(QString, title);
    QFETCH(QString, fileName);

    Reply reply;
    reply.body = pattern(4000);
    server->setDefaultReply(reply);
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")), title, creator);
    QSignalSpy ready(song.get(), &Song::downloadReady);
    song->download(nullptr, 7);
    QTRY_COMPARE(ready.size(), 1);
    QCOMPARE(ready.constFirst().at(0).toInt(), 7);
    QCOMPARE(ready.constFirst().at(1).toInt(), int(Song::Downloaded));
    QCOMPARE(folderEntries(musicFolder), QStringList{fileName});
    QCOMPARE(readPath(musicFolder + QLatin1Char('/') + fileName), reply.body);
}

void tst_Song::downloadFailures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("folder"); // relative to the temporary folder; "" = music folder
    QTest::addColumn<bool>("refused");
    QTest::addColumn<int>("code");

    const int notAvailable = Song::NotAvailable;
    const int badFilename = Song::BadFilename;
    QTest::newRow("404") << "/missing.mp3"
                         << "T"
                         << "" << false << notAvailable;
    QTest::newRow("302") << "/moved.mp3"
                         << "T"
                         << "" << false << notAvailable;
    QTest::newRow("refused") << "/ok.mp3"
                             << "T"
                             << "" << true << notAvailable;
    QTest::newRow("cut off") << "/cut.mp3"
                             << "T"
                             << "" << false << notAvailable;
    QTest::newRow("stalled") << "/stall.mp3"
                             << "T"
                             << "" << false << notAvailable;
    QTest::newRow("folder is a file") << "/ok.mp3"
                                      << "T"
                                      << "afile" << false << badFilename;
    QTest::newRow("missing folder") << "/ok.mp3"
                                    << "T"
                                    << "no/such" << false << badFilename;
    QTest::newRow("name too long")
        << "/ok.mp3" << QString(300, QLatin1Char('a')) << "" << false << badFilename;
    QTest::newRow("name too long in utf-8")
        << "/ok.mp3" << QString(124, QChar(0x00e9)) << "" << false << badFilename;
    QTest::newRow("longest name that fits")
        << "/ok.mp3" << QString(123, QChar(0x00e9)) << "" << false << int(Song::Downloaded);
    QTest::newRow("nul in name") << "/ok.mp3"
                                 << QStringLiteral("a") + QChar(0) + QStringLiteral("b") << ""
                                 << false << badFilename;
}

void tst_Song::downloadFailures()
{
    QFETCH(QString, path);
    QFETCH(QString, title);
    QFETCH(QString, folder);
    QFETCH(bool, refused);
    QFETCH(int, code);

    Reply ok;
    ok.body = pattern(5000);
    server->setReply("/ok.mp3", ok);
    Reply missing;
    missing.status = 404;
    missing.reason = "Not Found";
    missing.body = "<html>not found</html>";
    server->setReply("/missing.mp3", missing);
    Reply moved;
    moved.status = 302;
    moved.reason = "Found";
    moved.headers.append({"Location", server->urlText(QStringLiteral("/ok.mp3")).toUtf8()});
    moved.body = "moved";
    server->setReply("/moved.mp3", moved);
    Reply cut = ok;
    cut.mode = BodyMode::CutOff;
    cut.cutAfter = 1000;
    server->setReply("/cut.mp3", cut);
    Reply stall = ok;
    stall.mode = BodyMode::Stall;
    stall.cutAfter = 1000;
    server->setReply("/stall.mp3", stall);

    QFile(musicFolder + QLatin1String("/afile")).open(QIODevice::WriteOnly);
    QString target = musicFolder;
    if (!folder.isEmpty())
        target += QLatin1Char('/') + folder;
    const QStringList before = folderEntries(musicFolder);

    const QString location
        = refused
              ? QStringLiteral("http://127.0.0.1:%1%2").arg(HttpTestServer::refusedPort()).arg(path)
              : server->urlText(path);
    Song song(title, QStringLiteral("C"), location, &target, checkNetwork.get(),
              transferNetwork.get());
    song.setStallTimeout(300);
    song.setResumeDelay(5);
    QSignalSpy ready(&song, &Song::downloadReady);
    song.download(nullptr, 2);
    QTRY_COMPARE(ready.size(), 1);
    QCOMPARE(ready.constFirst().at(0).toInt(), 2);
    QCOMPARE(ready.constFirst().at(1).toInt(), code);
    QStringList expected = before;
    if (code == Song::Downloaded) {
        expected << QLatin1String("C - ") + title + QLatin1String(".mp3");
        expected.sort();
        const QString saved = target + QLatin1String("/C - ") + title + QLatin1String(".mp3");
        QCOMPARE(fileMode(saved), 0640);
    }
    QCOMPARE(folderEntries(musicFolder), expected);
    QTest::qWait(50);
    QCOMPARE(ready.size(), 1);
}

void tst_Song::fileExistsKeepsEarlierFile()
{
    Reply reply;
    reply.body = pattern(4000);
    server->setDefaultReply(reply);
    const QString target = musicFolder + QLatin1String("/C - T.mp3");
    const QByteArray earlier = "an earlier download, byte for byte\n\x01\x02";
    {
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(earlier);
    }
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    QSignalSpy ready(song.get(), &Song::downloadReady);
    song->download(nullptr, 0);
    QTRY_COMPARE(ready.size(), 1);
    QCOMPARE(ready.constFirst().at(1).toInt(), int(Song::FileExists));
    QCOMPARE(readPath(target), earlier);
    QCOMPARE(folderEntries(musicFolder), QStringList{QStringLiteral("C - T.mp3")});
}

void tst_Song::nameTakenDuringDownload()
{
    const QByteArray body = pattern(4000);
    server->setReply("/t.mp3", heldReply(body));
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    QSignalSpy ready(song.get(), &Song::downloadReady);
    song->download(nullptr, 0);
    QTRY_COMPARE(server->heldCount(), 1);

    const QString target = musicFolder + QLatin1String("/C - T.mp3");
    {
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("saved meanwhile");
    }
    server->push(body);
    server->finishHeld();
    QTRY_COMPARE(ready.size(), 1);
    QCOMPARE(ready.constFirst().at(1).toInt(), int(Song::FileExists));
    QCOMPARE(readPath(target), QByteArray("saved meanwhile"));
    QCOMPARE(folderEntries(musicFolder), QStringList{QStringLiteral("C - T.mp3")});
}

void tst_Song::downloadJoinsListening()
{
    const QByteArray body = pattern(20000);
    server->setReply("/t.mp3", heldReply(body));
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    QStringList order;
    connect(song.get(), &Song::endPlay, this, [&] { order << QStringLiteral("endPlay"); });
    connect(song.get(), &Song::downloadReady, this, [&](int pos, int error) {
        order << QStringLiteral("downloadReady %1 %2").arg(pos).arg(error);
    });

    song->listen();
    QTRY_COMPARE(server->heldCount(), 1);
    server->push(body.left(5000));
    QTest::qWait(20);
    song->download(nullptr, 4);
    server->push(body.mid(5000));
    server->finishHeld();
    QTRY_COMPARE(order.size(), 2);
    QCOMPARE(order, (QStringList{QStringLiteral("endPlay"), QStringLiteral("downloadReady 4 0")}));
    QCOMPARE(server->requestCount("GET"), 1);
    QCOMPARE(readPath(musicFolder + QLatin1String("/C - T.mp3")), body);
    // Copied from the listening file rather than renamed: the same mode all the same.
    QCOMPARE(fileMode(musicFolder + QLatin1String("/C - T.mp3")), 0640);
}

void tst_Song::joinedDownloadIsNotCopiedOnThisThread_data()
{
    QTest::addColumn<QString>("listeningFolder");
    QTest::newRow("same file system") << QString();
    QTest::newRow("other file system") << QStringLiteral("/dev/shm");
}

// A download that joined a listening transfer ends with the listening file in the music folder:
// linked where both lie on one file system, else copied on a pool thread. Either way this
// thread does not read the track.
void tst_Song::joinedDownloadIsNotCopiedOnThisThread()
{
    QFETCH(QString, listeningFolder);
    if (ReadCounter::thisThread() < 0)
        QSKIP("no /proc/thread-self/io");
    std::unique_ptr<QTemporaryDir> elsewhere;
    const QByteArray tmp = qgetenv("TMPDIR");
    if (!listeningFolder.isEmpty()) {
        struct stat music;
        struct stat other;
        if (::stat(QFile::encodeName(musicFolder).constData(), &music) != 0
            || ::stat(QFile::encodeName(listeningFolder).constData(), &other) != 0
            || music.st_dev == other.st_dev)
            QSKIP("no second file system to listen from");
        elsewhere = std::make_unique<QTemporaryDir>(listeningFolder + QLatin1String("/songXXXXXX"));
        QVERIFY(elsewhere->isValid());
        qputenv("TMPDIR", QFile::encodeName(elsewhere->path()));
    }
    const QByteArray body = pattern(8 * 1024 * 1024);
    server->setReply("/t.mp3", heldReply(body));
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    QString listenPath;
    connect(song.get(), &Song::startPlay, this,
            [&](QFile *file, Song *) { listenPath = QFileInfo(*file).absoluteFilePath(); });
    QSignalSpy ready(song.get(), &Song::downloadReady);
    song->listen();
    if (elsewhere)
        qputenv("TMPDIR", tmp);
    QVERIFY(listenPath.startsWith(elsewhere ? elsewhere->path() : QDir::tempPath()));
    QTRY_COMPARE(server->heldCount(), 1);
    song->download(nullptr, 1);
    const qint64 before = ReadCounter::thisThread();
    server->push(body);
    server->finishHeld();
    QTRY_COMPARE(ready.size(), 1);
    QVERIFY2(ReadCounter::thisThread() - before < body.size() / 4,
             qPrintable(QString::number(ReadCounter::thisThread() - before)));
    QCOMPARE(ready.constFirst().at(1).toInt(), int(Song::Downloaded));
    QCOMPARE(readPath(musicFolder + QLatin1String("/C - T.mp3")), body);
    QCOMPARE(fileMode(musicFolder + QLatin1String("/C - T.mp3")), 0640);
    QCOMPARE(folderEntries(musicFolder), QStringList{QStringLiteral("C - T.mp3")});
    // The player may still be reading the listening file.
    QCOMPARE(readPath(listenPath), body);
}

void tst_Song::downloadAfterListeningEndedFetchesAgain()
{
    Reply reply;
    reply.body = pattern(6000);
    server->setDefaultReply(reply);
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    QString listenPath;
    connect(song.get(), &Song::startPlay, this,
            [&](QFile *file, Song *) { listenPath = QFileInfo(*file).absoluteFilePath(); });
    QSignalSpy endPlay(song.get(), &Song::endPlay);
    QSignalSpy ready(song.get(), &Song::downloadReady);

    song->listen();
    QTRY_COMPARE(endPlay.size(), 1);
    song->download(nullptr, 1);
    QTRY_COMPARE(ready.size(), 1);
    QCOMPARE(ready.constFirst().at(1).toInt(), int(Song::Downloaded));
    QCOMPARE(server->requestCount("GET"), 2);
    QCOMPARE(endPlay.size(), 1);
    // The player may still be reading the listening file by its path.
    QCOMPARE(readPath(listenPath), reply.body);
    QCOMPARE(readPath(musicFolder + QLatin1String("/C - T.mp3")), reply.body);
}

void tst_Song::stopListeningKeepsJoinedDownload()
{
    const QByteArray body = pattern(20000);
    server->setReply("/t.mp3", heldReply(body));
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    QSignalSpy endPlay(song.get(), &Song::endPlay);
    QSignalSpy morePlay(song.get(), &Song::morePlay);
    QSignalSpy ready(song.get(), &Song::downloadReady);

    song->listen();
    QTRY_COMPARE(server->heldCount(), 1);
    server->push(body.left(2000));
    QTRY_VERIFY(morePlay.size() > 0);
    song->download(nullptr, 0);
    song->stopListening();
    const int hints = morePlay.size();
    server->push(body.mid(2000, 3000));
    QTRY_VERIFY(morePlay.size() > hints);
    server->push(body.mid(5000));
    server->finishHeld();
    QTRY_COMPARE(ready.size(), 1);
    QCOMPARE(ready.constFirst().at(1).toInt(), int(Song::Downloaded));
    QCOMPARE(endPlay.size(), 0);
    QCOMPARE(server->requestCount("GET"), 1);
    QCOMPARE(readPath(musicFolder + QLatin1String("/C - T.mp3")), body);
}

void tst_Song::listenJoinsRunningDownload()
{
    const QByteArray body = pattern(20000);
    server->setReply("/t.mp3", heldReply(body));
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    QSignalSpy endPlay(song.get(), &Song::endPlay);
    QSignalSpy ready(song.get(), &Song::downloadReady);
    // Like the player: a handle of its own, opened by path when playing starts.
    QFile player;
    connect(song.get(), &Song::startPlay, this, [&](QFile *file, Song *) {
        player.setFileName(QFileInfo(*file).absoluteFilePath());
        QVERIFY(player.open(QIODevice::ReadOnly));
    });

    song->download(nullptr, 0);
    QTRY_COMPARE(server->heldCount(), 1);
    server->push(body.left(3000));
    QTest::qWait(30);
    song->listen();
    QByteArray played;
    QTRY_COMPARE((played += player.readAll()), body.left(3000));
    server->push(body.mid(3000));
    server->finishHeld();
    QTRY_COMPARE(ready.size(), 1);
    QCOMPARE(ready.constFirst().at(1).toInt(), int(Song::Downloaded));
    QCOMPARE(endPlay.size(), 1);
    QCOMPARE(server->requestCount("GET"), 1);
    played += player.readAll();
    QCOMPARE(played, body);
    QCOMPARE(readPath(musicFolder + QLatin1String("/C - T.mp3")), body);
}

void tst_Song::progressBar_data()
{
    QTest::addColumn<bool>("withLength");
    QTest::newRow("length") << true;
    QTest::newRow("no length: busy") << false;
}

void tst_Song::progressBar()
{
    QFETCH(bool, withLength);

    const QByteArray body = pattern(8000);
    server->setReply("/t.mp3", heldReply(body, withLength));
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    QProgressBar bar;
    bar.setMinimum(0);
    QCOMPARE(bar.maximum(), 100);
    song->download(&bar, 0);
    QTRY_COMPARE(server->heldCount(), 1);
    server->push(body.left(2000));
    if (withLength) {
        QTRY_COMPARE(bar.value(), 2000);
        QCOMPARE(bar.maximum(), 8000);
    } else {
        QTRY_COMPARE(bar.maximum(), 0);
    }
    server->push(body.mid(2000));
    server->finishHeld();
    QSignalSpy ready(song.get(), &Song::downloadReady);
    QTRY_COMPARE(ready.size(), 1);
}

void tst_Song::noPartialFileInMusicFolder()
{
    Reply reply;
    reply.body = pattern(64 * 1024);
    reply.mode = BodyMode::Drip;
    reply.dripSize = 4096;
    reply.dripInterval = 5;
    server->setDefaultReply(reply);
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    QSignalSpy ready(song.get(), &Song::downloadReady);
    song->download(nullptr, 0);
    int looks = 0;
    while (ready.isEmpty()) {
        QVERIFY2(looks < 1000, "the download did not end");
        QCOMPARE(visibleEntries(musicFolder), QStringList());
        QTest::qWait(5);
        ++looks;
    }
    QVERIFY(looks > 5);
    QCOMPARE(ready.constFirst().at(1).toInt(), int(Song::Downloaded));
    QCOMPARE(folderEntries(musicFolder), QStringList{QStringLiteral("C - T.mp3")});
    QCOMPARE(readPath(musicFolder + QLatin1String("/C - T.mp3")), reply.body);
}

// The stall limit counts silence, not the length of the whole transfer.
void tst_Song::slowButSteadyDownloadCompletes()
{
    Reply reply;
    reply.body = pattern(16 * 1024);
    reply.mode = BodyMode::Drip;
    reply.dripSize = 1024;
    reply.dripInterval = 50;
    server->setDefaultReply(reply);
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    song->setStallTimeout(300);
    QSignalSpy ready(song.get(), &Song::downloadReady);
    song->download(nullptr, 0);
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 10000);
    QCOMPARE(ready.constFirst().at(1).toInt(), int(Song::Downloaded));
}

void tst_Song::destroyedDuringTransfer()
{
    const QByteArray body = pattern(20000);
    server->setReply("/t.mp3", heldReply(body));
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    bool dying = false;
    int signalsAfter = 0;
    QString path;
    connect(song.get(), &Song::startPlay, this,
            [&](QFile *file, Song *) { path = QFileInfo(*file).absoluteFilePath(); });
    song->listen();
    song->download(nullptr, 0);
    connect(song.get(), &Song::endPlay, this, [&] { signalsAfter += dying; });
    connect(song.get(), &Song::morePlay, this, [&] { signalsAfter += dying; });
    connect(song.get(), &Song::downloadReady, this, [&] { signalsAfter += dying; });
    connect(song.get(), &Song::validation, this, [&] { signalsAfter += dying; });
    QTRY_COMPARE(server->heldCount(), 1);
    server->push(body.left(1000));
    QTRY_COMPARE(QFileInfo(path).size(), qint64(1000));

    dying = true;
    song.reset();
    server->push(body.mid(1000));
    server->finishHeld();
    QTest::qWait(100);
    QCOMPARE(signalsAfter, 0);
    QVERIFY(!QFileInfo::exists(path));
    QCOMPARE(folderEntries(musicFolder), QStringList());

    // A download of its own receives into the music folder: nothing may stay there.
    auto other = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    connect(other.get(), &Song::downloadReady, this, [&] { signalsAfter += dying; });
    dying = false;
    other->download(nullptr, 0);
    QTRY_COMPARE(server->heldCount(), 1);
    server->push(body.left(1000));
    QTest::qWait(30);
    dying = true;
    other.reset();
    server->finishHeld();
    QTest::qWait(50);
    QCOMPARE(signalsAfter, 0);
    QCOMPARE(folderEntries(musicFolder), QStringList());
}

void tst_Song::stalePartFilesAreRemoved()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const auto make = [&](const QString &name, int hoursOld) {
        QFile file(folder.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("x");
        file.flush(); // a later flush would set the time again
        QVERIFY(file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-3600 * hoursOld),
                                 QFileDevice::FileModificationTime));
    };
    make(QStringLiteral(".larkspin-abc123.part"), 30);
    make(QStringLiteral(".larkspin-def456.part"), 1);
    make(QStringLiteral("old song.mp3"), 30);
    make(QStringLiteral(".other.part"), 30);
    Song::removeStalePartFiles(folder.path());
    QStringList left = QDir(folder.path()).entryList(QDir::Files | QDir::Hidden);
    left.sort();
    QCOMPARE(left, (QStringList{QStringLiteral(".larkspin-def456.part"),
                                QStringLiteral(".other.part"), QStringLiteral("old song.mp3")}));
}

// --- resuming ------------------------------------------------------------------------------

namespace {

QList<HttpTestServer::Request> getsOf(const HttpTestServer &server)
{
    QList<HttpTestServer::Request> gets;
    for (const HttpTestServer::Request &request : server.requests()) {
        if (request.method == "GET")
            gets << request;
    }
    return gets;
}

// Serves body with ranges and a validator, closing the connection after cuts[i] bytes of the
// i-th GET's reply; GETs past the cuts get the rest whole.
HttpTestServer::Handler cuttingServer(const QByteArray &body, const QList<qint64> &cuts)
{
    auto gets = std::make_shared<int>(0);
    return [body, cuts, gets](const HttpTestServer::Request &request, Reply &reply) {
        if (request.method != "GET")
            return false;
        reply.body = body;
        reply.ranges = true;
        reply.headers.append({QByteArray("ETag"), QByteArray("\"v1\"")});
        if (!request.header("If-Range").isEmpty() && request.header("If-Range") != "\"v1\"")
            reply.ranges = false;
        if (*gets < cuts.size()) {
            reply.mode = BodyMode::CutOff;
            reply.cutAfter = cuts.at(*gets);
        }
        ++*gets;
        return true;
    };
}

} // namespace

// Cut at 40 % and again at 70 %: resumed twice, 1 s and then 2 s later, from exactly the bytes
// received, with the first answer's validator; the saved file is byte for byte the track and
// the download reports once.
void tst_Song::downloadResumesAfterCuts()
{
    const QByteArray body = pattern(600000);
    server->setHandler(cuttingServer(body, {240000, 180000}));
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    song->setResumeDelay(1000);
    QProgressBar bar;
    QSignalSpy ready(song.get(), &Song::downloadReady);
    song->download(&bar, 3);
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 10000);
    QCOMPARE(ready.constFirst().at(1).toInt(), int(Song::Downloaded));
    QCOMPARE(readPath(musicFolder + QLatin1String("/C - T.mp3")), body);
    QCOMPARE(visibleEntries(musicFolder), QStringList{QStringLiteral("C - T.mp3")});
    QCOMPARE(folderEntries(musicFolder), visibleEntries(musicFolder));
    QCOMPARE(bar.value(), bar.maximum());

    const QList<HttpTestServer::Request> gets = getsOf(*server);
    QCOMPARE(gets.size(), 3);
    QCOMPARE(gets.at(0).header("Range"), QByteArray());
    QCOMPARE(gets.at(1).header("Range"), QByteArray("bytes=240000-"));
    QCOMPARE(gets.at(1).header("If-Range"), QByteArray("\"v1\""));
    QCOMPARE(gets.at(2).header("Range"), QByteArray("bytes=420000-"));
    QCOMPARE(gets.at(2).header("If-Range"), QByteArray("\"v1\""));
    // A timer may fire up to 5 % early.
    QVERIFY(gets.at(1).atMs - gets.at(0).atMs >= 900);
    QVERIFY(gets.at(2).atMs - gets.at(1).atMs >= 1800);
    QTest::qWait(50);
    QCOMPARE(ready.size(), 1);
}

// "Play Song" transfers resume the same way: the player's file grows to the whole track and
// the end is announced once.
void tst_Song::listeningResumesAfterCuts()
{
    const QByteArray body = pattern(300000);
    server->setHandler(cuttingServer(body, {100000, 100000}));
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    QString path;
    connect(song.get(), &Song::startPlay, this,
            [&](QFile *file, Song *) { path = QFileInfo(*file).absoluteFilePath(); });
    QSignalSpy endPlay(song.get(), &Song::endPlay);
    song->listen();
    QTRY_COMPARE(endPlay.size(), 1);
    QCOMPARE(readPath(path), body);
    QCOMPARE(server->requestCount("GET"), 3);
    QTest::qWait(50);
    QCOMPARE(endPlay.size(), 1);
}

void tst_Song::resumptionAnsweredWholeStartsOver_data()
{
    QTest::addColumn<bool>("changed");
    QTest::newRow("server takes no ranges") << false;
    QTest::newRow("track changed (If-Range)") << true;
}

void tst_Song::resumptionAnsweredWholeStartsOver()
{
    QFETCH(bool, changed);
    const QByteArray first = pattern(300000);
    // A changed track shorter than what had arrived of it: nothing of the first may stay.
    const QByteArray second = changed ? pattern(100000).mid(7) : first;
    int gets = 0;
    server->setHandler([&](const HttpTestServer::Request &request, Reply &reply) {
        if (request.method != "GET")
            return false;
        reply.body = gets == 0 ? first : second;
        reply.headers.append({QByteArray("Last-Modified"),
                              gets == 0 || !changed ? QByteArray("Tue, 01 Dec 2026 10:00:00 GMT")
                                                    : QByteArray("Wed, 02 Dec 2026 10:00:00 GMT")});
        if (gets == 0) {
            reply.mode = BodyMode::CutOff;
            reply.cutAfter = 120000;
        } else if (changed) {
            // Honours ranges, but the validator no longer matches.
            reply.ranges = request.header("If-Range") == "Wed, 02 Dec 2026 10:00:00 GMT";
        }
        ++gets;
        return true;
    });
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    QSignalSpy ready(song.get(), &Song::downloadReady);
    song->download(nullptr, 0);
    QTRY_COMPARE(ready.size(), 1);
    QCOMPARE(ready.constFirst().at(1).toInt(), int(Song::Downloaded));
    QCOMPARE(readPath(musicFolder + QLatin1String("/C - T.mp3")), second);
    QCOMPARE(gets, 2);
    QCOMPARE(getsOf(*server).at(1).header("Range"), QByteArray("bytes=120000-"));
    QCOMPARE(getsOf(*server).at(1).header("If-Range"), QByteArray("Tue, 01 Dec 2026 10:00:00 GMT"));
}

void tst_Song::resumingGivesUp_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("gets");
    QTest::newRow("cut every time") << "cut" << 4;
    QTest::newRow("resumption answered 503") << "503" << 2;
    QTest::newRow("resumption from the wrong byte") << "wrong range" << 2;
}

void tst_Song::resumingGivesUp()
{
    QFETCH(QString, fault);
    QFETCH(int, gets);
    const QByteArray body = pattern(200000);
    int count = 0;
    server->setHandler([&](const HttpTestServer::Request &request, Reply &reply) {
        if (request.method != "GET")
            return false;
        reply.body = body;
        reply.ranges = true;
        if (count == 0 || fault == QLatin1String("cut")) {
            reply.mode = BodyMode::CutOff;
            reply.cutAfter = 20000;
        } else if (fault == QLatin1String("503")) {
            reply.status = 503;
            reply.reason = "Service Unavailable";
            reply.ranges = false;
        } else {
            reply.ranges = false;
            reply.status = 206;
            reply.body = body.mid(1000);
            reply.headers.append(
                {QByteArray("Content-Range"), QByteArray("bytes 1000-199999/200000")});
        }
        ++count;
        return true;
    });
    auto song = makeSong(server->urlText(QStringLiteral("/t.mp3")));
    QSignalSpy ready(song.get(), &Song::downloadReady);
    song->download(nullptr, 0);
    QTRY_COMPARE(ready.size(), 1);
    QCOMPARE(ready.constFirst().at(1).toInt(), int(Song::NotAvailable));
    QCOMPARE(count, gets);
    QCOMPARE(folderEntries(musicFolder), QStringList());
    QTest::qWait(100);
    QCOMPARE(count, gets);
}

QTEST_MAIN(tst_Song)
#include "tst_song.moc"
