#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <curl/curl.h>

class CurlMulti;
class QTimer;

// One HTTP GET at a time through libcurl, run by the Qt event loop through a CurlMulti, so no
// thread of ours is involved.
//
// The address goes out exactly as given. QNetworkAccessManager cannot do that: QUrl decodes
// "%2E" and the HTTP stack then removes "." and ".." segments, so a search for "." or ".."
// would reach the service as another path.
//
// Otherwise a request looks and ends as one of QNetworkAccessManager's would: the same
// headers and content encodings, no proxy, no redirect followed, an HTTP error status read
// like any other reply, and failures reported in QNetworkReply's words.
class CurlFetch : public QObject
{
    Q_OBJECT

public:
    explicit CurlFetch(QObject *parent = nullptr);
    ~CurlFetch() override;

    // Starts a GET of url, fully encoded. A transfer still running is ended first, silently.
    // A body that grows past maxBody bytes ends the transfer at once, with tooLarge() set; a
    // transfer that receives nothing for inactivityMs fails with "the search service stopped
    // answering" (not QNetworkReply's "Operation canceled", which reads as the user's doing).
    void get(const QByteArray &url, qint64 maxBody, int inactivityMs);
    // Ends the running transfer; finished() is not emitted for it.
    void abort();
    bool isRunning() const { return running; }

    // The (decoded) body of the last transfer; empty when it was too large.
    QByteArray takeBody();
    bool tooLarge() const { return bodyTooLarge; }

signals:
    // error is empty unless the transfer failed on the way (refused, unresolved, closed early,
    // stalled, ...).
    void finished(const QString &error);

private:
    static size_t writeCallback(char *data, size_t size, size_t count, void *self);

    void release();
    void finish(CURLcode code);
    void finishWith(const QString &error);
    QString errorText(CURLcode code) const;

    CurlMulti *curl;
    CURL *easy;
    bool running = false;
    curl_slist *headers = nullptr;
    QTimer *inactivity;

    quint64 generation = 0;
    QString host;
    QByteArray body;
    qint64 maxBody = 0;
    bool bodyTooLarge = false;
    char errorBuffer[CURL_ERROR_SIZE] = {};
};
