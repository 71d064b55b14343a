#pragma once

#include "tracktags.h"

#include <QDBusConnection>
#include <QFutureWatcher>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>

class BrisaPlayer;
class QAbstractButton;
class QSlider;
class QTimer;

// The window on the desktop's media bus: MPRIS 2 at /org/mpris/MediaPlayer2 under the name
// org.mpris.MediaPlayer2.larkspin (or, when another program owns that, the ".instance<pid>"
// name MPRIS provides for a second player). Media keys and "now playing" panels drive the
// transport buttons and the volume slider through it and are told of every change of what
// plays. Without a bus, or when registering fails, it stays idle and the window runs as before.
// The adaptors are its children; it points at the window's widgets and never owns them.
class MprisService : public QObject
{
    Q_OBJECT

public:
    static constexpr const char *busName = "org.mpris.MediaPlayer2.larkspin";
    static constexpr const char *objectPath = "/org/mpris/MediaPlayer2";

    MprisService(BrisaPlayer *window, const QDBusConnection &bus, QObject *parent = nullptr);
    ~MprisService() override;

    // The bus name owned, empty when not on a bus.
    QString serviceName() const { return ownedName; }

    QString playbackStatus() const;
    QVariantMap metadata() const;
    // Where the current sound is, in microseconds, at the moment of asking.
    qlonglong position() const;
    double volume() const;
    void setVolume(double volume);

    void raise();
    void quit();
    void playPause();
    void play();
    void pause();
    void stop();
    // Relative and absolute seeks; SetPosition is ignored unless trackId names what plays.
    void seek(qlonglong offset);
    void setPosition(const QString &trackId, qlonglong position);
    void next();
    void previous();

signals:
    // The sound was moved by a seek; position in microseconds.
    void seeked(qlonglong position);

private:
    void playbackChanged();
    void sendChanges();
    void click(QAbstractButton *button);

    QPointer<BrisaPlayer> window;
    QPointer<QSlider> volumeSlider;
    QPointer<QAbstractButton> playButton;
    QPointer<QAbstractButton> nextButton;
    QPointer<QAbstractButton> prevButton;
    QPointer<QAbstractButton> closeButton;
    QDBusConnection bus;
    QString ownedName;
    QTimer *changeTimer = nullptr;
    QString status;
    QVariantMap meta;
    // What the bus was last told, so that a stop followed at once by the next start is
    // announced as one change.
    QString sentStatus;
    QVariantMap sentMetadata;
    double sentVolume = -1;
    // Identifies what plays: a new sound gets a new track id.
    QString trackKey;
    quint64 trackNumber = 0;
    // The tags of a music folder file are read on a pool thread; the change is told once they
    // are in. The watcher is a child; a read it no longer watches ends on its own.
    QFutureWatcher<TrackTags> *tagReader = nullptr;
    QString tagsPath;
    QString readingPath;
    TrackTags tags;
};
