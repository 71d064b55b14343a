#pragma once

#include "serverconfig.h"
#include "song.h"

#include <QList>
#include <QModelIndex>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <array>
#include <memory>

class QBuffer;
class QCursor;
class QFile;
class MusicFolderModel;
class QMovie;
class CurlNetwork;
class QNetworkAccessManager;
class QNetworkReply;
class QScrollArea;
class QTemporaryFile;
class QTimer;
class EmptyIconProvider;
class Searcher;

class SongList;
class StopCallBack;

namespace Ui {
class BrisaPlayerClass;
}

namespace audio {
class AudioDevice;
class OutputStream;
class SampleSource;
} // namespace audio

// The program's one window. It owns and wires everything: the form, the search client and its
// tracks, the result list, the music folder model, the advertisement transfers and the audio
// objects of the current playback. All of it lives on the GUI thread; the audio layer's stop
// events reach it through StopCallBack as queued calls.
class BrisaPlayer : public QWidget
{
    Q_OBJECT

public:
    enum PlayMode { Idle = 0, PlayingFile = 1, PlayingStream = 2 };

    explicit BrisaPlayer(const ServerConfig &servers, QWidget *parent = nullptr);
    ~BrisaPlayer() override;

    PlayMode currentPlayMode() const { return static_cast<PlayMode>(playMode); }
    Song *streamedSong() const { return currentSong; }
    // The music folder file that plays or played last.
    const QString &playingFilePath() const { return playingFile; }
    // Whether the current sound is playing now (false while a stream waits for data).
    bool soundPlaying() const;
    // Whether the current sound is held by a pause; false while nothing plays.
    bool soundPaused() const { return paused; }
    // Where the current sound is in its track, in microseconds; 0 while nothing plays.
    qint64 positionMicroseconds() const;
    const QString &musicFolderPath() const { return musicFolder; }
    // The number of advertisement requests still running.
    int pendingAdRequests() const { return adReplies.size(); }

signals:
    void requestNext();
    // The play mode, the pause or what plays may have changed.
    void playbackChanged();
    // The current sound was moved to `position` microseconds by a seek.
    void seeked(qint64 position);

public slots:
    void queryDone(bool success);
    void songsShown(int count);
    void newsLinkClicked();
    void aboutButtonClicked();
    void tosButtonClicked();
    void policyButtonClicked();
    void contactButtonClicked();
    void searchButtonClicked();
    void searchTyped();
    void playPressed();
    void nextPressed();
    void prevPressed();
    void volumeChanged(int vol);
    void openMusicDir();
    void songDoubleClicked(QModelIndex index);
    void tabChanged(int tab);
    void timerTriggered();
    void nextRequest();
    void noticeSong(Song *song);
    void adDone(bool error);
    void streamStartPlay(QFile *file, Song *song);
    void streamMorePlay();
    void streamEndPlay();

    // Pause holds the current sound where it is (the play button keeps its stop icon);
    // resume and play on it go on from there. No effect while nothing plays.
    void pauseSound();
    void resumeSound();
    void togglePause();
    // Move the current sound (a stream only within what has arrived); seeked() tells where it
    // landed. False while nothing plays or when the sound cannot be sought.
    bool seekTo(qint64 microseconds);
    bool seekBy(qint64 microseconds);
    // The current sound's length when it is known: a My Music file, or a result whose transfer
    // has ended (one still arriving may grow); 0 otherwise.
    qint64 lengthMicroseconds() const;

    // The end of the sound with OutputStream::id() `stream`, delivered on the GUI thread by the
    // StopCallBack.
    void soundStopped(bool stopCalled, quint64 stream);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    static QString lookUpMusicFolder();
    void requestAds();
    void openWebPage(const QString &path);
    bool openOutput(const QString &path);
    void playLibraryItem();
    void stopCurrent();
    void stopStreamTrack();
    void stopOutput();
    void finishStreamTrack();
    void releaseOutput();
    void stepLibrary(int step);
    void setUpKeyboard();
    void describePlayButton();

    ServerConfig servers;
    Searcher *searcher = nullptr;
    QList<Song *> songs;
    Ui::BrisaPlayerClass *ui = nullptr;
    QString musicFolder;
    MusicFolderModel *dirModel = nullptr;
    EmptyIconProvider *iconProvider = nullptr;
    QTimer *refreshTimer = nullptr;
    QMovie *loaderMovie = nullptr;
    int playMode = Idle;
    bool paused = false;
    bool streamPlaying = false;
    bool streamComplete = false;
    QPointer<Song> currentSong;
    QString playingFile;
    bool outputOpened = false;
    std::shared_ptr<audio::AudioDevice> device;
    std::shared_ptr<audio::OutputStream> stream;
    // The file stream plays, kept for its length.
    std::shared_ptr<audio::SampleSource> source;
    std::shared_ptr<StopCallBack> stopCallback;
    QString currentQuery;
    QScrollArea *scrollArea = nullptr;
    SongList *songList = nullptr;
    QString resultCountText;
    QCursor *normalCursor = nullptr;
    QCursor *busyCursor = nullptr;
    std::array<QTemporaryFile *, 5> adImageFiles{};
    std::array<QBuffer *, 5> adTextBuffers{};
    QList<QNetworkReply *> adReplies;
    bool adFailed = false;
    // The advertisements' manager. Tracks are checked on one network and fetched on another, so
    // that playing and downloading never queue the checks of a search behind them.
    QNetworkAccessManager *network = nullptr;
    CurlNetwork *checkNetwork = nullptr;
    CurlNetwork *transferNetwork = nullptr;
    QPoint dragOrigin;
    bool dragging = false;
};
