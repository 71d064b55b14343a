#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class CurlNetwork;
class CurlReply;
class QFile;
class QProgressBar;
class QTemporaryFile;
class QTimer;

// One track of a search result: its title, creator and audio file location, and the HTTP
// transfers that concern that file (availability check, listening, download).
//
// A Song has no parent while the main window's song list owns it; one still downloading when a
// new search starts is handed to the searcher, which frees it once the download reports. The
// availability check (a HEAD request on checkNetwork; when that is answered 405 or 501, a GET of
// the first byte) starts in the constructor and ends with exactly one validation() unless the
// Song is destroyed first. Listening and downloading run on transferNetwork, so that long
// transfers never queue the checks behind them. Neither network is owned; both run on the
// thread the Song lives on (the GUI thread).
class Song : public QObject
{
    Q_OBJECT

public:
    // Outcome of download(), reported by downloadReady().
    enum DownloadStatus {
        Downloaded = 0,
        NotAvailable = 1,
        NoMp3File = 2,
        BadFilename = 3,
        FileExists = 4,
    };

    Song(const QString &title, const QString &creator, const QString &location,
         const QString *musicFolder, CurlNetwork *checkNetwork, CurlNetwork *transferNetwork);
    ~Song() override;

    QString title() const { return m_title; }
    QString creator() const { return m_creator; }
    QString location() const { return m_location; }

    // Fetches the track into a fresh temporary file (or plays the file a running download is
    // filling) and emits startPlay() before returning.
    void listen();
    // Ends the listening side; a transfer a download rides on goes on to its end.
    void stopListening();
    // Saves the track into the music folder (joining a running listening transfer) and drives
    // bar while it runs; reports once with downloadReady(pos, DownloadStatus).
    void download(QProgressBar *bar, int pos);
    // A download has been asked for and has not reported yet.
    bool isDownloading() const { return downloadPending; }

    // The file name rules for a creator or title: \ ? ! * removed, / and : to -, " ' | to blank.
    static QString cleanFileName(QString name);
    // The name a download is saved under in the music folder: the cleaned creator and " - "
    // (when the creator is not empty), the cleaned title, ".mp3". Empty when the file system
    // cannot take the name (a NUL character, longer than 255 bytes).
    static QString musicFileName(const QString &creator, const QString &title);
    // Removes the hidden partial files that downloads left in folder when the program ended
    // without finishing them (a crash, a kill), once they are a day old.
    static void removeStalePartFiles(const QString &folder);
    // The address requested for a track location: the location's own scheme, host and port,
    // its path percent-encoded with its "." and ".." segments as they stand, query, fragment
    // and user name dropped.
    static QByteArray trackAddress(const QUrl &url);

    // How long a later listening or download transfer may receive nothing before it is given
    // up; 60 s unless set. A transfer that fails on the way (a stall, a dropped connection, not
    // an HTTP error status) is resumed from the bytes it has, with Range and If-Range, up to
    // 3 times, after 1, 2 and 4 s; a server that answers the resumption with the whole track
    // starts the file over. Only the last failure reaches the listener (endPlay()) and the
    // download (NotAvailable).
    void setStallTimeout(int msecs) { stallTimeout = msecs; }
    static constexpr int transferTries = 3;
    // The wait before the first resumption; each later one is twice the one before.
    void setResumeDelay(int msecs) { resumeDelay = msecs; }

signals:
    void validation(bool failed);
    void downloadReady(int pos, int error);
    void startPlay(QFile *file, Song *song);
    void morePlay();
    void endPlay();

private slots:
    void responseHeaderReceived();
    void checkIsDone();
    void downloadDone(bool error);
    void finishDownload(int code);
    static int copyIntoFolder(const QString &from, const QString &folder, const QString &target);
    void listenDone(bool error);
    void updateProgress(qint64 value, qint64 total);
    void listenMore(qint64 value, qint64 total);
    void transferHeaders();
    void requestTransfer();

private:
    void failCheck();
    void releaseReply(QPointer<CurlReply> &slot);
    void releaseCheck();
    void startTransfer(bool intoMusicFolder);
    bool transferRunning() const;
    void releaseTransfer();
    void retireTransferFile();
    void drainTransfer();
    void transferProgress();
    void transferFinished();
    int saveToMusicFolder();

    QString m_title;
    QString m_creator;
    QString m_location;
    const QString *musicFolder;
    QUrl url;

    CurlNetwork *checkNetwork;
    CurlNetwork *transferNetwork;
    // Replies belong to their network, which may go first at teardown.
    QPointer<CurlReply> checkReply;
    QPointer<CurlReply> transfer;
    QTemporaryFile *transferFile = nullptr;
    // The file of the transfer before, which the player may still be reading by its path.
    QTemporaryFile *earlierFile = nullptr;
    QPointer<QProgressBar> progressBar;
    int rowIndex = 0;
    int stallTimeout = 60000;
    qint64 received = 0;
    // Resuming: the waits between tries, the tries made, where the running request began in
    // the file, and what the first answer said of the whole track (its validator for If-Range
    // and its length, -1 when unknown). A reply whose bytes do not continue the file is read
    // and dropped, and fails the transfer.
    QTimer *retryTimer = nullptr;
    int resumeDelay = 1000;
    int retries = 0;
    qint64 resumedAt = 0;
    QByteArray validator;
    qint64 wholeLength = -1;
    bool replyFits = true;

    bool checkDone = false;
    // The HEAD was refused (405, 501): the check goes on as a GET of the first byte.
    bool checkByGet = false;
    bool available = false;
    bool listening = false;
    // A download waits for the end of the current transfer.
    bool downloadPending = false;
    bool announceEnd = true;
    bool writeFailed = false;
    // Copies a listening file into another file system's music folder; a child.
    QFutureWatcher<int> *copier = nullptr;
    // saveToMusicFolder() has handed the file to copier, which reports.
    static constexpr int Copying = -1;
    // transferFile is a hidden file in the music folder (a download of its own).
    bool transferInMusicFolder = false;
    bool emittingStartPlay = false;
};
