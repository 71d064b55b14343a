#pragma once

#include <QHash>
#include <QObject>

#include <curl/curl.h>

#include <functional>
#include <vector>

class QSocketNotifier;
class QTimer;

// A libcurl multi handle run by the Qt event loop of the thread that made it: curl's sockets
// are watched with QSocketNotifiers and its timeouts with a QTimer, so no thread of ours is
// involved. The owner adds and removes its easy handles through handle().
//
// After every action curl takes, acted is called with the transfers curl reported finished
// (often none), once curl has returned: there the owner may call curl again, emit signals, and
// even delete this object, which is not touched afterwards. Everything happens on the thread
// that made it; deleting it closes the connections curl keeps alive.
class CurlMulti : public QObject
{
    Q_OBJECT

public:
    struct Done
    {
        CURL *easy;
        CURLcode result;
    };
    using Acted = std::function<void(const std::vector<Done> &done)>;

    explicit CurlMulti(Acted acted, QObject *parent = nullptr);
    ~CurlMulti() override;

    CURLM *handle() const { return multi; }

private:
    struct Watch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    static int socketCallback(CURL *easy, curl_socket_t socket, int what, void *self,
                              void *socketData);
    static int timerCallback(CURLM *multi, long timeoutMs, void *self);
    void watch(curl_socket_t socket, int what);
    void socketAction(curl_socket_t socket, int events);

    const Acted acted;
    CURLM *multi;
    QTimer *curlTimer;
    QHash<curl_socket_t, Watch> watches;
};
