#include "curlnetwork.h"

#include "curlreply.h"

#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>

#include <limits>

namespace {

// Connections a host, as QNetworkAccessManager allows.
constexpr long HostConnections = 6;
// What curl reads at a time: a track at 10 MB/s then takes about 80 reads a second.
constexpr long ReceiveBuffer = 128 * 1024;

void initCurl()
{
    static const bool done = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    Q_UNUSED(done)
}

} // namespace

CurlNetwork::CurlNetwork(QObject *parent)
    : QObject(parent)
    , curlTimer(new QTimer(this))
{
    initCurl();
    multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &CurlNetwork::socketCallback);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &CurlNetwork::timerCallback);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, HostConnections);

    // One thread: the share needs no locks.
    share = curl_share_init();
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);

    curlTimer->setSingleShot(true);
    connect(curlTimer, &QTimer::timeout, this, [this] { socketAction(CURL_SOCKET_TIMEOUT, 0); });
}

CurlNetwork::~CurlNetwork()
{
    const QList<CurlReply *> replies = findChildren<CurlReply *>(Qt::FindDirectChildrenOnly);
    qDeleteAll(replies);
    // Closes the kept-alive connections, which still reports to watch().
    curl_multi_cleanup(multi);
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

    if (!easy || curl_multi_add_handle(multi, easy) != CURLM_OK) {
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
        curl_multi_remove_handle(multi, reply->easy);
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

int CurlNetwork::socketCallback(CURL *, curl_socket_t socket, int what, void *self, void *)
{
    static_cast<CurlNetwork *>(self)->watch(socket, what);
    return 0;
}

int CurlNetwork::timerCallback(CURLM *, long timeoutMs, void *self)
{
    // curl must not be called back into from here; the timer does it from the event loop.
    QTimer *timer = static_cast<CurlNetwork *>(self)->curlTimer;
    if (timeoutMs < 0)
        timer->stop();
    else
        timer->start(int(qMin(timeoutMs, long(std::numeric_limits<int>::max()))));
    return 0;
}

void CurlNetwork::watch(curl_socket_t socket, int what)
{
    // The notifier may be the one whose signal is being delivered; it goes once that is over.
    const auto drop = [](QSocketNotifier *&notifier) {
        if (!notifier)
            return;
        notifier->setEnabled(false);
        notifier->deleteLater();
        notifier = nullptr;
    };
    Watch &w = watches[socket];
    if (what == CURL_POLL_REMOVE) {
        drop(w.read);
        drop(w.write);
        watches.remove(socket);
        return;
    }
    const auto ensure = [this, socket](QSocketNotifier *&notifier, QSocketNotifier::Type type,
                                       bool wanted) {
        if (!notifier && wanted) {
            notifier = new QSocketNotifier(qintptr(socket), type, this);
            const int events = type == QSocketNotifier::Read ? CURL_CSELECT_IN : CURL_CSELECT_OUT;
            connect(notifier, &QSocketNotifier::activated, this,
                    [this, socket, events] { socketAction(socket, events); });
        }
        if (notifier)
            notifier->setEnabled(wanted);
    };
    ensure(w.read, QSocketNotifier::Read, what & CURL_POLL_IN);
    ensure(w.write, QSocketNotifier::Write, what & CURL_POLL_OUT);
}

void CurlNetwork::socketAction(curl_socket_t socket, int events)
{
    int transfers = 0;
    curl_multi_socket_action(multi, socket, events, &transfers);
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(multi, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        const CURLcode result = message->data.result;
        if (CurlReply *reply = running.value(message->easy_handle))
            reply->end(result == CURLE_OK ? CurlReply::NoError : CurlReply::ConnectionFailed);
    }
    deliver();
}
