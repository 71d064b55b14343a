#include "brisaplayer.h"
#include "curlnetwork.h"
#include "song.h"
#include "songlist.h"
#include "stopcallback.h"
#include "testmusicfolder.h"

#include "../playback/testmp3.h"
#include "httptestserver.h"

#include "curlnetwork.h"
#include "musicfoldermodel.h"
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBox>

#include <memory>

namespace {

ServerConfig refusedServers()
{
    ServerConfig config;
    config.searchUrl = config.adsUrl = config.webUrl = QUrl(QStringLiteral("http://127.0.0.1:9"));
    return config;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

HttpTestServer::Reply dripped(const QByteArray &body, int chunk, int interval)
{
    HttpTestServer::Reply reply;
    reply.body = body;
    reply.mode = HttpTestServer::BodyMode::Drip;
    reply.dripSize = chunk;
    reply.dripInterval = interval;
    return reply;
}

bool hasSound(const QByteArray &pcm)
{
    return pcm.count('\0') != pcm.size();
}

QStringList labelTexts(QWidget *frame)
{
    QStringList texts;
    for (QLabel *label : frame->findChildren<QLabel *>())
        texts << label->text();
    return texts;
}

} // namespace

// The window's playback: the music folder list, the transport buttons and a result track
// streamed while it downloads. Sounds go to SDL's dummy output, which plays in real time.
class TestWindowPlayback : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void folderListsMp3FilesOnly();
    void folderFollowsChanges();
    void emptyFolderTransportDoesNothing();
    void playStartsTheFirstFileAndStops();
    void prevAndNextWrapAround();
    void withoutCurrentItemPrevPlaysLastNextFirst();
    void oneFileReplays();
    void currentItemWithoutSelectionIsTheReference();
    void fileThatPlaysToItsEndIsFollowedByTheNext();
    void fileStoppedByTheUserIsNotFollowed();
    void folderOfFilesWithoutSoundDoesNotGoRound();
    void streamPlaysWhileDownloadingAndFinishes();
    void streamWhoseDataRanOutBeforeTheEndStillFinishes();
    void nextDuringStreamStopsItAndPlaysAFile();
    void newSearchStopsAStreamButNotAFile();
    void stopEventAfterTheWindowIsDropped();
    void keysPauseSeekPlayAndStop();
    void keysReachTheQueryAndTheResults();
    void buttonsAreNamedAndTabFollowsTheLayout();

private:
    void makeWindow(const QStringList &files);
    QListView *view() const
    {
        return window->findChild<QListView *>(QStringLiteral("songLibrary"));
    }
    MusicFolderModel *model() const { return qobject_cast<MusicFolderModel *>(view()->model()); }
    int rows() const { return model()->rowCount(view()->rootIndex()); }
    int currentRow() const { return view()->currentIndex().row(); }
    void click(const char *button)
    {
        window->findChild<QPushButton *>(QLatin1String(button))->click();
    }
    Song *streamSong(HttpTestServer &server, const QByteArray &path);
    QByteArray deviceOutput() const
    {
        return readFile(home.filePath(QStringLiteral("device.raw")));
    }

    QTemporaryDir home;
    QString toneShort; // 0.3 s
    QString toneLong;  // 3 s
    QString musicFolder;
    std::unique_ptr<BrisaPlayer> window;
    std::unique_ptr<CurlNetwork> network;
    QList<Song *> songs;
    int folderCount = 0;
};

void TestWindowPlayback::initTestCase()
{
    if (TestMp3::lamePath().isEmpty())
        QSKIP("lame is not installed");
    QVERIFY(home.isValid());
    // What the window plays lands in a file (in real time), so that silence can be checked.
    qputenv("SDL_AUDIODRIVER", "disk");
    qputenv("SDL_DISKAUDIOFILE", QFile::encodeName(home.filePath(QStringLiteral("device.raw"))));
    toneShort = home.filePath(QStringLiteral("short.mp3"));
    toneLong = home.filePath(QStringLiteral("long.mp3"));
    QVERIFY(TestMp3::makeTone(toneShort, 0.3));
    QVERIFY(TestMp3::makeTone(toneLong, 3.0, 44100, 1, 660.0));
}

void TestWindowPlayback::init()
{
    network = std::make_unique<CurlNetwork>();
}

void TestWindowPlayback::cleanup()
{
    window.reset();
    qDeleteAll(songs);
    songs.clear();
    network.reset();
}

void TestWindowPlayback::makeWindow(const QStringList &files)
{
    musicFolder = home.filePath(QStringLiteral("Music%1").arg(++folderCount));
    QVERIFY(TestMusicFolder::use(home.filePath(QStringLiteral("config")), musicFolder));
    for (const QString &name : files)
        QVERIFY(QFile::copy(toneShort, musicFolder + QLatin1Char('/') + name));

    window = std::make_unique<BrisaPlayer>(refusedServers());
    QCOMPARE(window->musicFolderPath(), musicFolder);
    QTRY_COMPARE(rows(), int(files.size()));
}

Song *TestWindowPlayback::streamSong(HttpTestServer &server, const QByteArray &path)
{
    auto *song = new Song(QStringLiteral("Tone"), QStringLiteral("Tester"),
                          server.url(path).toString(), &musicFolder, network.get(), network.get());
    songs << song;
    window->noticeSong(song);
    window->findChild<SongList *>()->addSong(song);
    return song;
}

void TestWindowPlayback::folderListsMp3FilesOnly()
{
    makeWindow({QStringLiteral("a.mp3"), QStringLiteral("B.MP3"), QStringLiteral("c.Mp3")});
    QFile(musicFolder + QLatin1String("/notes.txt")).open(QIODevice::WriteOnly);
    QFile::copy(toneShort, musicFolder + QLatin1String("/.hidden.mp3"));
    QDir(musicFolder).mkdir(QStringLiteral("sub.mp3"));
    QFile::copy(toneShort, musicFolder + QLatin1String("/sub.mp3/d.mp3"));
    QTest::qWait(300);
    QStringList names;
    for (int r = 0; r < rows(); ++r)
        names << model()->index(r, 0, view()->rootIndex()).data().toString();
    QCOMPARE(names, (QStringList{QStringLiteral("a.mp3"), QStringLiteral("B.MP3"),
                                 QStringLiteral("c.Mp3")}));
    QVERIFY(
        model()->index(0, 0, view()->rootIndex()).data(Qt::DecorationRole).value<QIcon>().isNull());
}

void TestWindowPlayback::folderFollowsChanges()
{
    makeWindow({QStringLiteral("a.mp3"), QStringLiteral("c.mp3")});
    view()->setCurrentIndex(model()->index(1, 0, view()->rootIndex()));
    QFile::copy(toneShort, musicFolder + QLatin1String("/b.mp3"));
    QTRY_COMPARE_WITH_TIMEOUT(rows(), 3, 500);
    // The current item stays on its file while rows move.
    QCOMPARE(model()->fileName(view()->currentIndex()), QStringLiteral("c.mp3"));
    QFile::remove(musicFolder + QLatin1String("/a.mp3"));
    QTRY_COMPARE_WITH_TIMEOUT(rows(), 2, 500);
    QCOMPARE(model()->fileName(view()->currentIndex()), QStringLiteral("c.mp3"));
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);
}

void TestWindowPlayback::emptyFolderTransportDoesNothing()
{
    makeWindow({});
    click("play");
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);
    click("next");
    click("prev");
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);
    QVERIFY(!view()->currentIndex().isValid());

    // A stream plays on, but once it has run out of data it is not started again.
    HttpTestServer server;
    HttpTestServer::Reply reply;
    reply.mode = HttpTestServer::BodyMode::Held;
    reply.contentLength = false;
    server.setReply("/tone.mp3", reply);
    Song *song = streamSong(server, "/tone.mp3");
    window->findChild<SongList *>()->rowButton(0, 0)->click();
    QTRY_COMPARE(server.heldCount(), 1);
    // Half of a 3 s track: long enough that it still plays when next is clicked.
    const QByteArray track = readFile(toneLong);
    server.push(track.left(track.size() / 2));
    QTRY_VERIFY(window->soundPlaying());
    click("next");
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingStream);
    QVERIFY(window->soundPlaying());
    QTRY_VERIFY_WITH_TIMEOUT(!window->soundPlaying(), 5000);
    QSignalSpy more(song, &Song::morePlay);
    server.push(track.mid(track.size() / 2));
    QTRY_VERIFY(more.size() > 0);
    QVERIFY(!window->soundPlaying());
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingStream);
}

void TestWindowPlayback::playStartsTheFirstFileAndStops()
{
    makeWindow({QStringLiteral("a.mp3"), QStringLiteral("b.mp3")});
    click("play");
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    QCOMPARE(currentRow(), 0);
    // Play while playing only stops.
    click("play");
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);
    QCOMPARE(currentRow(), 0);
}

void TestWindowPlayback::prevAndNextWrapAround()
{
    makeWindow({QStringLiteral("a.mp3"), QStringLiteral("b.mp3"), QStringLiteral("c.mp3")});
    view()->setCurrentIndex(model()->index(2, 0, view()->rootIndex()));
    click("next");
    QCOMPARE(currentRow(), 0);
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    click("prev");
    QCOMPARE(currentRow(), 2);
    click("prev");
    QCOMPARE(currentRow(), 1);
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
}

void TestWindowPlayback::withoutCurrentItemPrevPlaysLastNextFirst()
{
    makeWindow({QStringLiteral("a.mp3"), QStringLiteral("b.mp3"), QStringLiteral("c.mp3")});
    QVERIFY(!view()->currentIndex().isValid());
    click("prev");
    QCOMPARE(currentRow(), 2);
    window.reset();
    makeWindow({QStringLiteral("a.mp3"), QStringLiteral("b.mp3")});
    click("next");
    QCOMPARE(currentRow(), 0);
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
}

void TestWindowPlayback::oneFileReplays()
{
    makeWindow({QStringLiteral("only.mp3")});
    click("next");
    QCOMPARE(currentRow(), 0);
    click("prev");
    QCOMPARE(currentRow(), 0);
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
}

void TestWindowPlayback::currentItemWithoutSelectionIsTheReference()
{
    makeWindow({QStringLiteral("a.mp3"), QStringLiteral("b.mp3"), QStringLiteral("c.mp3")});
    view()->setCurrentIndex(model()->index(1, 0, view()->rootIndex()));
    view()->selectionModel()->clearSelection();
    click("next");
    QCOMPARE(currentRow(), 2);
}

void TestWindowPlayback::fileThatPlaysToItsEndIsFollowedByTheNext()
{
    makeWindow({QStringLiteral("a.mp3"), QStringLiteral("b.mp3"), QStringLiteral("c.mp3")});
    view()->setCurrentIndex(model()->index(1, 0, view()->rootIndex()));
    window->songDoubleClicked(view()->currentIndex());
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    // 0.3 s each: b, then c, then round to a.
    QTRY_COMPARE_WITH_TIMEOUT(currentRow(), 2, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(currentRow(), 0, 5000);
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
}

void TestWindowPlayback::fileStoppedByTheUserIsNotFollowed()
{
    makeWindow({});
    for (const char *name : {"/a.mp3", "/b.mp3"})
        QVERIFY(QFile::copy(toneLong, musicFolder + QLatin1String(name)));
    QTRY_COMPARE(rows(), 2);
    click("play");
    QTRY_VERIFY(hasSound(deviceOutput()));
    click("play");
    // A block mixed before the stop may still be on its way to the file.
    const qsizetype stoppedAt = deviceOutput().size() + 4 * 2048 * 4;
    QTest::qWait(800);
    QCOMPARE(currentRow(), 0);
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);
    const QByteArray after = deviceOutput().mid(stoppedAt);
    QVERIFY(after.size() > 0);
    QVERIFY(!hasSound(after));
}

void TestWindowPlayback::folderOfFilesWithoutSoundDoesNotGoRound()
{
    makeWindow({});
    QFile(musicFolder + QLatin1String("/a empty.mp3")).open(QIODevice::WriteOnly);
    QFile text(musicFolder + QLatin1String("/b text.mp3"));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("not a song\n");
    text.close();
    QTRY_COMPARE(rows(), 2);
    click("play");
    // Whether the file is refused at once or ends without a sound, nothing goes on from it.
    QTRY_COMPARE_WITH_TIMEOUT(window->currentPlayMode(), BrisaPlayer::Idle, 3000);
    QTest::qWait(500);
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);
    QCOMPARE(currentRow(), 0);
}

void TestWindowPlayback::streamPlaysWhileDownloadingAndFinishes()
{
    makeWindow({});
    HttpTestServer server;
    server.setReply("/tone.mp3", dripped(readFile(toneShort), 512, 5));
    Song *song = streamSong(server, "/tone.mp3");
    SongList *list = window->findChild<SongList *>();

    list->rowButton(0, 0)->click();
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingStream);
    QCOMPARE(window->streamedSong(), song);
    QCOMPARE(list->rowStatusLabel(0)->text(), QStringLiteral("playing..."));
    QTRY_COMPARE_WITH_TIMEOUT(window->currentPlayMode(), BrisaPlayer::Idle, 5000);
    QVERIFY(!list->rowStatusLabel(0));
    QVERIFY(labelTexts(list->rowFrame(0)).contains(QString()));
    QVERIFY(!labelTexts(list->rowFrame(0)).contains(QStringLiteral("playing...")));
}

void TestWindowPlayback::streamWhoseDataRanOutBeforeTheEndStillFinishes()
{
    makeWindow({});
    HttpTestServer server;
    HttpTestServer::Reply reply;
    reply.mode = HttpTestServer::BodyMode::Held;
    reply.contentLength = false;
    server.setReply("/tone.mp3", reply);
    streamSong(server, "/tone.mp3");
    SongList *list = window->findChild<SongList *>();

    list->rowButton(0, 0)->click();
    QTRY_COMPARE(server.heldCount(), 1);
    // All the data, then a pause long enough for the sound to run dry, then the end.
    server.push(readFile(toneShort));
    QTest::qWait(1000);
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingStream);
    server.finishHeld();
    QTRY_COMPARE_WITH_TIMEOUT(window->currentPlayMode(), BrisaPlayer::Idle, 3000);
    QVERIFY(!labelTexts(list->rowFrame(0)).contains(QStringLiteral("playing...")));
}

void TestWindowPlayback::nextDuringStreamStopsItAndPlaysAFile()
{
    makeWindow({QStringLiteral("a.mp3")});
    HttpTestServer server;
    server.setReply("/long.mp3", dripped(readFile(toneLong), 1024, 20));
    streamSong(server, "/long.mp3");
    SongList *list = window->findChild<SongList *>();

    list->rowButton(0, 0)->click();
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingStream);
    click("next");
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    QVERIFY(!window->streamedSong());
    QVERIFY(labelTexts(list->rowFrame(0)).contains(QStringLiteral("play stopped")));
}

void TestWindowPlayback::newSearchStopsAStreamButNotAFile()
{
    makeWindow({QStringLiteral("a.mp3")});
    HttpTestServer server;
    server.setReply("/long.mp3", dripped(readFile(toneLong), 1024, 20));
    Song *song = streamSong(server, "/long.mp3");
    SongList *list = window->findChild<SongList *>();
    auto *query = window->findChild<QLineEdit *>(QStringLiteral("searchText"));
    query->setText(QStringLiteral("anything"));

    list->rowButton(0, 0)->click();
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingStream);
    QSignalSpy ended(song, &Song::endPlay);
    window->searchButtonClicked();
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);
    QVERIFY(!window->streamedSong());
    QVERIFY(labelTexts(list->rowFrame(0)).contains(QStringLiteral("play stopped")));
    QTRY_VERIFY(window->findChild<QLineEdit *>(QStringLiteral("searchText"))->isEnabled());
    QCOMPARE(ended.count(), 0);
    // The failed search leaves the old rows; one whose track is gone does nothing.
    delete songs.takeFirst();
    list->rowButton(0, 1)->click();
    QVERIFY(list->rowFrame(0)->findChildren<QProgressBar *>().isEmpty());
    QVERIFY(!labelTexts(list->rowFrame(0)).contains(QStringLiteral("downloading")));
    list->rowButton(0, 0)->click();
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);
    QVERIFY(!labelTexts(list->rowFrame(0)).contains(QStringLiteral("playing...")));

    click("play");
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    window->searchButtonClicked();
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
}

void TestWindowPlayback::stopEventAfterTheWindowIsDropped()
{
    auto window = std::make_unique<BrisaPlayer>(refusedServers());
    StopCallBack callback(window.get());
    callback.streamStopped(audio::StopReason::STREAM_ENDED, 1);
    QCoreApplication::processEvents();
    // One posted before the window goes and one after: neither reaches a freed window.
    callback.streamStopped(audio::StopReason::STOP_CALLED, 1);
    window.reset();
    callback.streamStopped(audio::StopReason::STREAM_ENDED, 1);
    QCoreApplication::processEvents();
}

// Space pauses and resumes, Left and Right move 5 s, Return plays the list's current file and
// Escape stops, all from the My Music list.
void TestWindowPlayback::keysPauseSeekPlayAndStop()
{
    makeWindow({});
    QVERIFY(QFile::copy(toneLong, musicFolder + QLatin1String("/long.mp3")));
    QTRY_COMPARE(rows(), 1);
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    view()->setCurrentIndex(model()->index(0, 0, view()->rootIndex()));
    view()->setFocus();
    QSignalSpy seeked(window.get(), &BrisaPlayer::seeked);

    QTest::keyClick(view(), Qt::Key_Return);
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    QTRY_VERIFY(window->positionMicroseconds() > 300000);
    QTest::keyClick(view(), Qt::Key_Space);
    QVERIFY(window->soundPaused());
    const qint64 pausedAt = window->positionMicroseconds();
    QTest::qWait(200);
    QCOMPARE(window->positionMicroseconds(), pausedAt);

    // Past the end of the track is its last frames; before its start is its start.
    QTest::keyClick(view(), Qt::Key_Right);
    QCOMPARE(seeked.size(), 1);
    QVERIFY(seeked.at(0).at(0).toLongLong() > 2800000);
    QTest::keyClick(view(), Qt::Key_Left);
    QCOMPARE(seeked.size(), 2);
    QCOMPARE(seeked.at(1).at(0).toLongLong(), 0);
    QVERIFY(window->soundPaused());
    QCOMPARE(window->positionMicroseconds(), 0);

    QTest::keyClick(view(), Qt::Key_Space);
    QVERIFY(!window->soundPaused());
    QTRY_VERIFY(window->positionMicroseconds() > 0);
    QTest::keyClick(view(), Qt::Key_Escape);
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);
    QVERIFY(!window->soundPaused());
    // Nothing plays: the keys change nothing.
    QTest::keyClick(view(), Qt::Key_Space);
    QTest::keyClick(view(), Qt::Key_Right);
    QVERIFY(!window->soundPaused());
    QCOMPARE(seeked.size(), 2);
}

// Ctrl+L brings back the query box from any page; in the results, Up and Down move the current
// row and Return plays it as "Play Song" does.
void TestWindowPlayback::keysReachTheQueryAndTheResults()
{
    makeWindow({QStringLiteral("a.mp3")});
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    auto *pages = window->findChild<QToolBox *>(QStringLiteral("content"));
    auto *query = window->findChild<QLineEdit *>(QStringLiteral("searchText"));
    pages->setCurrentIndex(2);
    view()->setFocus();
    QTest::keyClick(view(), Qt::Key_L, Qt::ControlModifier);
    QCOMPARE(pages->currentIndex(), 0);
    QTRY_COMPARE(QApplication::focusWidget(), query);
    // A space typed in the query is a space.
    QTest::keyClicks(query, QStringLiteral("a b"));
    QCOMPARE(query->text(), QStringLiteral("a b"));

    auto *list = window->findChild<SongList *>();
    for (const char *name : {"one.mp3", "two.mp3"}) {
        auto *song = new Song(QStringLiteral("Tone"), QString::fromLatin1(name),
                              QStringLiteral("http://127.0.0.1:9/") + QLatin1String(name),
                              &musicFolder, network.get(), network.get());
        songs << song;
        window->noticeSong(song);
        list->addSong(song);
    }
    pages->setCurrentIndex(1);
    list->setFocus();
    QCOMPARE(list->currentRow(), 0);
    QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_Down);
    QCOMPARE(list->currentRow(), 1);
    QVERIFY(list->accessibleDescription().contains(QStringLiteral("two.mp3")));
    QTest::keyClick(list, Qt::Key_Return);
    QVERIFY(labelTexts(list->rowFrame(1)).contains(QStringLiteral("playing...")));
    QVERIFY(!labelTexts(list->rowFrame(0)).contains(QStringLiteral("playing...")));
    // Covered by its status, the row's button is not pressed again.
    QTest::keyClick(list, Qt::Key_Up);
    QTest::keyClick(list, Qt::Key_Down);
    const int labels = list->rowFrame(1)->findChildren<QLabel *>().size();
    QTest::keyClick(list, Qt::Key_Return);
    QCOMPARE(list->rowFrame(1)->findChildren<QLabel *>().size(), labels);
}

void TestWindowPlayback::buttonsAreNamedAndTabFollowsTheLayout()
{
    makeWindow({QStringLiteral("a.mp3")});
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    const QList<QAbstractButton *> buttons = window->findChildren<QAbstractButton *>();
    QVERIFY(buttons.size() >= 14);
    for (QAbstractButton *button : buttons) {
        QVERIFY2(!button->accessibleName().isEmpty(), qPrintable(button->objectName()));
        QVERIFY2(!button->accessibleDescription().isEmpty(), qPrintable(button->objectName()));
    }
    auto *play = window->findChild<QPushButton *>(QStringLiteral("play"));
    QCOMPARE(play->accessibleName(), QStringLiteral("Play"));
    click("play");
    QCOMPARE(play->accessibleName(), QStringLiteral("Stop"));
    QVERIFY(play->accessibleDescription().contains(QStringLiteral("a")));
    click("play");

    // The controls of the search page and the window, in the order Tab reaches them.
    const QStringList wanted{
        QStringLiteral("minimize"),     QStringLiteral("close"),    QStringLiteral("searchText"),
        QStringLiteral("searchButton"), QStringLiteral("newsLink"), QStringLiteral("prev"),
        QStringLiteral("play"),         QStringLiteral("next"),     QStringLiteral("volume")};
    window->findChild<QWidget *>(QStringLiteral("minimize"))->setFocus();
    QStringList reached;
    for (int i = 0; i < 30 && reached.size() < wanted.size(); ++i) {
        const QString name = QApplication::focusWidget()->objectName();
        if (wanted.contains(name) && !reached.contains(name))
            reached << name;
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(reached, wanted);
}

QTEST_MAIN(TestWindowPlayback)
#include "tst_windowplayback.moc"
