#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class CurlFetch;
class CurlNetwork;
class QMovie;
class QTimer;
class QWidget;
class Song;

// The client of the music search service. The main window owns one for the whole run.
//
// newSearch() destroys the tracks of the previous search (a track that is downloading lives on
// as a child of the searcher until its download reports) and asks for the first page;
// every reply (an XSPF playlist) becomes one Song per track position, appended to *songs.
// Tracks that pass their check are announced with addSong(), up to 250 per search; further
// pages are asked for while the checks of the earlier ones are still coming in.
//
// Nothing passed to the constructor is owned. The tracks in *songs belong to the main window
// between searches; tracks that fail their check (or pass after the cap) are taken out of
// *songs and freed here. A failed request ends in queryDone(false) with message() set to
// the transport error text ("Connection refused", "Host ... not found"; a reply that
// stalls past the inactivity limit says the service stopped answering, one past the deadline
// that it took too long), the news text (a reply that is no playlist, or larger than MaxReplySize)
// or the no-results text. A reply with an HTTP error status is not a transport error: its body is
// read like any other. Redirects are not followed.
//
// Pages are fetched with CurlFetch, one request at a time, on the event loop of the thread that
// made the searcher (the GUI thread); the two networks passed in are only handed on to the
// tracks, for their checks and their transfers.
class Searcher : public QObject
{
    Q_OBJECT

public:
    static constexpr int PageSize = 50;
    static constexpr int MaxAccepted = 250;
    static constexpr qint64 MaxReplySize = 8 * 1024 * 1024;

    // serviceUrl is the base "scheme://host[:port]" of the search service.
    Searcher(QList<Song *> *songs, QWidget *searchingLabel, QMovie *loaderMovie,
             QWidget *refineHint, QString *musicFolder, CurlNetwork *checkNetwork,
             CurlNetwork *transferNetwork, const QUrl &serviceUrl);
    ~Searcher() override;

    int total() const { return m_total; }
    QString message() const { return m_message; }

    // Inactivity limit of a search request in milliseconds (30 s unless set); a reply that
    // stalls longer fails like a transport error.
    void setTransferTimeout(int ms) { m_transferTimeout = ms; }
    int transferTimeout() const { return m_transferTimeout; }
    // Overall limit of a search request in milliseconds (60 s unless set): a server that drips
    // its reply never stalls, but must not keep the search controls disabled for ever.
    void setRequestDeadline(int ms) { m_requestDeadline = ms; }

    bool requestPending() const { return m_requestPending; }
    int expectedCount() const { return m_expectedCount; }
    int acceptedCount() const { return m_acceptedCount; }
    int reportedCount() const { return m_reportedCount; }
    int nextStart() const { return m_nextStart; }

    // The request address for the page at start, fully encoded as it goes out, with a fresh
    // request identifier. *currentQuery is taken as percent-encoded text.
    QByteArray requestUrl(int start) const;
    // Title, creator and location decoding: "\x" escapes and percent escapes are byte escapes
    // of UTF-8 text.
    static QString decodeValue(const QString &value);

signals:
    void queryDone(bool success);
    void addSong(Song *song);
    void newSearchPerformed();
    // A download that went on after its row was gone did not land; message says which track
    // and why, in the row's words ("not available", "file exists", ...).
    void handedOverDownloadFailed(const QString &message);

public slots:
    void newSearch(QString *currentQuery);
    void search(int start);

private slots:
    void replyFinished(const QString &error);
    void searchDone(bool error);
    void validation(bool failed);

private:
    void endReply();
    void failureEnd(const QString &message);
    QString newsText() const;

    QList<Song *> *songs;
    QPointer<QWidget> searchingLabel;
    QPointer<QMovie> loaderMovie;
    QPointer<QWidget> refineHint;
    QString *musicFolder;
    CurlNetwork *checkNetwork;
    CurlNetwork *transferNetwork;
    QUrl serviceUrl;

    bool m_requestPending = false;
    int m_expectedCount = 0;
    int m_acceptedCount = 0;
    int m_reportedCount = 0;
    QString *currentQuery = nullptr;
    QString m_message;

    CurlFetch *fetch;
    QByteArray replyBuffer;
    bool replyTooLarge = false;
    int m_transferTimeout = 30000;
    int m_requestDeadline = 60000;
    QTimer *deadline;

    int m_total = 0;
    int pageStart = 0;
    int pageEnd = 0;
    int m_nextStart = 0;
    int prevStart = 0;
    bool firstPage = false;
};
