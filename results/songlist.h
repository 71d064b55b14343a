#pragma once

#include <QHash>
#include <QIcon>
#include <QList>
#include <QPointer>
#include <QWidget>

#include "song.h"

class QBuffer;
class QFrame;
class QLabel;
class QPushButton;
class QTemporaryFile;

// The list of found tracks: one row per track (title, creator, "Play Song", "Download"), an
// advertisement picture before rows 0, 20, 40, 60 and 80, and bold status labels over a row's
// buttons. Children are placed with fixed geometry; the list sizes itself after every row.
//
// The list only points at its tracks and never deletes them. A track destroyed while its row
// is still shown leaves the row inert: its buttons do nothing. The two advertisement arrays
// (five entries each) belong to the caller and must outlive the list; they are read when an
// advertisement is built or clicked.
class SongList : public QWidget
{
    Q_OBJECT

public:
    static constexpr int AdCount = 5;

    SongList(QTemporaryFile *const *adImageFiles, QBuffer *const *adTextBuffers,
             QWidget *parent = nullptr);
    ~SongList() override;

    int rowCount() const { return m_rowCount; }
    int nextTop() const { return m_nextTop; }
    int activeRow() const { return m_activeRow; }
    Song *song(int row) const { return songs.value(row); }
    QFrame *rowFrame(int row) const { return rowFrames.value(row); }
    // 0 title, 1 creator of a row.
    QLabel *textLabel(int row, int which) const { return textLabels.value(2 * row + which); }
    // 0 "Play Song", 1 "Download" of a row.
    QPushButton *rowButton(int row, int which) const { return rowButtons.value(2 * row + which); }
    // The status label laid over a row's "Play Song" button, while the row has one.
    QLabel *rowStatusLabel(int row) const { return rowStatus.value(row); }
    int adButtonCount() const { return adButtons.size(); }
    // The row the keyboard acts on: Up, Down, Home and End move it, Return plays its track as
    // "Play Song" does (unless a status covers that button). -1 while there are no rows.
    int currentRow() const { return m_currentRow; }
    void setCurrentRow(int row);
    QPushButton *adButton(int index) const { return adButtons.value(index); }

signals:
    void songsShown(int count);
    // The keyboard's row moved; the frame is to be scrolled into view.
    void currentRowChanged(QWidget *rowFrame);

public slots:
    void buttonClicked();
    void ad1clicked();
    void ad2clicked();
    void ad3clicked();
    void ad4clicked();
    void ad5clicked();
    void empty();
    // The end of playing a row's track: "play stopped" after a stop, nothing after its end.
    // A null song stands for the track of the row last shown "playing...", which may have been
    // freed while it played (a download handed over to the searcher ends while waiting for a
    // new listing).
    void abort(Song *song);
    void finish(Song *song);
    void addSong(Song *song);
    void downloadReady(int pos, int error);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void placeAd(int slot);
    bool playButtonCovered(int row) const;
    void adClicked(int slot);
    void startDownload();
    QLabel *statusLabelFor(int row);
    int rowOf(const Song *song) const;
    QLabel *takePlayingStatus(Song *song);

    int m_nextTop = 0;
    QList<QPointer<Song>> songs;
    int m_rowCount = 0;
    QList<QFrame *> rowFrames;
    QList<QLabel *> textLabels;
    QList<QPushButton *> adButtons;
    QList<QLabel *> statusLabels;
    QList<QPushButton *> rowButtons;
    int m_activeRow = 0;
    int m_currentRow = -1;
    QHash<int, QLabel *> rowStatus;
    // The status of the row last shown "playing...", until the player ends that play.
    QPointer<QLabel> playingStatus;
    QTemporaryFile *const *adImageFiles;
    QBuffer *const *adTextBuffers;
    QIcon actionIcon;
};
