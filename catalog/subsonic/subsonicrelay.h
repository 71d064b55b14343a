#pragma once

#include "httppending.h"
#include "httpreply.h"
#include "workqueue.h"

#include <atomic>
#include <functional>
#include <string>

namespace catalog {

// Brings a track found on the web to a client of the API, so that the client reaches only
// the catalogue: the track is fetched from its host (libcurl, http and https only, with the
// crawler's address checks after every name resolution and redirect) into memory, then
// answered whole or in the range asked for. Transfers run on a few threads of its own, which
// it owns; the reply goes to the waiting request from there. A transfer that fails, is refused
// or takes longer than its deadline is answered with the error the caller makes, never left
// waiting.
class SubsonicRelay
{
public:
    // Makes the reply for a relay that failed, from a message that says why.
    using ErrorReply = std::function<HttpReply(const std::string &message)>;

    SubsonicRelay(bool allowPrivate, double timeoutSeconds);
    ~SubsonicRelay();
    SubsonicRelay(const SubsonicRelay &) = delete;
    SubsonicRelay &operator=(const SubsonicRelay &) = delete;

    // Answers pending with the track at url, honouring the Range field range.
    void relay(HttpPending pending, std::string url, std::string range, ErrorReply error);
    // Ends the transfers under way and answers the waiting ones with their error. Idempotent.
    void stop();

    static constexpr uint64_t maxTrackBytes = uint64_t(256) << 20;

private:
    HttpReply fetch(const std::string &url, const std::string &range, const ErrorReply &error);

    const bool m_allowPrivate;
    const double m_timeoutSeconds;
    std::atomic<bool> m_stopping{false};
    WorkQueue m_work;
};

} // namespace catalog
