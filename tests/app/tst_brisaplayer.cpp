#include "brisaplayer.h"
#include "cursorblinktimeout.h"
#include "httptestserver.h"
#include "song.h"
#include "songlist.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMouseEvent>
#include <QNetworkReply>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QSlider>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBox>
#include <QToolButton>

#include <memory>

namespace {

// Nothing listens there: the advertisement requests fail at once.
ServerConfig refusedServers()
{
    ServerConfig config;
    config.searchUrl = config.adsUrl = config.webUrl = QUrl(QStringLiteral("http://127.0.0.1:9"));
    return config;
}

// Answers every request with 404 and records the request lines.
class RecordingServer : public QTcpServer
{
public:
    QStringList requestLines;

    RecordingServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    buffer[socket] += socket->readAll();
                    int end;
                    while ((end = buffer[socket].indexOf("\r\n\r\n")) >= 0) {
                        const QByteArray head = buffer[socket].left(end);
                        buffer[socket].remove(0, end + 4);
                        requestLines << QString::fromLatin1(head.left(head.indexOf("\r\n")));
                        socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
                    }
                });
            }
        });
        listen(QHostAddress::LocalHost);
    }

private:
    QHash<QTcpSocket *, QByteArray> buffer;
};

class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls << url; }
};

} // namespace

class TestBrisaPlayer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void windowIsFixedAndFrameless();
    void widgetTree_data();
    void widgetTree();
    void textsAfterStart();
    void returningToSearchPageSelectsQuery();
    void dragging_data();
    void dragging();
    void linkButtonsOpenProductPages();
    void advertisementsAreRequestedInOrder();
    void teardownRemovesAdvertisementFiles();
    void oversizeAdvertisementsAreDropped();
    void cursorStopsBlinkingWhenIdle();
    void emptyQueryOnlyFocuses();
    void searchFlow();
    void failedSearchReturnsToTheQuery();

private:
    template<typename T>
    T *child(const char *name) const
    {
        T *w = window->findChild<T *>(QLatin1String(name));
        if (!w)
            qFatal("no widget %s", name);
        return w;
    }

    std::unique_ptr<BrisaPlayer> window;
};

void TestBrisaPlayer::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestBrisaPlayer::init()
{
    window = std::make_unique<BrisaPlayer>(refusedServers());
}

void TestBrisaPlayer::cleanup()
{
    window.reset();
}

void TestBrisaPlayer::windowIsFixedAndFrameless()
{
    QCOMPARE(window->size(), QSize(380, 520));
    QCOMPARE(window->minimumSize(), QSize(380, 520));
    QCOMPARE(window->maximumSize(), QSize(380, 520));
    QVERIFY(window->windowFlags().testFlag(Qt::FramelessWindowHint));
    QVERIFY(window->windowFlags().testFlag(Qt::WindowSystemMenuHint));
    QCOMPARE(window->windowTitle(), QStringLiteral("Larkspin Player"));
    QCOMPARE(window->objectName(), QStringLiteral("BrisaPlayerClass"));
    window->resize(500, 600);
    QCOMPARE(window->size(), QSize(380, 520));
}

void TestBrisaPlayer::widgetTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry");

    auto row = [](const char *name, const char *cls, const char *parent, QRect g) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(cls)
                            << QString::fromLatin1(parent) << g;
    };
    row("background", "QLabel", "BrisaPlayerClass", {0, 0, 380, 520});
    row("content", "QToolBox", "BrisaPlayerClass", {1, 60, 378, 380});
    row("searchText", "QLineEdit", "search", {40, 70, 211, 32});
    row("newsLink", "QToolButton", "search", {0, 250, 375, 22});
    row("searchButton", "QPushButton", "search", {250, 70, 82, 32});
    row("searchErrorLabel", "QLabel", "search", {40, 140, 291, 16});
    row("resultCountLabel", "QLabel", "results", {10, 0, 171, 16});
    row("stillSearchingLabel", "QLabel", "results", {357, 0, 16, 16});
    row("refineSearchHint", "QLabel", "results", {190, 0, 161, 16});
    row("songLibrary", "QListView", "library", {6, 23, 370, 265});
    row("musicDir", "QLabel", "library", {10, 3, 241, 16});
    row("openMusicDir", "QPushButton", "library", {256, 3, 101, 16});
    row("version", "QLabel", "info", {30, 30, 161, 16});
    row("logo", "QLabel", "info", {290, 30, 51, 51});
    row("aboutButton", "QPushButton", "info", {20, 240, 60, 16});
    row("tosButton", "QPushButton", "info", {80, 240, 120, 16});
    row("policyButton", "QPushButton", "info", {200, 240, 100, 16});
    row("contactButton", "QPushButton", "info", {300, 240, 60, 16});
    row("close", "QPushButton", "BrisaPlayerClass", {359, 5, 16, 15});
    row("minimize", "QPushButton", "BrisaPlayerClass", {343, 5, 16, 15});
    row("volume", "QSlider", "BrisaPlayerClass", {290, 470, 71, 20});
    row("next", "QPushButton", "BrisaPlayerClass", {190, 460, 85, 40});
    row("prev", "QPushButton", "BrisaPlayerClass", {105, 460, 85, 40});
    row("play", "QPushButton", "BrisaPlayerClass", {163, 453, 50, 50});
}

void TestBrisaPlayer::widgetTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);

    QWidget *w = window->findChild<QWidget *>(name);
    QVERIFY(w);
    QCOMPARE(QString::fromLatin1(w->metaObject()->className()), className);
    QCOMPARE(w->parentWidget()->objectName(), parentName);
    QCOMPARE(w->geometry(), geometry);
}

void TestBrisaPlayer::textsAfterStart()
{
    auto *content = child<QToolBox>("content");
    QCOMPARE(content->count(), 4);
    QCOMPARE(content->currentIndex(), 0);
    const QStringList pages{QStringLiteral("Music Search"), QStringLiteral("Search Results"),
                            QStringLiteral("My Music"), QStringLiteral("Larkspin")};
    for (int i = 0; i < pages.size(); ++i)
        QCOMPARE(content->itemText(i), pages[i]);
    QCOMPARE(content->widget(0)->objectName(), QStringLiteral("search"));
    QCOMPARE(content->widget(3)->objectName(), QStringLiteral("info"));

    QCOMPARE(child<QLabel>("resultCountLabel")->text(), QStringLiteral("Available songs: 0 of 0"));
    QCOMPARE(child<QLabel>("refineSearchHint")->text(),
             QStringLiteral("refine your search for more..."));
    QCOMPARE(child<QToolButton>("newsLink")->text(),
             QStringLiteral("Problems? Check our news for Larkspin updates and support"));
    QCOMPARE(child<QPushButton>("openMusicDir")->text(), QStringLiteral("open directory"));
    QCOMPARE(child<QLabel>("version")->text(), QStringLiteral("Larkspin 1.3 Windows"));
    QCOMPARE(child<QPushButton>("tosButton")->text(), QStringLiteral("Terms Of Service"));
    QCOMPARE(child<QLabel>("musicDir")->text(), window->musicFolderPath());
    QVERIFY(QFileInfo(window->musicFolderPath()).isDir());
    QCOMPARE(child<QSlider>("volume")->value(), 80);
    QVERIFY(child<QPushButton>("searchButton")->text().isEmpty());
    QVERIFY(child<QLabel>("background")->pixmap().size() == QSize(380, 520));
    QVERIFY(child<QPushButton>("play")->styleSheet().contains(
        QLatin1String("image: url(:/grafik/ps_off.png);\n image-position: center;")));
    QVERIFY(child<QLineEdit>("searchText")
                ->styleSheet()
                .contains(QLatin1String("QLineEdit::disabled {\n background-color: #e7e1e1;")));

    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QVERIFY(!child<QLabel>("stillSearchingLabel")->isVisible());
    QVERIFY(!child<QLabel>("refineSearchHint")->isVisibleTo(window.get()));
    QCOMPARE(QApplication::focusWidget(), child<QLineEdit>("searchText"));

    auto *area = child<QWidget>("results")->findChild<QScrollArea *>(QString(),
                                                                     Qt::FindDirectChildrenOnly);
    QVERIFY(area);
    QCOMPARE(area->geometry(), QRect(3, 20, 372, 265));
    QCOMPARE(area->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(area->widget()->size(), QSize(0, 0));
}

void TestBrisaPlayer::returningToSearchPageSelectsQuery()
{
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    auto *content = child<QToolBox>("content");
    auto *query = child<QLineEdit>("searchText");
    query->setText(QStringLiteral("blue night"));
    query->deselect();

    content->setCurrentIndex(2);
    child<QListView>("songLibrary")->setFocus();
    QVERIFY(!query->hasSelectedText());
    content->setCurrentIndex(0);
    QCOMPARE(query->selectedText(), QStringLiteral("blue night"));
    QVERIFY(query->hasFocus());

    // Other pages leave the focus where it is.
    auto *volume = child<QSlider>("volume");
    volume->setFocus();
    content->setCurrentIndex(3);
    QVERIFY(volume->hasFocus());
}

void TestBrisaPlayer::dragging_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QPoint>("pressAt"); // in the target's coordinates
    QTest::addColumn<int>("button");
    QTest::addColumn<bool>("drags");

    QTest::newRow("left on skin") << "background" << QPoint(200, 30) << int(Qt::LeftButton) << true;
    QTest::newRow("left on bottom skin")
        << "background" << QPoint(20, 480) << int(Qt::LeftButton) << true;
    QTest::newRow("right on skin")
        << "background" << QPoint(200, 30) << int(Qt::RightButton) << false;
    QTest::newRow("middle on skin")
        << "background" << QPoint(200, 30) << int(Qt::MiddleButton) << false;
    QTest::newRow("close button") << "close" << QPoint(5, 5) << int(Qt::LeftButton) << false;
    QTest::newRow("play button") << "play" << QPoint(25, 25) << int(Qt::LeftButton) << false;
    QTest::newRow("toolbox page") << "search" << QPoint(10, 200) << int(Qt::LeftButton) << false;
    QTest::newRow("slider") << "volume" << QPoint(5, 10) << int(Qt::LeftButton) << false;
}

void TestBrisaPlayer::dragging()
{
    QFETCH(QString, target);
    QFETCH(QPoint, pressAt);
    QFETCH(int, button);
    QFETCH(bool, drags);

    window->move(100, 100);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    const QPoint start = window->pos();
    QWidget *w = child<QWidget>(target.toLatin1().constData());
    const QPoint globalPress = w->mapToGlobal(pressAt);

    // Sent to the widget under the cursor, as the application would: ignored presses travel up.
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(pressAt), QPointF(globalPress),
                      Qt::MouseButton(button), Qt::MouseButtons(button), Qt::NoModifier);
    QApplication::sendEvent(w, &press);

    const QPoint globalTo = globalPress + QPoint(37, 21);
    QMouseEvent moveEvent(QEvent::MouseMove, QPointF(window->mapFromGlobal(globalTo)),
                          QPointF(globalTo), Qt::NoButton, Qt::MouseButtons(button),
                          Qt::NoModifier);
    QApplication::sendEvent(window.get(), &moveEvent);
    QCOMPARE(window->pos(), drags ? start + QPoint(37, 21) : start);

    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(window->mapFromGlobal(globalTo)),
                        QPointF(globalTo), Qt::MouseButton(button), Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &release);
    const QPoint afterRelease = window->pos();
    QMouseEvent moveAgain(QEvent::MouseMove, QPointF(10, 10), QPointF(globalTo + QPoint(50, 50)),
                          Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &moveAgain);
    QCOMPARE(window->pos(), afterRelease);
}

void TestBrisaPlayer::linkButtonsOpenProductPages()
{
    ServerConfig config = refusedServers();
    config.webUrl = QUrl(QStringLiteral("http://web.example:8080"));
    window = std::make_unique<BrisaPlayer>(config);
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &recorder, "open");

    child<QAbstractButton>("newsLink")->click();
    child<QAbstractButton>("aboutButton")->click();
    child<QAbstractButton>("tosButton")->click();
    child<QAbstractButton>("policyButton")->click();
    child<QAbstractButton>("contactButton")->click();
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));

    const QStringList expected{QStringLiteral("http://web.example:8080/news/"),
                               QStringLiteral("http://web.example:8080/"),
                               QStringLiteral("http://web.example:8080/tos/"),
                               QStringLiteral("http://web.example:8080/privacy/"),
                               QStringLiteral("http://web.example:8080/contact/")};
    QStringList opened;
    for (const QUrl &url : std::as_const(recorder.urls))
        opened << url.toString();
    QCOMPARE(opened, expected);
}

void TestBrisaPlayer::advertisementsAreRequestedInOrder()
{
    RecordingServer server;
    QVERIFY(server.isListening());
    ServerConfig config = refusedServers();
    config.adsUrl = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort()));
    window = std::make_unique<BrisaPlayer>(config);
    QStringList expected;
    for (int i = 1; i <= 5; ++i)
        expected << QStringLiteral("GET /1.2/en%1.png HTTP/1.1").arg(i);
    for (int i = 1; i <= 5; ++i)
        expected << QStringLiteral("GET /1.2/en%1.txt HTTP/1.1").arg(i);
    // The order in which they were asked for: replies are children of their manager, in the
    // order they were made, and none has finished before the event loop runs.
    QStringList asked;
    for (QNetworkReply *reply : window->findChildren<QNetworkReply *>())
        asked << QStringLiteral("GET %1 HTTP/1.1").arg(reply->url().path());
    QCOMPARE(asked, expected);

    QTRY_COMPARE(window->pendingAdRequests(), 0);
    QStringList got = server.requestLines;
    // Up to six go out at once, so only the set is fixed on the wire.
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    QCOMPARE(got, expected);
}

void TestBrisaPlayer::teardownRemovesAdvertisementFiles()
{
    window.reset();
    QTemporaryDir tmp;
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(tmp.path()));
    window = std::make_unique<BrisaPlayer>(refusedServers());
    const int during = QDir(tmp.path()).entryList(QDir::Files).size();
    window.reset();
    const int after = QDir(tmp.path()).entryList(QDir::Files).size();
    qputenv("TMPDIR", oldTmp);
    QCOMPARE(during, 5);
    QCOMPARE(after, 0);
}

void TestBrisaPlayer::oversizeAdvertisementsAreDropped()
{
    window.reset();
    QTemporaryDir tmp;
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(tmp.path()));
    HttpTestServer server;
    HttpTestServer::Reply picture;
    // One byte past each cap, sent at once.
    picture.body = QByteArray(4 * 1024 * 1024 + 1, 'p');
    server.setReply("/1.2/en1.png", picture);
    HttpTestServer::Reply text;
    text.body = "http://ads.example/one/" + QByteArray(4096 - 23 + 1, 'a');
    server.setReply("/1.2/en1.txt", text);
    HttpTestServer::Reply small;
    small.body = QByteArray(1000, 's');
    server.setDefaultReply(small);
    ServerConfig config = refusedServers();
    config.adsUrl = server.url("");
    window = std::make_unique<BrisaPlayer>(config);
    qputenv("TMPDIR", oldTmp);
    QTRY_COMPARE(window->pendingAdRequests(), 0);

    QList<qint64> sizes;
    for (const QFileInfo &file : QDir(tmp.path()).entryInfoList(QDir::Files))
        sizes << file.size();
    std::sort(sizes.begin(), sizes.end());
    QCOMPARE(sizes, (QList<qint64>{0, 1000, 1000, 1000, 1000}));

    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &recorder, "open");
    auto *list = window->findChild<SongList *>();
    Song song(QStringLiteral("t"), QStringLiteral("c"), QString(), nullptr, nullptr, nullptr);
    list->addSong(&song);
    QCOMPARE(list->adButtonCount(), 1);
    list->adButton(0)->click();
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QCOMPARE(recorder.urls, QList<QUrl>());
}

namespace {
class PaintCounter : public QObject
{
public:
    int paints = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};
} // namespace

void TestBrisaPlayer::cursorStopsBlinkingWhenIdle()
{
    window.reset();
    const int flashTime = QApplication::cursorFlashTime();
    QVERIFY(flashTime > 0);
    QWidget top;
    auto *edit = new QLineEdit(&top);
    top.show();
    QVERIFY(QTest::qWaitForWindowActive(&top));
    edit->setFocus();
    auto *timeout = new CursorBlinkTimeout(300, &top);
    PaintCounter counter;
    edit->installEventFilter(&counter);

    QTRY_COMPARE(QApplication::cursorFlashTime(), 0);
    QTest::qWait(100);
    counter.paints = 0;
    QTest::qWait(1200);
    QCOMPARE(counter.paints, 0);

    QTest::keyClick(edit, Qt::Key_A);
    QCOMPARE(QApplication::cursorFlashTime(), flashTime);
    QTRY_VERIFY(counter.paints > 0);
    delete timeout;
    QCOMPARE(QApplication::cursorFlashTime(), flashTime);
}

void TestBrisaPlayer::emptyQueryOnlyFocuses()
{
    HttpTestServer server;
    ServerConfig config = refusedServers();
    config.searchUrl = server.url("/");
    window = std::make_unique<BrisaPlayer>(config);
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    child<QSlider>("volume")->setFocus();
    QTest::mouseClick(child<QPushButton>("searchButton"), Qt::LeftButton);
    QVERIFY(child<QLineEdit>("searchText")->hasFocus());
    QVERIFY(child<QLineEdit>("searchText")->isEnabled());
    QTest::keyClick(child<QLineEdit>("searchText"), Qt::Key_Return);
    QTest::qWait(100);
    QCOMPARE(server.requestCount(), 0);
}

void TestBrisaPlayer::searchFlow()
{
    HttpTestServer server;
    HttpTestServer::Reply held;
    held.mode = HttpTestServer::BodyMode::Held;
    held.contentLength = false;
    server.setDefaultReply(held);
    ServerConfig config = refusedServers();
    config.searchUrl = server.url("/");
    window = std::make_unique<BrisaPlayer>(config);
    auto *query = child<QLineEdit>("searchText");
    auto *button = child<QPushButton>("searchButton");
    query->setText(QStringLiteral("blue skies"));
    child<QLabel>("searchErrorLabel")->setText(QStringLiteral("old error"));

    QTest::keyClick(query, Qt::Key_Return);
    QVERIFY(!query->isEnabled());
    QVERIFY(!button->isEnabled());
    QCOMPARE(window->cursor().shape(), Qt::BusyCursor);
    QCOMPARE(query->cursor().shape(), Qt::BusyCursor);
    QCOMPARE(child<QLabel>("searchErrorLabel")->text(), QString());
    QVERIFY(server.waitForRequests(1));
    QVERIFY(server.requests().at(0).requestLine.contains("/music/search/blue%20skies/0/50 "));

    // The first page: the tracks' own checks fail here, which only keeps the count at 0.
    QTRY_COMPARE(server.heldCount(), 1);
    server.push("<playlist total=\"7\" start=\"0\" end=\"0\" next=\"0\"><trackList>"
                "<track><location>http://127.0.0.1:9/x.mp3</location></track>"
                "</trackList></playlist>");
    server.finishHeld();
    QTRY_VERIFY(query->isEnabled());
    QVERIFY(button->isEnabled());
    QCOMPARE(window->cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(button->cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(child<QToolBox>("content")->currentIndex(), 1);
    QCOMPARE(child<QLabel>("resultCountLabel")->text(),
             QStringLiteral("Available songs: ... of 7"));
}

void TestBrisaPlayer::failedSearchReturnsToTheQuery()
{
    HttpTestServer server;
    HttpTestServer::Reply none;
    none.body = "<playlist total=\"0\" start=\"0\" end=\"0\"/>";
    server.setDefaultReply(none);
    ServerConfig config = refusedServers();
    config.searchUrl = server.url("/");
    window = std::make_unique<BrisaPlayer>(config);
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    auto *query = child<QLineEdit>("searchText");
    query->setText(QStringLiteral("nothing at all"));
    child<QToolBox>("content")->setCurrentIndex(2);
    window->searchButtonClicked();
    QTRY_VERIFY(query->isEnabled());
    QCOMPARE(child<QLabel>("searchErrorLabel")->text(),
             QStringLiteral("search returned no results!"));
    QCOMPARE(child<QToolBox>("content")->currentIndex(), 0);
    QCOMPARE(query->selectedText(), QStringLiteral("nothing at all"));
    QVERIFY(query->hasFocus());
    // Editing the query clears the message at the first change.
    QTest::keyClick(query, Qt::Key_X);
    QCOMPARE(child<QLabel>("searchErrorLabel")->text(), QString());
}

QTEST_MAIN(TestBrisaPlayer)
#include "tst_brisaplayer.moc"
