#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>

#include <curl/curl.h>

class CurlReply;
class QSocketNotifier;
class QTimer;

// HTTP requests for track files through libcurl, run by the Qt event loop of the thread that
// made the network (the GUI thread): curl's sockets are watched with QSocketNotifiers and its
// timeouts with a QTimer, so no thread of ours is involved.
//
// The address goes out exactly as given, "." and ".." path segments included, which
// QNetworkAccessManager would remove. Otherwise requests behave as that manager's do: at most
// six connections a host, kept alive and reused, later requests waiting for one; cookies kept
// across the network's requests; no proxy; no redirect followed; an HTTP error status is an
// answer like any other.
//
// Replies are children of the network; deleting it ends and deletes those still there, without
// a word from them. Everything happens on the network's thread.
class CurlNetwork : public QObject
{
    Q_OBJECT

public:
    explicit CurlNetwork(QObject *parent = nullptr);
    ~CurlNetwork() override;

    // Starts a request for url, an absolute http or https address, fully encoded. headers are
    // "Name: value" lines added to or replacing the usual ones. A request that receives nothing
    // for inactivityMs, from its start on, fails with CurlReply::TimedOut. Never null; a request
    // that cannot start reports its failure from the event loop.
    CurlReply *head(const QByteArray &url, const QList<QByteArray> &headers, int inactivityMs);
    CurlReply *get(const QByteArray &url, const QList<QByteArray> &headers, int inactivityMs);

private:
    friend class CurlReply;

    struct Watch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    CurlReply *start(bool headOnly, const QByteArray &url, const QList<QByteArray> &headers,
                     int inactivityMs);
    static int socketCallback(CURL *easy, curl_socket_t socket, int what, void *self,
                              void *socketData);
    static int timerCallback(CURLM *multi, long timeoutMs, void *self);
    void watch(curl_socket_t socket, int what);
    void socketAction(curl_socket_t socket, int events);
    // Runs the replies' signals once curl has returned: curl must not be called from inside
    // its own callbacks, and a receiver may abort or start requests.
    void deliver();
    // The same from the event loop, for what curl reported outside socketAction().
    void deliverLater();
    void notify(CurlReply *reply);
    void detach(CurlReply *reply);

    CURLM *multi;
    CURLSH *share;
    QTimer *curlTimer;
    QHash<curl_socket_t, Watch> watches;
    QList<QPointer<CurlReply>> pending;
    QHash<CURL *, CurlReply *> running;
};
