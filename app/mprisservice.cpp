#include "mprisservice.h"

#include "brisaplayer.h"
#include "mprisplayeradaptor.h"
#include "mprisrootadaptor.h"
#include "song.h"
#include "tracktags.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QFileInfo>
#include <QSlider>
#include <QTimer>
#include <QUrl>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cmath>

namespace {

const char *const playerInterface = "org.mpris.MediaPlayer2.Player";

} // namespace

MprisService::MprisService(BrisaPlayer *window, const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , window(window)
    , volumeSlider(window->findChild<QSlider *>(QStringLiteral("volume")))
    , playButton(window->findChild<QAbstractButton *>(QStringLiteral("play")))
    , nextButton(window->findChild<QAbstractButton *>(QStringLiteral("next")))
    , prevButton(window->findChild<QAbstractButton *>(QStringLiteral("prev")))
    , closeButton(window->findChild<QAbstractButton *>(QStringLiteral("close")))
    , bus(bus)
{
    if (!bus.isConnected())
        return;
    new MprisRootAdaptor(this);
    new MprisPlayerAdaptor(this);
    if (!this->bus.registerObject(QLatin1String(objectPath), this, QDBusConnection::ExportAdaptors))
        return;
    const QString name = QLatin1String(busName);
    const QString instanceName
        = name + QLatin1String(".instance") + QString::number(QCoreApplication::applicationPid());
    for (const QString &candidate : {name, instanceName}) {
        if (this->bus.registerService(candidate)) {
            ownedName = candidate;
            break;
        }
    }
    if (ownedName.isEmpty()) {
        this->bus.unregisterObject(QLatin1String(objectPath));
        return;
    }

    // A stop and the start of the next sound come in one go; the bus hears of them once.
    changeTimer = new QTimer(this);
    changeTimer->setSingleShot(true);
    changeTimer->setInterval(0);
    tagReader = new QFutureWatcher<TrackTags>(this);
    connect(tagReader, &QFutureWatcher<TrackTags>::finished, this, [this] {
        tagsPath = readingPath;
        tags = tagReader->result();
        readingPath.clear();
        playbackChanged();
    });
    connect(changeTimer, &QTimer::timeout, this, &MprisService::sendChanges);
    connect(window, &BrisaPlayer::playbackChanged, this, &MprisService::playbackChanged);
    connect(window, &BrisaPlayer::seeked, this, &MprisService::seeked);
    if (volumeSlider)
        connect(volumeSlider, &QSlider::valueChanged, changeTimer, qOverload<>(&QTimer::start));
    playbackChanged();
    sentStatus = status;
    sentMetadata = meta;
    sentVolume = volume();
    changeTimer->stop();
}

MprisService::~MprisService()
{
    if (ownedName.isEmpty())
        return;
    bus.unregisterService(ownedName);
    bus.unregisterObject(QLatin1String(objectPath));
}

QString MprisService::playbackStatus() const
{
    return status;
}

QVariantMap MprisService::metadata() const
{
    return meta;
}

void MprisService::playbackChanged()
{
    const BrisaPlayer::PlayMode mode = window ? window->currentPlayMode() : BrisaPlayer::Idle;
    QString key;
    QString title;
    QString artist;
    QString url;
    if (mode == BrisaPlayer::Idle)
        status = QStringLiteral("Stopped");
    else if (window->soundPaused())
        status = QStringLiteral("Paused");
    else
        status = QStringLiteral("Playing");
    if (mode == BrisaPlayer::PlayingStream && window->streamedSong()) {
        const Song *song = window->streamedSong();
        key = QLatin1String("stream ") + QString::number(reinterpret_cast<quintptr>(song), 16)
              + song->location();
        title = song->title();
        artist = song->creator();
        url = song->location();
    } else if (mode == BrisaPlayer::PlayingFile) {
        const QString path = window->playingFilePath();
        key = QLatin1String("file ") + path;
        if (path != tagsPath && tagReader) {
            // A file's tags may be large and its disk slow: read off this thread, and tell the
            // bus once they are in.
            if (path != readingPath) {
                readingPath = path;
                tagReader->setFuture(QtConcurrent::run(&TrackTags::read, path));
            }
            // A stop just before is told together with this start.
            changeTimer->stop();
            return;
        }
        title = tags.title.isEmpty() ? QFileInfo(path).completeBaseName() : tags.title;
        artist = tags.artist;
        url = QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
    }
    if (key != trackKey) {
        trackKey = key;
        if (!key.isEmpty())
            ++trackNumber;
    }
    meta.clear();
    if (!key.isEmpty()) {
        meta.insert(QStringLiteral("mpris:trackid"),
                    QVariant::fromValue(QDBusObjectPath(
                        QStringLiteral("/org/larkspin/track/%1").arg(trackNumber))));
        meta.insert(QStringLiteral("xesam:title"), title);
        if (!artist.isEmpty())
            meta.insert(QStringLiteral("xesam:artist"), QStringList{artist});
        meta.insert(QStringLiteral("xesam:url"), url);
    }
    if (changeTimer)
        changeTimer->start();
}

void MprisService::sendChanges()
{
    QVariantMap changed;
    if (status != sentStatus) {
        sentStatus = status;
        changed.insert(QStringLiteral("PlaybackStatus"), status);
    }
    if (meta != sentMetadata) {
        sentMetadata = meta;
        changed.insert(QStringLiteral("Metadata"), meta);
    }
    const double current = volume();
    if (current != sentVolume) {
        sentVolume = current;
        changed.insert(QStringLiteral("Volume"), current);
    }
    if (changed.isEmpty())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(
        QLatin1String(objectPath), QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("PropertiesChanged"));
    signal << QLatin1String(playerInterface) << changed << QStringList();
    bus.send(signal);
}

double MprisService::volume() const
{
    if (!volumeSlider || volumeSlider->maximum() == volumeSlider->minimum())
        return 0;
    return double(volumeSlider->value() - volumeSlider->minimum())
           / (volumeSlider->maximum() - volumeSlider->minimum());
}

void MprisService::setVolume(double volume)
{
    if (!volumeSlider || std::isnan(volume))
        return;
    // MPRIS allows more than 1; the slider ends at full volume.
    const double share = std::clamp(volume, 0.0, 1.0);
    volumeSlider->setValue(volumeSlider->minimum()
                           + qRound(share * (volumeSlider->maximum() - volumeSlider->minimum())));
}

void MprisService::click(QAbstractButton *button)
{
    if (button)
        button->click();
}

void MprisService::raise()
{
    if (!window)
        return;
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->show();
    window->raise();
    window->activateWindow();
}

void MprisService::quit()
{
    click(closeButton);
}

qlonglong MprisService::position() const
{
    return window ? window->positionMicroseconds() : 0;
}

void MprisService::playPause()
{
    if (window && window->currentPlayMode() != BrisaPlayer::Idle)
        window->togglePause();
    else
        click(playButton);
}

void MprisService::play()
{
    if (!window)
        return;
    if (window->currentPlayMode() == BrisaPlayer::Idle)
        click(playButton);
    else
        window->resumeSound();
}

void MprisService::pause()
{
    if (window)
        window->pauseSound();
}

void MprisService::seek(qlonglong offset)
{
    if (!window)
        return;
    const qint64 length = window->lengthMicroseconds();
    if (length > 0 && offset > 0 && window->positionMicroseconds() + offset >= length) {
        // Past the end acts as Next: the next file of My Music; a result being listened to has
        // no next track, so it stops.
        if (window->currentPlayMode() == BrisaPlayer::PlayingFile)
            next();
        else
            stop();
        return;
    }
    window->seekBy(offset);
}

void MprisService::setPosition(const QString &trackId, qlonglong position)
{
    const QString current
        = meta.value(QStringLiteral("mpris:trackid")).value<QDBusObjectPath>().path();
    if (!window || current.isEmpty() || trackId != current || position < 0)
        return;
    // Beyond the length is ignored; a track still arriving is sought within what has come.
    const qint64 length = window->lengthMicroseconds();
    if (length > 0 && position > length)
        return;
    window->seekTo(position);
}

void MprisService::stop()
{
    if (window && window->currentPlayMode() != BrisaPlayer::Idle)
        click(playButton);
}

void MprisService::next()
{
    click(nextButton);
}

void MprisService::previous()
{
    click(prevButton);
}
