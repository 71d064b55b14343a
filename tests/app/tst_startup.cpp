#include "brisaplayer.h"
#include "serverconfig.h"
#include "startup.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// True while some process holds the lock file.
bool lockHeld(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

QMessageBox *visibleNotice()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
            return box;
    }
    return nullptr;
}

// Counts the times a BrisaPlayer window is shown.
class ShowCounter : public QObject
{
public:
    int shown = 0;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && qobject_cast<BrisaPlayer *>(watched))
            ++shown;
        return false;
    }
};

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void secondInstanceExitsQuietly();
    void killedInstanceDoesNotBlockTheNext();
    void terminatedInstanceRemovesItsFiles();
    void badServerUrl_data();
    void badServerUrl();
    void helpAndVersion_data();
    void helpAndVersion();
    void baseUrlParsing_data();
    void baseUrlParsing();
    void decliningTheNoticeShowsNothing();
    void acceptingTheNoticeShowsTheWindowInFusion();

private:
    QProcessEnvironment environment() const;
    void armWatchdog();
    QTemporaryDir runtimeDir;
    QTimer watchdog;
    bool watchdogFired = false;
};

void TestStartup::init()
{
    QVERIFY(runtimeDir.isValid());
    watchdog.stop();
    watchdogFired = false;
}

// Ends a run of the player that the test's own timer failed to end (no notice, no window), so
// that it fails in seconds rather than at the suite's timeout.
void TestStartup::armWatchdog()
{
    watchdog.disconnect();
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, this, [this] {
        watchdogFired = true;
        if (QMessageBox *box = visibleNotice())
            box->reject();
        QCoreApplication::quit();
    });
    watchdog.start(10000);
}

QProcessEnvironment TestStartup::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir.path());
    // Players ended with SIGKILL leave their temporary files behind: not in the system's folder.
    env.insert(QStringLiteral("TMPDIR"), runtimeDir.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (const char *var : {"LARKSPIN_SEARCH_URL", "LARKSPIN_ADS_URL", "LARKSPIN_WEB_URL"})
        env.insert(QLatin1String(var), QStringLiteral("http://127.0.0.1:9"));
    return env;
}

void TestStartup::secondInstanceExitsQuietly()
{
    const QString lock = runtimeDir.path() + QLatin1String("/larkspin.lock");
    QProcess first;
    first.setProcessEnvironment(environment());
    first.start(QStringLiteral(LARKSPIN_BIN));
    QVERIFY(first.waitForStarted());
    // The first copy waits at its notice, holding the lock.
    QTRY_VERIFY_WITH_TIMEOUT(lockHeld(lock), 10000);

    QProcess second;
    second.setProcessEnvironment(environment());
    second.start(QStringLiteral(LARKSPIN_BIN));
    QVERIFY(second.waitForFinished(5000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(second.readAllStandardOutput(), QByteArray());
    QCOMPARE(second.readAllStandardError(), QByteArray());
    QCOMPARE(first.state(), QProcess::Running);

    // Silent even when its own settings are bad.
    QProcessEnvironment bad = environment();
    bad.insert(QStringLiteral("LARKSPIN_SEARCH_URL"), QStringLiteral("nonsense"));
    second.setProcessEnvironment(bad);
    second.start(QStringLiteral(LARKSPIN_BIN));
    QVERIFY(second.waitForFinished(5000));
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(second.readAllStandardError(), QByteArray());

    first.kill();
    QVERIFY(first.waitForFinished());
}

void TestStartup::killedInstanceDoesNotBlockTheNext()
{
    const QString lock = runtimeDir.path() + QLatin1String("/larkspin.lock");
    QProcess first;
    first.setProcessEnvironment(environment());
    first.start(QStringLiteral(LARKSPIN_BIN));
    QTRY_VERIFY_WITH_TIMEOUT(lockHeld(lock), 10000);
    ::kill(pid_t(first.processId()), SIGKILL);
    QVERIFY(first.waitForFinished());
    QVERIFY(!lockHeld(lock));

    QProcess next;
    next.setProcessEnvironment(environment());
    next.start(QStringLiteral(LARKSPIN_BIN));
    QTRY_VERIFY_WITH_TIMEOUT(lockHeld(lock), 10000);
    QCOMPARE(next.state(), QProcess::Running);
    next.kill();
    next.waitForFinished();
}

void TestStartup::terminatedInstanceRemovesItsFiles()
{
    // Stopped at its notice, with the advertisement pictures' files open: it closes as on a
    // normal quit and removes them.
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QProcessEnvironment env = environment();
    env.insert(QStringLiteral("TMPDIR"), temp.path());
    const auto files = [&temp] {
        return QDir(temp.path()).entryList(QDir::Files).size();
    };
    QProcess player;
    player.setProcessEnvironment(env);
    player.start(QStringLiteral(LARKSPIN_BIN));
    QTRY_COMPARE_WITH_TIMEOUT(files(), 5, 10000);
    ::kill(pid_t(player.processId()), SIGTERM);
    QVERIFY(player.waitForFinished(5000));
    QCOMPARE(player.exitStatus(), QProcess::NormalExit);
    QCOMPARE(player.exitCode(), 0);
    QCOMPARE(files(), 0);
}

void TestStartup::badServerUrl_data()
{
    QTest::addColumn<QString>("variable");
    QTest::addColumn<QString>("value");
    QTest::newRow("search, no scheme") << "LARKSPIN_SEARCH_URL"
                                       << "localhost:8642";
    QTest::newRow("ads, ftp") << "LARKSPIN_ADS_URL"
                              << "ftp://localhost";
    QTest::newRow("web, no host") << "LARKSPIN_WEB_URL"
                                  << "http://";
    QTest::newRow("search, path") << "LARKSPIN_SEARCH_URL"
                                  << "http://localhost:8642/api";
    QTest::newRow("search, empty") << "LARKSPIN_SEARCH_URL"
                                   << "";
}

void TestStartup::badServerUrl()
{
    QFETCH(QString, variable);
    QFETCH(QString, value);
    QProcessEnvironment env = environment();
    env.insert(variable, value);
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(LARKSPIN_BIN));
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitCode(), 2);
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    QVERIFY2(err.contains(variable), qPrintable(err));
    QCOMPARE(err.count(QLatin1Char('\n')), 1);
    QVERIFY(!lockHeld(runtimeDir.path() + QLatin1String("/larkspin.lock")));
}

void TestStartup::helpAndVersion_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("firstLine");
    const QString client = QStringLiteral(LARKSPIN_BIN);
    const QString catalog = QStringLiteral(LARKSPIN_CATALOG_BIN);
    const QString version = QStringLiteral(LARKSPIN_VERSION_TEXT);
    QTest::newRow("client version")
        << client << QStringList{"--version"} << "larkspin (Larkspin) " + version;
    QTest::newRow("client help") << client << QStringList{"-style", "fusion", "--help"}
                                 << "Usage: larkspin [QT-OPTION]...";
    QTest::newRow("catalog version")
        << catalog << QStringList{"--version"} << "larkspin-catalog (Larkspin) " + version;
    QTest::newRow("catalog help")
        << catalog << QStringList{"--help"}
        << "usage: larkspin-catalog [--listen ADDR:PORT] [--db FILE] [--public-url URL]";
}

// Answered on stdout with status 0 even while another copy runs, with no display and with
// broken settings, and without touching the lock or the index.
void TestStartup::helpAndVersion()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(QString, firstLine);
    const QString lock = runtimeDir.path() + QLatin1String("/larkspin.lock");
    QProcess first;
    first.setProcessEnvironment(environment());
    first.start(QStringLiteral(LARKSPIN_BIN));
    QTRY_VERIFY_WITH_TIMEOUT(lockHeld(lock), 10000);

    QProcessEnvironment env = environment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("none"));
    env.insert(QStringLiteral("LARKSPIN_SEARCH_URL"), QStringLiteral("nonsense"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), runtimeDir.path() + QLatin1String("/data"));
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardError(), QByteArray());
    const QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
    QVERIFY2(out.endsWith(QLatin1Char('\n')), qPrintable(out));
    QCOMPARE(out.section(QLatin1Char('\n'), 0, 0), firstLine);
    if (arguments.contains(QLatin1String("--help")))
        QVERIFY2(out.contains(QLatin1String("--version")), qPrintable(out));
    QVERIFY(!QFileInfo::exists(runtimeDir.path() + QLatin1String("/data")));
    QCOMPARE(first.state(), QProcess::Running);
    first.kill();
    QVERIFY(first.waitForFinished());
}

void TestStartup::baseUrlParsing_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected"); // empty: rejected
    QTest::newRow("default") << "http://localhost:8642"
                             << "http://localhost:8642";
    QTest::newRow("slash") << "http://127.0.0.1:80/"
                           << "http://127.0.0.1:80";
    QTest::newRow("https") << "https://music.example"
                           << "https://music.example";
    QTest::newRow("ipv6") << "http://[::1]:8642"
                          << "http://[::1]:8642";
    QTest::newRow("query") << "http://a.example/?x=1"
                           << "";
    QTest::newRow("user") << "http://me@a.example"
                          << "";
    QTest::newRow("bad port") << "http://a.example:99999"
                              << "";
    QTest::newRow("blank") << "http://a example"
                           << "";
}

void TestStartup::baseUrlParsing()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    const std::optional<QUrl> url = ServerConfig::parseBaseUrl(text);
    QCOMPARE(url ? url->toString() : QString(), expected);
}

void TestStartup::decliningTheNoticeShowsNothing()
{
    ShowCounter counter;
    qApp->installEventFilter(&counter);
    QString text;
    QString title;
    bool noIsDefault = false;
    bool hasYes = false;
    // Only recorded here and compared once the notice has gone: a failing comparison inside
    // the timer would leave the notice open and the test hanging.
    QTimer answer;
    connect(&answer, &QTimer::timeout, this, [&] {
        QMessageBox *box = visibleNotice();
        if (!box)
            return;
        answer.stop();
        text = box->text();
        title = box->windowTitle();
        QAbstractButton *no = box->button(QMessageBox::No);
        noIsDefault = no && static_cast<QAbstractButton *>(box->defaultButton()) == no;
        hasYes = box->button(QMessageBox::Yes);
        if (no)
            no->click();
        else
            box->reject();
    });
    answer.start(20);
    armWatchdog();
    const int status = runPlayer(ServerConfig{QUrl(QStringLiteral("http://127.0.0.1:9")),
                                              QUrl(QStringLiteral("http://127.0.0.1:9")),
                                              QUrl(QStringLiteral("http://127.0.0.1:9"))});
    qApp->removeEventFilter(&counter);
    QVERIFY(!watchdogFired);
    QCOMPARE(status, 0);
    QCOMPARE(counter.shown, 0);
    QCOMPARE(title, QStringLiteral("Larkspin"));
    QVERIFY(noIsDefault);
    QVERIFY(hasYes);
    QCOMPARE(text, QString::fromLatin1(noticeText()));
    QVERIFY(text.startsWith(QLatin1String("Larkspin has no responsibility")));
    QVERIFY(text.contains(QLatin1String("Agreement.\n\n\nBy clicking on the \"Yes\" button")));
}

void TestStartup::acceptingTheNoticeShowsTheWindowInFusion()
{
    QStyle *styleDuringNotice = nullptr;
    QStyle *styleAfter = nullptr;
    bool windowVisible = false;
    QTimer answer;
    connect(&answer, &QTimer::timeout, this, [&] {
        if (QMessageBox *box = visibleNotice()) {
            styleDuringNotice = QApplication::style();
            box->button(QMessageBox::Yes)->click();
            return;
        }
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *player = qobject_cast<BrisaPlayer *>(w); player && player->isVisible()) {
                windowVisible = true;
                styleAfter = QApplication::style();
                answer.stop();
                // The close button ends the event loop.
                player->findChild<QAbstractButton *>(QStringLiteral("close"))->click();
            }
        }
    });
    answer.start(20);
    const ServerConfig servers{QUrl(QStringLiteral("http://127.0.0.1:9")),
                               QUrl(QStringLiteral("http://127.0.0.1:9")),
                               QUrl(QStringLiteral("http://127.0.0.1:9"))};
    armWatchdog();
    QCOMPARE(runPlayer(servers), 0);
    QVERIFY(!watchdogFired);
    QVERIFY(windowVisible);
    // A new style object is set once the notice is accepted.
    QVERIFY(styleDuringNotice && styleAfter);
    QVERIFY(styleAfter != styleDuringNotice);
    QCOMPARE(styleAfter->name(), QStringLiteral("fusion"));
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
