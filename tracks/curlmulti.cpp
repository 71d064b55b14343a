#include "curlmulti.h"

#include <QSocketNotifier>
#include <QTimer>

#include <limits>

CurlMulti::CurlMulti(Acted acted, QObject *parent)
    : QObject(parent)
    , acted(std::move(acted))
    , curlTimer(new QTimer(this))
{
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    Q_UNUSED(initialised)
    multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &CurlMulti::socketCallback);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &CurlMulti::timerCallback);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);
    curlTimer->setSingleShot(true);
    connect(curlTimer, &QTimer::timeout, this, [this] { socketAction(CURL_SOCKET_TIMEOUT, 0); });
}

CurlMulti::~CurlMulti()
{
    // Closes the kept-alive connections, which still reports to watch().
    curl_multi_cleanup(multi);
}

int CurlMulti::socketCallback(CURL *, curl_socket_t socket, int what, void *self, void *)
{
    static_cast<CurlMulti *>(self)->watch(socket, what);
    return 0;
}

int CurlMulti::timerCallback(CURLM *, long timeoutMs, void *self)
{
    // curl must not be called back into from here; the timer does it from the event loop.
    QTimer *timer = static_cast<CurlMulti *>(self)->curlTimer;
    if (timeoutMs < 0)
        timer->stop();
    else
        timer->start(int(qMin(timeoutMs, long(std::numeric_limits<int>::max()))));
    return 0;
}

void CurlMulti::watch(curl_socket_t socket, int what)
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

void CurlMulti::socketAction(curl_socket_t socket, int events)
{
    int transfers = 0;
    curl_multi_socket_action(multi, socket, events, &transfers);
    std::vector<Done> done;
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(multi, &left)) {
        if (message->msg == CURLMSG_DONE)
            done.push_back({message->easy_handle, message->data.result});
    }
    // A copy: the owner may delete this object, and the function with it, from the call.
    const Acted call = acted;
    call(done);
}
