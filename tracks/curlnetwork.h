#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>

#include <curl/curl.h>

class CurlMulti;
class CurlReply;

// HTTP requests for track files through libcurl, run by the Qt event loop of the thread that
// made the network (the GUI thread), through a CurlMulti.
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

    CurlReply *start(bool headOnly, const QByteArray &url, const QList<QByteArray> &headers,
                     int inactivityMs);
    // Runs the replies' signals once curl has returned: curl must not be called from inside
    // its own callbacks, and a receiver may abort or start requests.
    void deliver();
    // The same from the event loop, for what curl reported outside its actions.
    void deliverLater();
    void notify(CurlReply *reply);
    void detach(CurlReply *reply);

    CurlMulti *curl;
    CURLSH *share;
    QList<QPointer<CurlReply>> pending;
    QHash<CURL *, CurlReply *> running;
};
