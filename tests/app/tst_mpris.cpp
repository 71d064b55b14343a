#include "brisaplayer.h"
#include "curlnetwork.h"
#include "mprisservice.h"
#include "readcounter.h"
#include "song.h"
#include "songlist.h"
#include "startup.h"
#include "testmusicfolder.h"
#include "tracktags.h"

#include "../playback/testmp3.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QFile>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <cmath>
#include <memory>

namespace {

const QString rootInterface = QStringLiteral("org.mpris.MediaPlayer2");
const QString playerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// D-Bus hands nested maps over as QDBusArgument; plain values pass as they are.
QVariant plain(const QVariant &value)
{
    QVariant v = value;
    if (v.canConvert<QDBusVariant>() && v.userType() == qMetaTypeId<QDBusVariant>())
        v = v.value<QDBusVariant>().variant();
    if (v.userType() == qMetaTypeId<QDBusArgument>()) {
        const QDBusArgument argument = v.value<QDBusArgument>();
        if (argument.currentType() == QDBusArgument::MapType) {
            QVariantMap map;
            argument >> map;
            for (auto it = map.begin(); it != map.end(); ++it)
                it.value() = plain(it.value());
            return map;
        }
        if (argument.currentType() == QDBusArgument::ArrayType) {
            QStringList list;
            argument >> list;
            return list;
        }
    }
    if (v.userType() == qMetaTypeId<QDBusObjectPath>())
        return v.value<QDBusObjectPath>().path();
    return v;
}

} // namespace

// What a desktop panel sees: the PropertiesChanged signals of the player interface.
class ChangeRecorder : public QObject
{
    Q_OBJECT

public:
    QList<QVariantMap> changes;
    QList<qlonglong> seeks;

public slots:
    void seeked(qlonglong position) { seeks << position; }

    void changed(const QString &interface, const QVariantMap &properties, const QStringList &)
    {
        if (interface != playerInterface)
            return;
        QVariantMap map;
        for (auto it = properties.begin(); it != properties.end(); ++it)
            map.insert(it.key(), plain(it.value()));
        changes << map;
    }
};

// The window on a private session bus (CTest runs this under dbus-run-session). The calls come
// from a second connection, as a media-key daemon's would.
class TestMpris : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void withoutBusNothingIsRegistered();
    void identityAndAbilities();
    void nextPlaysTheNextFileAndAnnouncesIt();
    void streamedTrackShowsTitleAndCreator();
    void volumeFollowsTheSliderBothWays();
    void transportAndWindowCalls();
    void pauseAndSeek();
    void seekPastTheEnd();
    void oversizedTagIsReadOffTheWindowsThread();
    void nameOwnedByAnotherProgram();

private:
    void makeWindow();
    QDBusMessage call(const QString &interface, const QString &method,
                      const QVariantList &arguments = {});
    QVariant property(const QString &interface, const QString &name);
    QListView *view() const
    {
        return window->findChild<QListView *>(QStringLiteral("songLibrary"));
    }

    QTemporaryDir home;
    QString tagged;
    QString untagged;
    QString musicFolder;
    int folderCount = 0;
    std::unique_ptr<BrisaPlayer> window;
    std::unique_ptr<MprisService> service;
    std::unique_ptr<QDBusConnection> client;
    ChangeRecorder recorder;
};

void TestMpris::initTestCase()
{
    if (!QDBusConnection::sessionBus().isConnected())
        QSKIP("no session bus (run under dbus-run-session)");
    if (TestMp3::lamePath().isEmpty())
        QSKIP("lame is not installed");
    QVERIFY(home.isValid());
    tagged = home.filePath(QStringLiteral("tagged.mp3"));
    untagged = home.filePath(QStringLiteral("untagged.mp3"));
    QVERIFY(TestMp3::makeTone(tagged, 2.0, 44100, 1, 440.0,
                              {QStringLiteral("--add-id3v2"), QStringLiteral("--tt"),
                               QStringLiteral("Évening Tune"), QStringLiteral("--ta"),
                               QStringLiteral("The Testers")}));
    QVERIFY(TestMp3::makeTone(untagged, 2.0));
    client = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("client")));
    QVERIFY(client->isConnected());
    QVERIFY(client->connect(QString(), QLatin1String(MprisService::objectPath), propertiesInterface,
                            QStringLiteral("PropertiesChanged"), &recorder,
                            SLOT(changed(QString, QVariantMap, QStringList))));
    QVERIFY(client->connect(QString(), QLatin1String(MprisService::objectPath), playerInterface,
                            QStringLiteral("Seeked"), &recorder, SLOT(seeked(qlonglong))));
}

void TestMpris::init()
{
    recorder.changes.clear();
    recorder.seeks.clear();
}

void TestMpris::cleanup()
{
    // A round trip to the service: every signal it sent before has arrived by the reply.
    if (service && !service->serviceName().isEmpty()) {
        QTest::qWait(1);
        property(playerInterface, QStringLiteral("PlaybackStatus"));
    }
    service.reset();
    window.reset();
    recorder.changes.clear();
}

void TestMpris::makeWindow()
{
    musicFolder = home.filePath(QStringLiteral("Music%1").arg(++folderCount));
    QVERIFY(TestMusicFolder::use(home.filePath(QStringLiteral("config")), musicFolder));
    // Listed by name: "a" has tags, "b" has none.
    QVERIFY(QFile::copy(tagged, musicFolder + QLatin1String("/a.mp3")));
    QVERIFY(QFile::copy(untagged, musicFolder + QLatin1String("/b side.mp3")));
    ServerConfig servers;
    servers.searchUrl = servers.adsUrl = servers.webUrl
        = QUrl(QStringLiteral("http://127.0.0.1:9"));
    window = std::make_unique<BrisaPlayer>(servers);
    QTRY_COMPARE(view()->model()->rowCount(view()->rootIndex()), 2);
    service = std::make_unique<MprisService>(window.get(), QDBusConnection::sessionBus());
    QCOMPARE(service->serviceName(), QLatin1String(MprisService::busName));
}

QDBusMessage TestMpris::call(const QString &interface, const QString &method,
                             const QVariantList &arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(QLatin1String(MprisService::busName),
                                                          QLatin1String(MprisService::objectPath),
                                                          interface, method);
    message.setArguments(arguments);
    // The service answers from this thread's event loop, so the call must not block it.
    QDBusPendingCall pending = client->asyncCall(message, 5000);
    if (!QTest::qWaitFor([&] { return pending.isFinished(); }, 6000))
        return {};
    return pending.reply();
}

QVariant TestMpris::property(const QString &interface, const QString &name)
{
    const QDBusMessage reply = call(propertiesInterface, QStringLiteral("Get"), {interface, name});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return plain(reply.arguments().constFirst());
}

void TestMpris::withoutBusNothingIsRegistered()
{
    makeWindow();
    const QDBusConnection none = QDBusConnection::connectToBus(
        QStringLiteral("unix:path=") + home.filePath(QStringLiteral("no-bus")),
        QStringLiteral("none"));
    QVERIFY(!none.isConnected());
    MprisService idle(window.get(), none);
    QVERIFY(idle.serviceName().isEmpty());
    window->findChild<QAbstractButton *>(QStringLiteral("next"))->click();
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    QDBusConnection::disconnectFromBus(QStringLiteral("none"));
}

void TestMpris::identityAndAbilities()
{
    makeWindow();
    const QDBusMessage reply = call(propertiesInterface, QStringLiteral("GetAll"), {rootInterface});
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    const QVariantMap root = plain(reply.arguments().value(0)).toMap();
    QCOMPARE(root.value(QStringLiteral("Identity")).toString(), QStringLiteral("Larkspin"));
    QCOMPARE(root.value(QStringLiteral("DesktopEntry")).toString(), QStringLiteral("larkspin"));
    QCOMPARE(root.value(QStringLiteral("CanQuit")), QVariant(true));
    QCOMPARE(root.value(QStringLiteral("CanRaise")), QVariant(true));
    QCOMPARE(root.value(QStringLiteral("HasTrackList")), QVariant(false));

    const QVariantMap player
        = plain(call(propertiesInterface, QStringLiteral("GetAll"), {playerInterface})
                    .arguments()
                    .value(0))
              .toMap();
    for (const char *yes :
         {"CanGoNext", "CanGoPrevious", "CanPlay", "CanControl", "CanPause", "CanSeek"})
        QVERIFY2(player.value(QLatin1String(yes)) == QVariant(true), yes);
    QCOMPARE(player.value(QStringLiteral("Position")).toLongLong(), 0);
    QCOMPARE(player.value(QStringLiteral("PlaybackStatus")).toString(), QStringLiteral("Stopped"));
    QVERIFY(player.value(QStringLiteral("Metadata")).toMap().isEmpty());
}

void TestMpris::nextPlaysTheNextFileAndAnnouncesIt()
{
    makeWindow();
    QCOMPARE(call(playerInterface, QStringLiteral("Next")).type(), QDBusMessage::ReplyMessage);
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    QCOMPARE(view()->currentIndex().row(), 0);
    QTRY_COMPARE(recorder.changes.size(), 1);
    QVariantMap change = recorder.changes.takeFirst();
    QCOMPARE(change.value(QStringLiteral("PlaybackStatus")).toString(), QStringLiteral("Playing"));
    const QVariantMap first = change.value(QStringLiteral("Metadata")).toMap();
    QCOMPARE(first.value(QStringLiteral("xesam:title")).toString(), QStringLiteral("Évening Tune"));
    QCOMPARE(first.value(QStringLiteral("xesam:artist")).toStringList(),
             QStringList{QStringLiteral("The Testers")});
    QCOMPARE(first.value(QStringLiteral("xesam:url")).toString(),
             QUrl::fromLocalFile(musicFolder + QLatin1String("/a.mp3")).toString());
    QVERIFY(first.value(QStringLiteral("mpris:trackid")).toString().startsWith(QLatin1Char('/')));
    QCOMPARE(property(playerInterface, QStringLiteral("Metadata")).toMap(), first);

    // The stop and the start of the next file in between make one change, of the metadata
    // alone: the status stays "Playing".
    call(playerInterface, QStringLiteral("Next"));
    QCOMPARE(view()->currentIndex().row(), 1);
    QTRY_COMPARE(recorder.changes.size(), 1);
    QTest::qWait(50);
    QCOMPARE(recorder.changes.size(), 1);
    change = recorder.changes.takeFirst();
    QCOMPARE(change.keys(), QStringList{QStringLiteral("Metadata")});
    const QVariantMap second = change.value(QStringLiteral("Metadata")).toMap();
    QCOMPARE(second.value(QStringLiteral("xesam:title")).toString(), QStringLiteral("b side"));
    QVERIFY(!second.contains(QStringLiteral("xesam:artist")));
    QCOMPARE(second.value(QStringLiteral("xesam:url")).toString(),
             QStringLiteral("file://") + musicFolder + QLatin1String("/b%20side.mp3"));
    QVERIFY(second.value(QStringLiteral("mpris:trackid"))
            != first.value(QStringLiteral("mpris:trackid")));

    call(playerInterface, QStringLiteral("Previous"));
    QCOMPARE(view()->currentIndex().row(), 0);
    QTRY_COMPARE(recorder.changes.size(), 1);
    recorder.changes.clear();

    call(playerInterface, QStringLiteral("Stop"));
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);
    QTRY_COMPARE(recorder.changes.size(), 1);
    QCOMPARE(recorder.changes.first().value(QStringLiteral("PlaybackStatus")).toString(),
             QStringLiteral("Stopped"));
    QCOMPARE(property(playerInterface, QStringLiteral("PlaybackStatus")).toString(),
             QStringLiteral("Stopped"));
}

void TestMpris::streamedTrackShowsTitleAndCreator()
{
    makeWindow();
    CurlNetwork network;
    const QString location = QStringLiteral("http://127.0.0.1:9/tracks/7/tone.mp3");
    Song song(QStringLiteral("Night Drive"), QStringLiteral("Ana Ñ"), location, &musicFolder,
              &network, &network);
    window->noticeSong(&song);
    window->findChild<SongList *>()->addSong(&song);
    QFile file(tagged);
    window->streamStartPlay(&file, &song);
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingStream);
    QTRY_COMPARE(recorder.changes.size(), 1);
    const QVariantMap metadata = recorder.changes.first().value(QStringLiteral("Metadata")).toMap();
    QCOMPARE(metadata.value(QStringLiteral("xesam:title")).toString(),
             QStringLiteral("Night Drive"));
    QCOMPARE(metadata.value(QStringLiteral("xesam:artist")).toStringList(),
             QStringList{QStringLiteral("Ana Ñ")});
    QCOMPARE(metadata.value(QStringLiteral("xesam:url")).toString(), location);
    QCOMPARE(property(playerInterface, QStringLiteral("PlaybackStatus")).toString(),
             QStringLiteral("Playing"));
    call(playerInterface, QStringLiteral("Stop"));
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);

    // Once its transfer has ended, a seek past the end of a result stops it: it has no next.
    window->streamStartPlay(&file, &song);
    emit song.endPlay();
    QTRY_VERIFY(property(playerInterface, QStringLiteral("Position")).toLongLong() > 0);
    call(playerInterface, QStringLiteral("Seek"), {qlonglong(30000000)});
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);
    // Before the track goes.
    cleanup();
}

void TestMpris::volumeFollowsTheSliderBothWays()
{
    makeWindow();
    auto *slider = window->findChild<QSlider *>(QStringLiteral("volume"));
    const QDBusMessage set = call(
        propertiesInterface, QStringLiteral("Set"),
        {playerInterface, QStringLiteral("Volume"), QVariant::fromValue(QDBusVariant(0.25))});
    QCOMPARE(set.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(slider->value(), 25);
    QTRY_COMPARE(recorder.changes.size(), 1);
    QCOMPARE(recorder.changes.takeFirst().value(QStringLiteral("Volume")).toDouble(), 0.25);

    slider->setValue(80);
    QTRY_COMPARE(recorder.changes.size(), 1);
    QCOMPARE(recorder.changes.takeFirst().value(QStringLiteral("Volume")).toDouble(), 0.8);
    QCOMPARE(property(playerInterface, QStringLiteral("Volume")).toDouble(), 0.8);

    // Louder than full is full; the slider ends there.
    call(propertiesInterface, QStringLiteral("Set"),
         {playerInterface, QStringLiteral("Volume"), QVariant::fromValue(QDBusVariant(1.5))});
    QCOMPARE(slider->value(), slider->maximum());
}

void TestMpris::transportAndWindowCalls()
{
    makeWindow();
    call(playerInterface, QStringLiteral("Play"));
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    QCOMPARE(window->playingFilePath(), musicFolder + QLatin1String("/a.mp3"));
    // Play while playing goes on playing; PlayPause toggles the pause, and starts the music
    // folder when nothing plays.
    call(playerInterface, QStringLiteral("Play"));
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    QVERIFY(!window->soundPaused());
    call(playerInterface, QStringLiteral("PlayPause"));
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    QVERIFY(window->soundPaused());
    call(playerInterface, QStringLiteral("PlayPause"));
    QVERIFY(!window->soundPaused());
    call(playerInterface, QStringLiteral("Stop"));
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::Idle);
    call(playerInterface, QStringLiteral("PlayPause"));
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    QVERIFY(!window->soundPaused());

    window->showMinimized();
    call(rootInterface, QStringLiteral("Raise"));
    QVERIFY(window->isVisible());
    QVERIFY(!window->isMinimized());

    QSignalSpy closed(window->findChild<QAbstractButton *>(QStringLiteral("close")),
                      &QAbstractButton::clicked);
    QCOMPARE(call(rootInterface, QStringLiteral("Quit")).type(), QDBusMessage::ReplyMessage);
    QCOMPARE(closed.size(), 1);
}

// Pause holds the position and says "Paused"; Play goes on from there. Position is live, and
// every seek is told with Seeked, landing within one MP3 frame (26 ms) of where it was asked.
void TestMpris::pauseAndSeek()
{
    makeWindow();
    const auto position = [this] {
        return property(playerInterface, QStringLiteral("Position")).toLongLong();
    };
    const auto status = [this] {
        return property(playerInterface, QStringLiteral("PlaybackStatus")).toString();
    };
    constexpr qlonglong frameTime = 26123;
    call(playerInterface, QStringLiteral("Play"));
    QTRY_VERIFY(position() > 200000);
    recorder.changes.clear();

    call(playerInterface, QStringLiteral("Pause"));
    QCOMPARE(status(), QStringLiteral("Paused"));
    QTRY_COMPARE(recorder.changes.size(), 1);
    QCOMPARE(recorder.changes.takeFirst(),
             (QVariantMap{{QStringLiteral("PlaybackStatus"), QStringLiteral("Paused")}}));
    const qlonglong pausedAt = position();
    QTest::qWait(300);
    QCOMPARE(position(), pausedAt);
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);

    // Seeks while paused move the position and keep the pause.
    call(playerInterface, QStringLiteral("Seek"), {qlonglong(500000)});
    QTRY_COMPARE(recorder.seeks.size(), 1);
    QVERIFY(std::abs(recorder.seeks.first() - (pausedAt + 500000)) <= frameTime);
    QCOMPARE(position(), recorder.seeks.takeFirst());
    const QVariant trackId = property(playerInterface, QStringLiteral("Metadata"))
                                 .toMap()
                                 .value(QStringLiteral("mpris:trackid"));
    call(playerInterface, QStringLiteral("SetPosition"),
         {QVariant::fromValue(QDBusObjectPath(QStringLiteral("/org/larkspin/track/999"))),
          qlonglong(100000)});
    call(playerInterface, QStringLiteral("SetPosition"),
         {QVariant::fromValue(QDBusObjectPath(trackId.toString())), qlonglong(100000)});
    QTRY_COMPARE(recorder.seeks.size(), 1);
    QVERIFY2(std::abs(recorder.seeks.first() - 100000) <= frameTime,
             qPrintable(QString::number(recorder.seeks.first())));
    const qlonglong seekedTo = recorder.seeks.takeFirst();
    QCOMPARE(position(), seekedTo);
    QCOMPARE(status(), QStringLiteral("Paused"));

    call(playerInterface, QStringLiteral("Play"));
    QCOMPARE(status(), QStringLiteral("Playing"));
    QTRY_VERIFY(position() > seekedTo + 100000);
    call(playerInterface, QStringLiteral("PlayPause"));
    QCOMPARE(status(), QStringLiteral("Paused"));
    call(playerInterface, QStringLiteral("PlayPause"));
    QCOMPARE(status(), QStringLiteral("Playing"));
    // Back before the start is the start.
    call(playerInterface, QStringLiteral("Seek"), {qlonglong(-60000000)});
    QTRY_COMPARE(recorder.seeks.size(), 1);
    QCOMPARE(recorder.seeks.first(), 0);
    QCOMPARE(view()->currentIndex().row(), 0);
}

// Seek past the end of a file acts as Next; SetPosition past its length is ignored. A result
// being listened to has no next track: a seek past its end stops it.
void TestMpris::seekPastTheEnd()
{
    makeWindow();
    const auto position = [this] {
        return property(playerInterface, QStringLiteral("Position")).toLongLong();
    };
    const auto trackId = [this] {
        return QDBusObjectPath(property(playerInterface, QStringLiteral("Metadata"))
                                   .toMap()
                                   .value(QStringLiteral("mpris:trackid"))
                                   .toString());
    };
    call(playerInterface, QStringLiteral("Play"));
    QTRY_VERIFY(position() > 200000);
    QCOMPARE(view()->currentIndex().row(), 0);
    recorder.seeks.clear();

    // The files last 2 s.
    const QDBusObjectPath first = trackId();
    QVERIFY(!first.path().isEmpty());
    call(playerInterface, QStringLiteral("SetPosition"),
         {QVariant::fromValue(first), qlonglong(30000000)});
    QTest::qWait(200);
    QCOMPARE(recorder.seeks.size(), 0);
    QCOMPARE(view()->currentIndex().row(), 0);
    QVERIFY(position() < 1500000);

    call(playerInterface, QStringLiteral("Seek"), {qlonglong(30000000)});
    QTRY_COMPARE(view()->currentIndex().row(), 1);
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    QTRY_VERIFY(position() > 100000);
    QVERIFY(position() < 1500000);
    QCOMPARE(recorder.seeks.size(), 0);
    QTRY_VERIFY(trackId() != first);

    // Within the length it is an ordinary seek.
    call(playerInterface, QStringLiteral("SetPosition"),
         {QVariant::fromValue(trackId()), qlonglong(1500000)});
    QTRY_COMPARE(recorder.seeks.size(), 1);
    QCOMPARE(view()->currentIndex().row(), 1);
}

namespace {

QByteArray textFrame(const QByteArray &id, const QByteArray &text)
{
    const QByteArray body = '\0' + text;
    QByteArray frame = id;
    for (int shift : {24, 16, 8, 0})
        frame += char((body.size() >> shift) & 0xff);
    return frame + QByteArray(2, '\0') + body;
}

} // namespace

// A tag that claims 256 MiB (a sparse file here): the window's thread reads none of it, the
// tags come from its first 256 KiB on a thread of their own, and the bus hears of them then.
void TestMpris::oversizedTagIsReadOffTheWindowsThread()
{
    makeWindow();
    if (ReadCounter::thisThread() < 0)
        QSKIP("no /proc/thread-self/io");
    const QString big = musicFolder + QLatin1String("/c big.mp3");
    {
        QFile file(big);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const qint64 body = (qint64(1) << 28) - 1;
        QByteArray header("ID3\x03\x00\x00", 6);
        for (int shift : {21, 14, 7, 0})
            header += char((body >> shift) & 0x7f);
        file.write(header + textFrame("TIT2", "Huge Tag Tune") + textFrame("TPE1", "The Heavy"));
        QVERIFY(file.resize(10 + body));
        QVERIFY(file.seek(10 + body));
        QFile tone(untagged);
        QVERIFY(tone.open(QIODevice::ReadOnly));
        file.write(tone.readAll());
    }
    QTRY_COMPARE(view()->model()->rowCount(view()->rootIndex()), 3);

    qint64 before = ReadCounter::thisThread();
    const TrackTags direct = TrackTags::read(big);
    QVERIFY2(ReadCounter::thisThread() - before < 1024 * 1024,
             qPrintable(QString::number(ReadCounter::thisThread() - before)));
    QCOMPARE(direct.title, QStringLiteral("Huge Tag Tune"));
    QCOMPARE(direct.artist, QStringLiteral("The Heavy"));

    view()->setCurrentIndex(view()->model()->index(2, 0, view()->rootIndex()));
    before = ReadCounter::thisThread();
    window->findChild<QAbstractButton *>(QStringLiteral("play"))->click();
    QCOMPARE(window->currentPlayMode(), BrisaPlayer::PlayingFile);
    // Opening the sound reads some 16 KiB; the tags would be 256 KiB more.
    QVERIFY2(ReadCounter::thisThread() - before < 128 * 1024,
             qPrintable(QString::number(ReadCounter::thisThread() - before)));
    QTRY_COMPARE(recorder.changes.size(), 1);
    const QVariantMap metadata = recorder.changes.first().value(QStringLiteral("Metadata")).toMap();
    QCOMPARE(metadata.value(QStringLiteral("xesam:title")).toString(),
             QStringLiteral("Huge Tag Tune"));
    QCOMPARE(metadata.value(QStringLiteral("xesam:artist")).toStringList(),
             QStringList{QStringLiteral("The Heavy")});
}

// The real start-up, notice accepted, while another program holds the name: the window comes
// up and plays under the ".instance<pid>" name MPRIS gives a second player.
void TestMpris::nameOwnedByAnotherProgram()
{
    QDBusConnection other
        = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("other"));
    QVERIFY(other.registerService(QLatin1String(MprisService::busName)));
    musicFolder = home.filePath(QStringLiteral("Music%1").arg(++folderCount));
    QVERIFY(TestMusicFolder::use(home.filePath(QStringLiteral("config")), musicFolder));
    QVERIFY(QFile::copy(untagged, musicFolder + QLatin1String("/a.mp3")));
    const QString instance = QLatin1String(MprisService::busName) + QLatin1String(".instance")
                             + QString::number(QCoreApplication::applicationPid());

    bool shown = false;
    QString ownerSeen;
    QString statusSeen;
    QTimer driver;
    connect(&driver, &QTimer::timeout, this, [&] {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible()) {
                box->button(QMessageBox::Yes)->click();
                return;
            }
            auto *player = qobject_cast<BrisaPlayer *>(w);
            if (!player || !player->isVisible())
                continue;
            driver.stop();
            shown = true;
            ownerSeen = QDBusConnection::sessionBus()
                            .interface()
                            ->serviceOwner(QLatin1String(MprisService::busName))
                            .value();
            // The folder is listed in the background; Play plays its first file.
            auto *list = player->findChild<QListView *>(QStringLiteral("songLibrary"));
            const bool listed = QTest::qWaitFor(
                [&] { return list->model()->rowCount(list->rootIndex()) == 1; }, 5000);
            QDBusMessage message
                = QDBusMessage::createMethodCall(instance, QLatin1String(MprisService::objectPath),
                                                 playerInterface, QStringLiteral("Play"));
            QDBusPendingCall pending = client->asyncCall(message, 5000);
            const bool answered = QTest::qWaitFor([&] { return pending.isFinished(); }, 6000);
            statusSeen = listed && answered && player->currentPlayMode() == BrisaPlayer::PlayingFile
                             ? QStringLiteral("Playing")
                             : QStringLiteral("not playing");
            player->findChild<QAbstractButton *>(QStringLiteral("close"))->click();
        }
    });
    driver.start(20);
    ServerConfig servers;
    servers.searchUrl = servers.adsUrl = servers.webUrl
        = QUrl(QStringLiteral("http://127.0.0.1:9"));
    QCOMPARE(runPlayer(servers), 0);
    QVERIFY(shown);
    QCOMPARE(ownerSeen, other.baseService());
    QCOMPARE(statusSeen, QStringLiteral("Playing"));
    QDBusConnection::disconnectFromBus(QStringLiteral("other"));
}

QTEST_MAIN(TestMpris)
#include "tst_mpris.moc"
