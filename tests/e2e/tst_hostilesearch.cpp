// The window against search services that misbehave: replies too large or without end, a reply
// that stalls after its headers, and XML built to exhaust a parser. Whatever comes, the event
// loop keeps turning, the search controls come back and the failure reads on the search page.
#include "brisaplayer.h"
#include "songlist.h"
#include "testmusicfolder.h"

#include "httptestserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBox>

#include <memory>

namespace {

const QString newsText = QStringLiteral("please click link below for news and updates");

QByteArray playlistHead(int total)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<playlist total=\""
           + QByteArray::number(total) + "\" start=\"0\" end=\"" + QByteArray::number(total - 1)
           + "\" next=\"0\" prev=\"0\"><trackList>";
}

QByteArray oneTrack(const QByteArray &title, const QByteArray &location)
{
    return "<track><title>" + title + "</title><creator>c</creator><location>" + location
           + "</location></track>";
}

} // namespace

class TestHostileSearch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void repliesWithoutBound_data();
    void repliesWithoutBound();
    void abusiveXml_data();
    void abusiveXml();
    void stallAfterHeadersThenServerGone();

private:
    void startSearch();
    void checkFailureShown(const QString &message);
    QLineEdit *query() const
    {
        return window->findChild<QLineEdit *>(QStringLiteral("searchText"));
    }
    QPushButton *searchButton() const
    {
        return window->findChild<QPushButton *>(QStringLiteral("searchButton"));
    }
    QString errorText() const
    {
        return window->findChild<QLabel *>(QStringLiteral("searchErrorLabel"))->text();
    }
    int page() const
    {
        return window->findChild<QToolBox *>(QStringLiteral("content"))->currentIndex();
    }

    QTemporaryDir home;
    std::unique_ptr<HttpTestServer> server;
    std::unique_ptr<BrisaPlayer> window;
    // The event loop's pulse: the longest time between two ticks of a 20 ms timer.
    QTimer heartbeat;
    QElapsedTimer sinceBeat;
    qint64 longestPause = 0;
};

void TestHostileSearch::initTestCase()
{
    QVERIFY(home.isValid());
    QVERIFY(TestMusicFolder::use(home.filePath(QStringLiteral("config")),
                                 home.filePath(QStringLiteral("Music"))));

    heartbeat.setInterval(20);
    connect(&heartbeat, &QTimer::timeout, this,
            [this] { longestPause = qMax(longestPause, sinceBeat.restart()); });
}

void TestHostileSearch::init()
{
    server = std::make_unique<HttpTestServer>();
    ServerConfig servers;
    servers.searchUrl = server->url("");
    servers.adsUrl = servers.webUrl
        = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(HttpTestServer::refusedPort()));
    window = std::make_unique<BrisaPlayer>(servers);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    longestPause = 0;
    sinceBeat.start();
    heartbeat.start();
}

void TestHostileSearch::cleanup()
{
    heartbeat.stop();
    window.reset();
    server.reset();
}

void TestHostileSearch::startSearch()
{
    query()->setText(QStringLiteral("hostile"));
    searchButton()->click();
    QVERIFY(!query()->isEnabled());
    QVERIFY(server->waitForRequests(1, 10000));
}

// The controls are back, the search page shows the failure, and the loop never stood still.
void TestHostileSearch::checkFailureShown(const QString &message)
{
    QTRY_VERIFY_WITH_TIMEOUT(query()->isEnabled(), 20000);
    QVERIFY(searchButton()->isEnabled());
    QCOMPARE(page(), 0);
    if (message.isEmpty())
        QVERIFY(!errorText().isEmpty());
    else
        QCOMPARE(errorText(), message);
    QVERIFY2(longestPause < 2000, qPrintable(QString::number(longestPause)));
    QCOMPARE(window->findChild<SongList *>()->rowCount(), 0);
}

void TestHostileSearch::repliesWithoutBound_data()
{
    QTest::addColumn<bool>("announced");
    // 100 MB announced and sent as fast as the client takes it, or the same without a length
    // and without an end.
    QTest::newRow("100 MB") << true;
    QTest::newRow("endless") << false;
}

void TestHostileSearch::repliesWithoutBound()
{
    QFETCH(bool, announced);
    constexpr qint64 hundredMegabytes = 100 * 1024 * 1024;
    HttpTestServer::Reply reply;
    reply.mode = HttpTestServer::BodyMode::Held;
    reply.contentLength = false;
    if (announced)
        reply.headers.append({"Content-Length", QByteArray::number(hundredMegabytes)});
    server->setDefaultReply(reply);

    // A playlist that opens and never closes, so no early end of well-formedness helps.
    const QByteArray filler(256 * 1024, ' ');
    qint64 pushed = 0;
    QTimer pump;
    connect(&pump, &QTimer::timeout, this, [&] {
        if (server->heldCount() == 0 || (announced && pushed >= hundredMegabytes)) {
            if (pushed > 0)
                pump.stop();
            return;
        }
        const QByteArray data = pushed == 0 ? playlistHead(1000) + filler : filler;
        server->push(data);
        pushed += data.size();
    });
    pump.start(2);
    startSearch();
    checkFailureShown(newsText);
    // The client gave up long before the end.
    QTRY_VERIFY(!pump.isActive());
    QVERIFY2(pushed < 32 * 1024 * 1024, qPrintable(QString::number(pushed)));
}

void TestHostileSearch::abusiveXml_data()
{
    QTest::addColumn<QByteArray>("body");

    constexpr int depth = 200000;
    const QByteArray deep
        = QByteArray("<a>").repeated(depth) + "x" + QByteArray("</a>").repeated(depth);
    QTest::newRow("deeply nested, well-formed")
        << playlistHead(1) + oneTrack(deep, "http://127.0.0.1:9/x.mp3") + "</trackList></playlist>";
    QTest::newRow("deeply nested, never closed")
        << playlistHead(1) + QByteArray("<a>").repeated(depth);

    QByteArray laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE playlist [\n<!ENTITY lol0 \"lol\">\n";
    for (int i = 1; i <= 9; ++i) {
        laughs += "<!ENTITY lol" + QByteArray::number(i) + " \"";
        for (int j = 0; j < 10; ++j)
            laughs += "&lol" + QByteArray::number(i - 1) + ';';
        laughs += "\">\n";
    }
    laughs += "]>\n<playlist total=\"1\" start=\"0\" end=\"0\" next=\"0\" prev=\"0\"><trackList>"
              + oneTrack("&lol9;", "http://127.0.0.1:9/&lol9;.mp3") + "</trackList></playlist>";
    QTest::newRow("billion laughs") << laughs;

    // One entity of 100 kB used 1000 times: 100 MB from a reply of 200 kB.
    QByteArray quadratic = "<?xml version=\"1.0\"?>\n<!DOCTYPE playlist [\n<!ENTITY big \""
                           + QByteArray(100000, 'x') + "\">\n]>\n"
                           + playlistHead(1).mid(playlistHead(1).indexOf("<playlist"));
    quadratic += "<track><title>" + QByteArray("&big;").repeated(1000)
                 + "</title><location>http://127.0.0.1:9/q.mp3</location></track>"
                 + "</trackList></playlist>";
    QTest::newRow("quadratic blowup") << quadratic;
}

void TestHostileSearch::abusiveXml()
{
    QFETCH(QByteArray, body);
    QVERIFY(body.size() < 2 * 1024 * 1024);
    HttpTestServer::Reply reply;
    reply.body = body;
    server->setDefaultReply(reply);
    startSearch();
    checkFailureShown(newsText);
    // The next search works as ever.
    HttpTestServer::Reply empty;
    empty.body = playlistHead(0) + "</trackList></playlist>";
    server->setDefaultReply(empty);
    query()->setText(QStringLiteral("again"));
    searchButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(query()->isEnabled(), 20000);
    QCOMPARE(errorText(), QStringLiteral("search returned no results!"));
}

void TestHostileSearch::stallAfterHeadersThenServerGone()
{
    const QByteArray body
        = playlistHead(1) + oneTrack("t", "http://127.0.0.1:9/t.mp3") + "</trackList></playlist>";
    HttpTestServer::Reply reply;
    reply.body = body;
    reply.mode = HttpTestServer::BodyMode::Stall;
    reply.cutAfter = 20;
    server->setDefaultReply(reply);
    startSearch();

    // While the reply hangs the window stays alive, in its searching state.
    QTest::qWait(1000);
    QVERIFY(!query()->isEnabled());
    QVERIFY2(longestPause < 2000, qPrintable(QString::number(longestPause)));

    server.reset(); // the connection goes down with it
    checkFailureShown(QString());
    QVERIFY(errorText() != newsText);
}

QTEST_MAIN(TestHostileSearch)
#include "tst_hostilesearch.moc"
