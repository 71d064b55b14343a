#include "curlnetwork.h"

#include "curlmulti.h"
#include "curlreply.h"

#include <QMetaObject>

namespace {

// Connections a host, as QNetworkAccessManager allows.
constexpr long HostConnections = 6;
// What curl reads at a time: a track at 10 MB/s then takes about 80 reads a second.
constexpr long ReceiveBuffer = 128 * 1024;

} // namespace

CurlNetwork::CurlNetwork(QObject *parent)
    : QObject(parent)
    , curl(new CurlMulti(
          [this](const std::vector<CurlMulti::Done> &done) {
              for (const auto &[easy, result] : done) {
                  if (CurlReply *reply = running.value(easy))
                      reply->end(result == CURLE_OK ? CurlReply::NoError
                                                    : CurlReply::ConnectionFailed);
              }
              deliver();
          },
          this))
{
    curl_multi_setopt(curl->handle(), CURLMOPT_MAX_HOST_CONNECTIONS, HostConnections);

    // One thread: the share needs no locks.
    share = curl_share_init();
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
}

CurlNetwork::~CurlNetwork()
{
    const QList<CurlReply *> replies = findChildren<CurlReply *>(Qt::FindDirectChildrenOnly);
    qDeleteAll(replies);
    // Before the share, which the kept-alive connections still use.
    delete curl;
    curl_share_cleanup(share);
}

CurlReply *CurlNetwork::head(const QByteArray &url, const QList<QByteArray> &headers,
                             int inactivityMs)
{
    return start(true, url, headers, inactivityMs);
}

CurlReply *CurlNetwork::get(const QByteArray &url, const QList<QByteArray> &headers,
                            int inactivityMs)
{
    return start(false, url, headers, inactivityMs);
}

CurlReply *CurlNetwork::start(bool headOnly, const QByteArray &url,
                              const QList<QByteArray> &headers, int inactivityMs)
{
    CURL *easy = curl_easy_init();
    auto *reply = new CurlReply(this, easy, inactivityMs);

    reply->headerList = curl_slist_append(reply->headerList, "Accept:");
    reply->headerList = curl_slist_append(reply->headerList, "Connection: Keep-Alive");
    for (const QByteArray &header : headers)
        reply->headerList = curl_slist_append(reply->headerList, header.constData());

    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // Removing a request whose host lookup still runs would otherwise wait for the resolver
    // thread; the thread is left to end on its own.
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
    curl_easy_setopt(easy, CURLOPT_SHARE, share);
    curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "Mozilla/5.0");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, reply->headerList);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, ReceiveBuffer);
    curl_easy_setopt(easy, CURLOPT_NOBODY, headOnly ? 1L : 0L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlReply::headerCallback);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, reply);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlReply::writeCallback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, reply);

    if (!easy || curl_multi_add_handle(curl->handle(), easy) != CURLM_OK) {
        QPointer<CurlReply> failed(reply);
        QMetaObject::invokeMethod(
            this,
            [this, failed] {
                if (failed && failed->isRunning()) {
                    failed->end(CurlReply::ConnectionFailed);
                    deliver();
                }
            },
            Qt::QueuedConnection);
        return reply;
    }
    running.insert(easy, reply);
    return reply;
}

void CurlNetwork::detach(CurlReply *reply)
{
    if (running.remove(reply->easy))
        curl_multi_remove_handle(curl->handle(), reply->easy);
}

void CurlNetwork::notify(CurlReply *reply)
{
    if (reply->queued)
        return;
    reply->queued = true;
    pending.append(reply);
}

void CurlNetwork::deliver()
{
    while (!pending.isEmpty()) {
        const QPointer<CurlReply> reply = pending.takeFirst();
        if (reply)
            reply->deliver();
    }
}

void CurlNetwork::deliverLater()
{
    if (!pending.isEmpty())
        QMetaObject::invokeMethod(this, &CurlNetwork::deliver, Qt::QueuedConnection);
}
