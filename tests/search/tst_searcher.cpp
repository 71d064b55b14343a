#include "curlnetwork.h"
#include "httptestserver.h"
#include "searcher.h"
#include "song.h"
#include "xspfpage.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QMovie>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTime>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include <dlfcn.h>
#include <netdb.h>

namespace {
// Lookups of this host take 3 s, as a slow name server would make them; nothing leaves the
// machine.
constexpr const char *slowHost = "slow-lookup.test";
std::atomic<int> slowLookups{0};
} // namespace

// Stands in for the C library's lookup for the whole test program, libcurl's resolver thread
// included.
extern "C" int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                           struct addrinfo **result)
{
    if (node && strcmp(node, slowHost) == 0) {
        ++slowLookups;
        std::this_thread::sleep_for(std::chrono::seconds(3));
        return EAI_NONAME;
    }
    using Lookup = int (*)(const char *, const char *, const struct addrinfo *, addrinfo **);
    static const auto real = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
    return real(node, service, hints, result);
}

namespace {

struct Track
{
    QString title;
    QString creator;
    QString location;
};

QByteArray playlist(const QString &attributes, const QList<Track> &tracks)
{
    QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<playlist ")
                  + attributes + QStringLiteral("><trackList>");
    for (const Track &t : tracks) {
        xml += QStringLiteral("<track><title>") + t.title + QStringLiteral("</title><creator>")
               + t.creator + QStringLiteral("</creator><location>") + t.location
               + QStringLiteral("</location></track>");
    }
    xml += QStringLiteral("</trackList></playlist>");
    return xml.toUtf8();
}

using Reply = HttpTestServer::Reply;

// An answer as the search service gives one: a status, a body and its type.
Reply answer(int status, const QByteArray &body = {},
             const QByteArray &type = "application/xspf+xml")
{
    Reply reply;
    reply.status = status;
    reply.reason = "Status";
    reply.body = body;
    reply.contentType = type;
    return reply;
}

// Every request is answered by answerFor.
HttpTestServer::Handler serve(std::function<Reply(const HttpTestServer::Request &)> answerFor)
{
    return [answerFor](const HttpTestServer::Request &request, Reply &reply) {
        reply = answerFor(request);
        return true;
    };
}

int startOf(const QByteArray &target)
{
    const QList<QByteArray> parts = target.split('/');
    return parts.size() >= 2 ? parts.at(parts.size() - 2).toInt() : -1;
}

} // namespace

class TestSearcher : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<Song *>(); }
    void init();
    void cleanup();

    void requestLine_data();
    void requestLine();
    void identifierWithinOneSecond();
    void searchEndsAtOnceDuringASlowLookup();

    void failedReply_data();
    void failedReply();
    void transportFailure();
    void errorStatusBodyIsRead();
    void stalledReplyFails();
    void oversizeReplyFails();
    void drippedReplyMeetsTheDeadline();
    void pageGuards();

    void trackPositions_data();
    void trackPositions();
    void valueDecoding_data();
    void valueDecoding();

    void lastPageCompletesAndFreesFailedTracks();
    void pagingAtEightyPercent();
    void capAt250();
    void laterPageFailureKeepsTracks();
    void newSearchDestroysEarlierTracks();
    void newSearchLetsRunningDownloadsLand();
    void newerRequestSupersedesOutstanding();

private:
    // Tracks at /ok/ pass their check, at /missing/ fail it, at /slow/ wait for the test.
    QList<Track> tracks(int from, int count, const QString &kind = QStringLiteral("ok")) const;
    void startSearch(const QString &rawQuery);
    // The tracks as they stand when the first page has been read, before any check reports.
    void snapshotAtQueryDone();

    QList<Track> snapshot;
    QList<QPointer<Song>> snapshotSongs;

    std::unique_ptr<QWidget> window;
    QLabel *searchingLabel = nullptr;
    QLabel *refineHint = nullptr;
    std::unique_ptr<QMovie> movie;
    QString musicFolder;
    QString currentQuery;
    QList<Song *> songs;
    std::unique_ptr<CurlNetwork> network;
    std::unique_ptr<CurlNetwork> transferNetwork;
    std::unique_ptr<HttpTestServer> server;
    std::function<Reply(int start)> searchReply;
    std::unique_ptr<Searcher> searcher;
};

void TestSearcher::init()
{
    window = std::make_unique<QWidget>();
    searchingLabel = new QLabel(window.get());
    refineHint = new QLabel(QStringLiteral("refine your search for more..."), window.get());
    refineHint->hide();
    movie = std::make_unique<QMovie>(QStringLiteral(SEARCH_TEST_DATA "/loader.gif"));
    QVERIFY(movie->isValid());
    searchingLabel->setMovie(movie.get());
    musicFolder = QDir::tempPath();
    network = std::make_unique<CurlNetwork>();
    transferNetwork = std::make_unique<CurlNetwork>();
    server = std::make_unique<HttpTestServer>();
    QVERIFY(server->port() != 0);
    searchReply = [](int) {
        return answer(404, "<html>not here</html>", "text/html");
    };
    server->setHandler(serve([this](const HttpTestServer::Request &r) {
        if (r.target.startsWith("/api/v0.2/"))
            return searchReply(startOf(r.target));
        Reply reply = answer(200);
        reply.contentType = "audio/mpeg";
        if (r.target.startsWith("/slow/"))
            reply.deferred = true;
        else if (!r.target.startsWith("/ok/"))
            reply.status = 404;
        return reply;
    }));
    searcher = std::make_unique<Searcher>(&songs, searchingLabel, movie.get(), refineHint,
                                          &musicFolder, network.get(), transferNetwork.get(),
                                          QUrl(server->urlText(QString())));
    window->show();
}

void TestSearcher::cleanup()
{
    searcher.reset();
    qDeleteAll(songs);
    songs.clear();
    server.reset();
    network.reset();
    transferNetwork.reset();
    movie.reset();
    window.reset();
}

QList<Track> TestSearcher::tracks(int from, int count, const QString &kind) const
{
    QList<Track> list;
    for (int i = from; i < from + count; ++i) {
        list.append({QStringLiteral("t%1").arg(i), QStringLiteral("c%1").arg(i),
                     server->urlText(QString()) + QStringLiteral("/%1/%2.mp3").arg(kind).arg(i)});
    }
    return list;
}

void TestSearcher::startSearch(const QString &rawQuery)
{
    // Encoded the way the main window does it.
    currentQuery = QString::fromLatin1(QUrl::toPercentEncoding(rawQuery));
    searcher->newSearch(&currentQuery);
}

// A new search, and closing, while the service's host name is still being looked up: neither
// waits for the lookup.
void TestSearcher::searchEndsAtOnceDuringASlowLookup()
{
    auto slow = std::make_unique<Searcher>(
        &songs, searchingLabel, movie.get(), refineHint, &musicFolder, network.get(),
        transferNetwork.get(), QUrl(QStringLiteral("http://%1:8642").arg(QLatin1String(slowHost))));
    const int before = slowLookups;
    QString query = QStringLiteral("first");
    slow->newSearch(&query);
    QTRY_COMPARE(slowLookups.load(), before + 1);
    QElapsedTimer clock;
    clock.start();
    QString again = QStringLiteral("second");
    slow->newSearch(&again);
    QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE(slowLookups.load(), before + 2);
    clock.restart();
    slow.reset();
    QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
}

void TestSearcher::snapshotAtQueryDone()
{
    connect(searcher.get(), &Searcher::queryDone, this, [this] {
        snapshot.clear();
        snapshotSongs.clear();
        for (Song *song : std::as_const(songs)) {
            snapshot.append({song->title(), song->creator(), song->location()});
            snapshotSongs.append(song);
        }
    });
}

void TestSearcher::requestLine_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<QByteArray>("encoded");
    QTest::newRow("unreserved") << QStringLiteral("abc-._~09") << QByteArray("abc-._~09");
    QTest::newRow("blank") << QStringLiteral("daft punk") << QByteArray("daft%20punk");
    QTest::newRow("non-ASCII") << QStringLiteral("Müller€") << QByteArray("M%C3%BCller%E2%82%AC");
    QTest::newRow("slash and query characters")
        << QStringLiteral("AC/DC?&#%") << QByteArray("AC%2FDC%3F%26%23%25");
    // As path segments "." and ".." would be removed together with "search"; escaped they
    // arrive as typed. Any other run of dots is an ordinary segment.
    QTest::newRow("one dot") << QStringLiteral(".") << QByteArray("%2E");
    QTest::newRow("two dots") << QStringLiteral("..") << QByteArray("%2E%2E");
    QTest::newRow("three dots") << QStringLiteral("...") << QByteArray("...");
    QTest::newRow("dots after a slash") << QStringLiteral("a/..") << QByteArray("a%2F..");
    QTest::newRow("escaped dot typed") << QStringLiteral("%2E") << QByteArray("%252E");
}

void TestSearcher::requestLine()
{
    QFETCH(QString, query);
    QFETCH(QByteArray, encoded);
    searchReply = [](int) {
        return answer(200, "<playlist total=\"0\"/>");
    };
    QSignalSpy done(searcher.get(), &Searcher::queryDone);
    startSearch(query);
    QVERIFY(searcher->requestPending());
    QTRY_COMPARE(done.size(), 1);

    QCOMPARE(server->requests().size(), 1);
    const HttpTestServer::Request request = server->requests().constFirst();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.version, QByteArray("HTTP/1.1"));
    const QRegularExpression shape(QStringLiteral("^/api/v0\\.2/[0-9a-z]{40}/music/search/")
                                   + QRegularExpression::escape(QString::fromLatin1(encoded))
                                   + QStringLiteral("/0/50$"));
    QVERIFY2(shape.match(QString::fromLatin1(request.target)).hasMatch(), request.target);
    QCOMPARE(request.header("Host"), QStringLiteral("127.0.0.1:%1").arg(server->port()).toLatin1());
}

void TestSearcher::identifierWithinOneSecond()
{
    QString query = QStringLiteral("x");
    searcher->newSearch(&query); // sets the query the addresses are built from
    for (int attempt = 0; attempt < 5; ++attempt) {
        const QTime before = QTime::currentTime();
        const QString a = QUrl::fromEncoded(searcher->requestUrl(0)).path();
        const QString b = QUrl::fromEncoded(searcher->requestUrl(50)).path();
        if (before.second() != QTime::currentTime().second())
            continue;
        QCOMPARE(a.section(QLatin1Char('/'), 3, 3), b.section(QLatin1Char('/'), 3, 3));
        QVERIFY(b.endsWith(QLatin1String("/x/50/50")));
        return;
    }
    QFAIL("clock second changed on every attempt");
}

void TestSearcher::failedReply_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");
    const QString none = QStringLiteral("search returned no results!");
    const QString news = QStringLiteral("please click link below for news and updates");
    const QByteArray tracks = "<trackList><track><title>a</title></track></trackList>";
    QTest::newRow("total 0") << 200
                             << "<playlist total=\"0\" start=\"0\" end=\"0\">" + tracks
                                    + "</playlist>"
                             << none;
    QTest::newRow("total absent") << 200
                                  << "<playlist start=\"0\" end=\"0\">" + tracks + "</playlist>"
                                  << none;
    QTest::newRow("total not a number")
        << 200 << "<playlist total=\"many\" start=\"0\" end=\"0\">" + tracks + "</playlist>"
        << none;
    QTest::newRow("root named root")
        << 200 << "<root total=\"5\" start=\"0\" end=\"0\">" + tracks + "</root>" << news;
    QTest::newRow("other root") << 200 << "<html><body>maintenance</body></html>"_qba << news;
    QTest::newRow("root case differs")
        << 200 << "<Playlist total=\"5\" start=\"0\" end=\"0\">" + tracks + "</Playlist>" << news;
    QTest::newRow("malformed") << 200 << "<playlist total=\"5\" start=\"0\" end=\"0\"><track>"_qba
                               << news;
    QTest::newRow("empty body") << 200 << QByteArray() << news;
    QTest::newRow("404 page") << 404 << "<html><body>Not Found</body>"_qba << news;
    QTest::newRow("400 page") << 400 << "<html><body>Bad Request</body>"_qba << news;
    QTest::newRow("418 page") << 418 << QByteArray() << news;
    QTest::newRow("redirect not followed") << 302 << QByteArray() << news;
}

void TestSearcher::failedReply()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    searchReply = [=](int) {
        Reply r = answer(status, body);
        r.headers.append({"Location", server->urlText(QString()).toLatin1() + "/elsewhere"});
        return r;
    };
    QSignalSpy done(searcher.get(), &Searcher::queryDone);
    QSignalSpy performed(searcher.get(), &Searcher::newSearchPerformed);
    startSearch(QStringLiteral("q"));
    QTRY_COMPARE(done.size(), 1);
    QCOMPARE(done.at(0).at(0).toBool(), false);
    QCOMPARE(searcher->message(), message);
    QCOMPARE(performed.size(), 0);
    QVERIFY(songs.isEmpty());
    QVERIFY(!searcher->requestPending());
    QCOMPARE(server->requests().size(), 1);
    // A failed first page leaves the animation running.
    QCOMPARE(movie->state(), QMovie::Running);
}

void TestSearcher::transportFailure()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const quint16 port = closed.serverPort();
    closed.close();
    Searcher refused(&songs, searchingLabel, movie.get(), refineHint, &musicFolder, network.get(),
                     transferNetwork.get(), QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port)));
    QSignalSpy done(&refused, &Searcher::queryDone);
    QString query = QStringLiteral("q");
    refused.newSearch(&query);
    QTRY_COMPARE(done.size(), 1);
    QCOMPARE(done.at(0).at(0).toBool(), false);
    QVERIFY2(refused.message().contains(QLatin1String("refused"), Qt::CaseInsensitive),
             qPrintable(refused.message()));
    QVERIFY(!refused.requestPending());
}

void TestSearcher::errorStatusBodyIsRead()
{
    searchReply = [&](int) {
        return answer(500,
                      playlist(QStringLiteral("total=\"1\" start=\"0\" end=\"0\""), tracks(0, 1)));
    };
    QSignalSpy done(searcher.get(), &Searcher::queryDone);
    startSearch(QStringLiteral("q"));
    QTRY_COMPARE(done.size(), 1);
    QCOMPARE(done.at(0).at(0).toBool(), true);
    QCOMPARE(searcher->total(), 1);
}

void TestSearcher::stalledReplyFails()
{
    searchReply = [](int) {
        Reply r = answer(200);
        r.silent = true;
        return r;
    };
    searcher->setTransferTimeout(300);
    QSignalSpy done(searcher.get(), &Searcher::queryDone);
    startSearch(QStringLiteral("q"));
    QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, 5000);
    QCOMPARE(done.at(0).at(0).toBool(), false);
    // Said as what happened: nobody cancelled anything.
    QCOMPARE(searcher->message(), QStringLiteral("the search service stopped answering"));
    QVERIFY(!searcher->requestPending());
}

void TestSearcher::drippedReplyMeetsTheDeadline()
{
    // One byte every 20 ms never stalls the transfer, and never ends.
    HttpTestServer dripping;
    HttpTestServer::Reply reply;
    reply.body = QByteArray(1 << 20, ' ');
    reply.mode = HttpTestServer::BodyMode::Drip;
    reply.dripSize = 1;
    reply.dripInterval = 20;
    dripping.setDefaultReply(reply);
    Searcher slow(&songs, searchingLabel, movie.get(), refineHint, &musicFolder, network.get(),
                  transferNetwork.get(), dripping.url("/"));
    slow.setRequestDeadline(500);
    QSignalSpy done(&slow, &Searcher::queryDone);
    QString query = QStringLiteral("q");
    slow.newSearch(&query);
    QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, 5000);
    QCOMPARE(done.at(0).at(0).toBool(), false);
    QCOMPARE(slow.message(), QStringLiteral("the search service took too long to answer"));
    QVERIFY(!slow.requestPending());
}

void TestSearcher::pageGuards()
{
    // Without the bounds these take minutes and gigabytes; the test's time limit would end them.
    // Megabytes of attributes on one element are refused before any XML reader sees them.
    QByteArray attributes = "<playlist total=\"1\" start=\"0\" end=\"0\"";
    for (int i = 0; i < 200000; ++i)
        attributes += " a" + QByteArray::number(i) + "=\"1\"";
    attributes += "><track><title>t</title></track></playlist>";
    QVERIFY(!XspfPage::parse(attributes, 50).isDocument());

    // An 8 MiB page of empty elements would take gigabytes as a document.
    QByteArray elements = "<playlist total=\"1\" start=\"0\" end=\"0\">";
    while (elements.size() < 8 * 1024 * 1024 - 32)
        elements += "<t a=\"1\"/>";
    elements += "</playlist>";
    QVERIFY(!XspfPage::parse(elements, 50).isDocument());

    // Quotes in comments and character data are text: a long page after them still reads.
    const QByteArray filler(200 * 1024, 'x');
    const QByteArray page = "<playlist total=\"1\" start=\"0\" end=\"0\"><!-- it's -->"
                            "<![CDATA[ \" ]]><trackList><track><title>"
                            + filler
                            + "</title><creator>c</creator></track></trackList></playlist>";
    const XspfPage read = XspfPage::parse(page, 50);
    QVERIFY(read.isDocument());
    QCOMPARE(read.count(), 1);
    QCOMPARE(read.tracks().at(0).creator, QStringLiteral("c"));
    QCOMPARE(read.tracks().at(0).title.size(), filler.size());
}

void TestSearcher::oversizeReplyFails()
{
    // Well-formed, so only its size can make it fail.
    const QByteArray body = "<playlist total=\"1\" start=\"0\" end=\"0\"><track><title>"
                            + QByteArray(Searcher::MaxReplySize + 1024, 'a')
                            + "</title></track></playlist>";
    searchReply = [&](int) {
        return answer(200, body);
    };
    QSignalSpy done(searcher.get(), &Searcher::queryDone);
    startSearch(QStringLiteral("q"));
    QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, 10000);
    QCOMPARE(done.at(0).at(0).toBool(), false);
    QCOMPARE(searcher->message(), QStringLiteral("please click link below for news and updates"));
    QVERIFY(songs.isEmpty());
}

void TestSearcher::trackPositions_data()
{
    QTest::addColumn<QString>("attributes");
    QTest::addColumn<int>("elements");
    QTest::addColumn<QStringList>("titles");
    QTest::addColumn<int>("expected");
    QTest::newRow("more elements than positions")
        << "total=\"9\" start=\"0\" end=\"1\"" << 4 << QStringList{"t0", "t1"} << 2;
    QTest::newRow("fewer elements than positions")
        << "total=\"9\" start=\"0\" end=\"2\"" << 1 << QStringList{"t0", "", ""} << 3;
    QTest::newRow("start absent") << "total=\"9\" end=\"1\"" << 2 << QStringList{"t0", "t1"} << 2;
    QTest::newRow("start not a number")
        << "total=\"9\" start=\"x\" end=\"1\"" << 2 << QStringList{"t0", "t1"} << 2;
    QTest::newRow("end before start")
        << "total=\"9\" start=\"5\" end=\"3\"" << 2 << QStringList{} << 0;
    QStringList fifty{"t0", "t1"};
    while (fifty.size() < Searcher::PageSize)
        fifty.append(QString());
    QTest::newRow("more positions than a page")
        << "total=\"9\" start=\"0\" end=\"2147483647\"" << 2 << fifty << 50;
    QTest::newRow("positions overflowing")
        << "total=\"9\" start=\"-2147483647\" end=\"2147483647\"" << 2 << fifty << 50;
    QTest::newRow("offset page") << "total=\"9\" start=\"100\" end=\"101\"" << 2
                                 << QStringList{"t0", "t1"} << 2;
}

void TestSearcher::trackPositions()
{
    QFETCH(QString, attributes);
    QFETCH(int, elements);
    QFETCH(QStringList, titles);
    QFETCH(int, expected);
    snapshotAtQueryDone();
    const QByteArray body = playlist(attributes, tracks(0, elements));
    searchReply = [&](int) {
        return answer(200, body);
    };
    QSignalSpy done(searcher.get(), &Searcher::queryDone);
    QSignalSpy performed(searcher.get(), &Searcher::newSearchPerformed);
    QList<int> order;
    connect(searcher.get(), &Searcher::newSearchPerformed, this, [&] { order.append(1); });
    connect(searcher.get(), &Searcher::queryDone, this, [&] { order.append(2); });
    startSearch(QStringLiteral("q"));
    QTRY_COMPARE(done.size(), 1);
    QCOMPARE(done.at(0).at(0).toBool(), true);
    QCOMPARE(order, (QList<int>{1, 2}));
    QCOMPARE(searcher->total(), 9);
    QCOMPARE(searcher->expectedCount(), expected);

    QCOMPARE(snapshot.size(), titles.size());
    for (int i = 0; i < titles.size(); ++i) {
        QCOMPARE(snapshot.at(i).title, titles.at(i));
        QCOMPARE(snapshot.at(i).location.isEmpty(), titles.at(i).isEmpty());
    }
}

void TestSearcher::valueDecoding_data()
{
    QTest::addColumn<QString>("raw");
    QTest::addColumn<QString>("decoded");
    QTest::newRow("backslash-x slash") << QStringLiteral("AC\\x2FDC") << QStringLiteral("AC/DC");
    QTest::newRow("percent slash") << QStringLiteral("AC%2FDC") << QStringLiteral("AC/DC");
    QTest::newRow("two-byte character, backslash-x")
        << QStringLiteral("Caf\\xC3\\xA9") << QStringLiteral("Café");
    QTest::newRow("two-byte character, percent")
        << QStringLiteral("Caf%C3%A9") << QStringLiteral("Café");
    QTest::newRow("two-byte character, mixed")
        << QStringLiteral("Caf\\xc3%a9") << QStringLiteral("Café");
    QTest::newRow("upper-case X left alone")
        << QStringLiteral("A\\X2FB") << QStringLiteral("A\\X2FB");
    QTest::newRow("plus kept") << QStringLiteral("a+b") << QStringLiteral("a+b");
    QTest::newRow("text of nested elements")
        << QStringLiteral("x<i>y</i>z") << QStringLiteral("xyz");
    QTest::newRow("character entity") << QStringLiteral("R&amp;B") << QStringLiteral("R&B");
    QTest::newRow("literal UTF-8") << QStringLiteral("Sigur Rós") << QStringLiteral("Sigur Rós");
}

void TestSearcher::valueDecoding()
{
    QFETCH(QString, raw);
    QFETCH(QString, decoded);
    const QByteArray body
        = playlist(QStringLiteral("total=\"1\" start=\"0\" end=\"0\""), {{raw, raw, raw}});
    searchReply = [&](int) {
        return answer(200, body);
    };
    snapshotAtQueryDone();
    QSignalSpy done(searcher.get(), &Searcher::queryDone);
    startSearch(QStringLiteral("q"));
    QTRY_COMPARE(done.size(), 1);
    QCOMPARE(snapshot.size(), 1);
    QCOMPARE(snapshot.at(0).title, decoded);
    QCOMPARE(snapshot.at(0).creator, decoded);
    QCOMPARE(snapshot.at(0).location, decoded);
}

void TestSearcher::lastPageCompletesAndFreesFailedTracks()
{
    QList<Track> page = tracks(0, 1);
    page += tracks(1, 1, QStringLiteral("missing"));
    page += tracks(2, 1);
    const QByteArray body
        = playlist(QStringLiteral("total=\"3\" start=\"0\" end=\"2\" next=\"0\""), page);
    searchReply = [&](int) {
        return answer(200, body);
    };
    QSignalSpy added(searcher.get(), &Searcher::addSong);
    QSignalSpy done(searcher.get(), &Searcher::queryDone);
    bool runningAtFirstPage = false;
    connect(searcher.get(), &Searcher::queryDone, this, [&] {
        runningAtFirstPage = movie->state() == QMovie::Running && !searchingLabel->isHidden();
    });
    snapshotAtQueryDone();
    startSearch(QStringLiteral("q"));
    QTRY_COMPARE(done.size(), 1);
    QVERIFY(runningAtFirstPage);
    QCOMPARE(snapshotSongs.size(), 3);
    const QPointer<Song> failing = snapshotSongs.at(1);

    QTRY_COMPARE(searcher->reportedCount(), 3);
    QCOMPARE(added.size(), 2);
    QCOMPARE(songs.size(), 2);
    QVERIFY(!songs.contains(failing.data()));
    QTRY_VERIFY(failing.isNull()); // freed once its report has been delivered
    QVERIFY(searchingLabel->isHidden());
    QCOMPARE(movie->state(), QMovie::NotRunning);
    QVERIFY(refineHint->isHidden());
    QCOMPARE(server->requests("GET").size(), 1);
}

void TestSearcher::pagingAtEightyPercent()
{
    searchReply = [&](int start) {
        if (start == 0) {
            return answer(
                200, playlist(QStringLiteral("total=\"60\" start=\"0\" end=\"49\" next=\"50\""),
                              tracks(0, 50)));
        }
        Reply held = answer(200);
        held.deferred = true;
        return held;
    };
    QList<bool> pendingAtReport;
    connect(searcher.get(), &Searcher::addSong, this,
            [&] { pendingAtReport.append(searcher->requestPending()); });
    QSignalSpy done(searcher.get(), &Searcher::queryDone);
    QSignalSpy performed(searcher.get(), &Searcher::newSearchPerformed);
    startSearch(QStringLiteral("q"));

    QTRY_COMPARE(pendingAtReport.size(), 50);
    // Each entry is the state after the previous report: the 41st report asked for page two.
    QCOMPARE(pendingAtReport.indexOf(true), 41);
    QCOMPARE(pendingAtReport.count(true), 9);
    QTRY_COMPARE(server->deferredCount(), 1);
    const QList<HttpTestServer::Request> gets = server->requests("GET");
    QCOMPARE(gets.size(), 2);
    QVERIFY(gets.at(1).target.endsWith("/music/search/q/50/50"));
    // All reports are in but a further page is named: still searching.
    QCOMPARE(movie->state(), QMovie::Running);
    QVERIFY(!searchingLabel->isHidden());

    QVERIFY(server->answerDeferred(
        answer(200, playlist(QStringLiteral("total=\"60\" start=\"50\" end=\"59\" next=\"0\""),
                             tracks(50, 10)))));
    QTRY_COMPARE(pendingAtReport.size(), 60);
    QCOMPARE(songs.size(), 60);
    QVERIFY(searchingLabel->isHidden());
    QCOMPARE(movie->state(), QMovie::NotRunning);
    QCOMPARE(done.size(), 1);
    QCOMPARE(performed.size(), 1);
    QCOMPARE(server->requests("GET").size(), 2);
}

void TestSearcher::capAt250()
{
    searchReply = [&](int start) {
        return answer(200,
                      playlist(QStringLiteral("total=\"1000\" start=\"%1\" end=\"%2\" next=\"%3\"")
                                   .arg(start)
                                   .arg(start + 49)
                                   .arg(start + 50),
                               tracks(start, 50)));
    };
    QSignalSpy added(searcher.get(), &Searcher::addSong);
    startSearch(QStringLiteral("q"));
    QTRY_COMPARE_WITH_TIMEOUT(added.size(), 250, 20000);
    QVERIFY(!refineHint->isHidden());
    QVERIFY(searchingLabel->isHidden());
    QCOMPARE(movie->state(), QMovie::NotRunning);

    // The page already asked for is still read and checked, but none of it is announced.
    QTRY_VERIFY_WITH_TIMEOUT(!searcher->requestPending()
                                 && searcher->reportedCount() == searcher->expectedCount(),
                             10000);
    QCOMPARE(added.size(), 250);
    QCOMPARE(searcher->acceptedCount(), 250);
    QCOMPARE(songs.size(), 250);
    const QList<HttpTestServer::Request> gets = server->requests("GET");
    QVERIFY(gets.size() <= 7);
    for (int i = 0; i < gets.size(); ++i)
        QCOMPARE(startOf(gets.at(i).target), 50 * i);
    QTest::qWait(50);
    QCOMPARE(server->requests("GET").size(), gets.size());
}

void TestSearcher::laterPageFailureKeepsTracks()
{
    searchReply = [&](int start) {
        if (start == 0) {
            return answer(200,
                          playlist(QStringLiteral("total=\"20\" start=\"0\" end=\"9\" next=\"10\""),
                                   tracks(0, 10)));
        }
        return answer(503, "<html>busy</html>", "text/html");
    };
    QSignalSpy added(searcher.get(), &Searcher::addSong);
    QSignalSpy done(searcher.get(), &Searcher::queryDone);
    startSearch(QStringLiteral("q"));
    QTRY_VERIFY(done.size() >= 2);
    QTRY_COMPARE(added.size(), 10);
    QCOMPARE(done.at(0).at(0).toBool(), true);
    for (int i = 1; i < done.size(); ++i)
        QCOMPARE(done.at(i).at(0).toBool(), false);
    QCOMPARE(searcher->message(), QStringLiteral("please click link below for news and updates"));
    QCOMPARE(songs.size(), 10);
    QCOMPARE(searcher->nextStart(), 10);
}

void TestSearcher::newSearchDestroysEarlierTracks()
{
    searchReply = [&](int) {
        return answer(200, playlist(QStringLiteral("total=\"5\" start=\"0\" end=\"4\" next=\"0\""),
                                    tracks(0, 5, QStringLiteral("slow"))));
    };
    QSignalSpy added(searcher.get(), &Searcher::addSong);
    QSignalSpy done(searcher.get(), &Searcher::queryDone);
    startSearch(QStringLiteral("first"));
    QTRY_COMPARE(done.size(), 1);
    QTRY_COMPARE(server->deferredCount(), 5);
    QCOMPARE(songs.size(), 5);
    QList<QPointer<Song>> earlier;
    for (Song *song : std::as_const(songs))
        earlier.append(song);

    searchReply = [&](int) {
        return answer(200, playlist(QStringLiteral("total=\"1\" start=\"0\" end=\"0\" next=\"0\""),
                                    tracks(10, 1)));
    };
    startSearch(QStringLiteral("second"));
    QVERIFY(songs.isEmpty());
    for (const QPointer<Song> &song : std::as_const(earlier))
        QVERIFY(song.isNull());

    QTRY_COMPARE(done.size(), 2);
    QTRY_COMPARE(added.size(), 1);
    QCOMPARE(qvariant_cast<Song *>(added.at(0).at(0))->title(), QStringLiteral("t10"));
    // Answers to the destroyed tracks' checks find nobody.
    while (server->deferredCount() > 0)
        server->answerDeferred(answer(200, {}, "audio/mpeg"));
    QTest::qWait(100);
    QCOMPARE(added.size(), 1);
    QCOMPARE(searcher->reportedCount(), 1);
    QCOMPARE(searcher->expectedCount(), 1);
}

void TestSearcher::newSearchLetsRunningDownloadsLand()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    musicFolder = folder.path();
    server->setHandler(serve([this](const HttpTestServer::Request &r) {
        if (r.target.startsWith("/api/v0.2/"))
            return searchReply(startOf(r.target));
        Reply reply = answer(200, {}, "audio/mpeg");
        if (r.method == "GET")
            reply.deferred = true;
        return reply;
    }));
    const auto listing = [&](int first, int count) {
        searchReply = [=](int) {
            return answer(200,
                          playlist(QStringLiteral("total=\"%1\" start=\"0\" end=\"%2\" next=\"0\"")
                                       .arg(count)
                                       .arg(count - 1),
                                   tracks(first, count)));
        };
    };
    QSignalSpy added(searcher.get(), &Searcher::addSong);
    QSignalSpy failures(searcher.get(), &Searcher::handedOverDownloadFailed);
    listing(0, 2);
    startSearch(QStringLiteral("first"));
    QTRY_COMPARE(added.size(), 2);
    QPointer<Song> downloading = songs.at(0);
    QPointer<Song> idle = songs.at(1);
    QSignalSpy ready(downloading.data(), &Song::downloadReady);
    downloading->download(nullptr, 0);
    QTRY_COMPARE(server->deferredCount(), 1);

    listing(10, 1);
    startSearch(QStringLiteral("second"));
    QVERIFY(idle.isNull());
    QVERIFY(!downloading.isNull());
    QVERIFY(!songs.contains(downloading.data()));
    QTRY_COMPARE(added.size(), 3);
    QVERIFY(server->answerDeferred(answer(200, "ID3 the whole track", "audio/mpeg")));
    QTRY_COMPARE(ready.size(), 1);
    QCOMPARE(ready.at(0).at(1).toInt(), int(Song::Downloaded));
    QCOMPARE(QDir(musicFolder).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("c0 - t0.mp3")});
    QTRY_VERIFY(downloading.isNull());
    QCOMPARE(failures.size(), 0);

    // One that fails now has no row to show it: the searcher tells of it.
    QPointer<Song> failing = songs.at(0);
    failing->download(nullptr, 0);
    QTRY_COMPARE(server->deferredCount(), 1);
    listing(30, 1);
    startSearch(QStringLiteral("again"));
    QVERIFY(!failing.isNull());
    QVERIFY(server->answerDeferred(answer(404, "gone", "text/html")));
    QTRY_VERIFY(failing.isNull());
    QCOMPARE(failures.size(), 1);
    QCOMPARE(failures.at(0).at(0).toString(),
             QStringLiteral("t10 by c10 was not saved: not available"));
    QTRY_COMPARE(added.size(), 4);

    // Ending the program still ends a download the listing no longer shows, partial file and all.
    QPointer<Song> cut = songs.at(0);
    cut->download(nullptr, 0);
    QTRY_COMPARE(server->deferredCount(), 1);
    listing(20, 1);
    startSearch(QStringLiteral("third"));
    QVERIFY(!cut.isNull());
    QSignalSpy cutReady(cut.data(), &Song::downloadReady);
    searcher.reset();
    QVERIFY(cut.isNull());
    QCOMPARE(QDir(musicFolder).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("c0 - t0.mp3")});
    QCOMPARE(cutReady.size(), 0);
}

void TestSearcher::newerRequestSupersedesOutstanding()
{
    searchReply = [&](int) {
        Reply held = answer(200);
        held.deferred = true;
        return held;
    };
    QSignalSpy done(searcher.get(), &Searcher::queryDone);
    QSignalSpy performed(searcher.get(), &Searcher::newSearchPerformed);
    snapshotAtQueryDone();
    startSearch(QStringLiteral("first"));
    QTRY_COMPARE(server->deferredCount(), 1);

    searchReply = [&](int) {
        return answer(200, playlist(QStringLiteral("total=\"2\" start=\"0\" end=\"1\" next=\"0\""),
                                    tracks(20, 2)));
    };
    startSearch(QStringLiteral("second"));
    QTRY_COMPARE(done.size(), 1);
    QCOMPARE(done.at(0).at(0).toBool(), true);
    QCOMPARE(snapshot.size(), 2);
    QCOMPARE(snapshot.at(0).title, QStringLiteral("t20"));
    // The earlier transfer was ended, not left to finish.
    QTRY_VERIFY(!server->deferredClientConnected(0));
    server->answerDeferred(
        answer(200, playlist(QStringLiteral("total=\"1\" start=\"0\" end=\"0\""), tracks(30, 1))));
    QTest::qWait(50);
    QCOMPARE(done.size(), 1);
    QCOMPARE(performed.size(), 1);
    QCOMPARE(server->requests("GET").size(), 2);
}

QTEST_MAIN(TestSearcher)
#include "tst_searcher.moc"
