#pragma once

#include "crawlhost.h"
#include "crawlsettings.h"

#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

namespace catalog {

// What a transfer brought back, read off it as it ended. failure is empty when the answer
// came (whatever its status), else one word or two for the status page: "refused address",
// "not a page", "too large", "dns", "connect", "timeout", "redirects" (robots.txt), "truncated",
// "tls" or "network"; the crawler adds "redirects" and "bad redirect" for the redirects it
// follows itself. Plain data, on the crawl thread; host is HostSchedule's.
struct TransferResult
{
    CrawlHost *host = nullptr;
    CrawlJob job;
    std::string body; // up to the job's bound
    long status = 0;
    std::string failure;
    std::string effectiveUrl; // as asked for (robots.txt: after redirects)
    std::string location;     // of a redirect, absolute; empty when there is none
    std::string contentType;  // as sent, empty when absent
    std::string etag;         // of pages only
    std::string modified;     // Last-Modified, of pages only
    int64_t contentLength = -1;
    int64_t retryAfter = 0; // seconds, from Retry-After (a number or a date); 0 when absent
    CrawlClock::time_point started{};
    CrawlClock::time_point sent{}; // when the request left, its connection ready
};

// The crawl's HTTP transfers, all on one thread through libcurl's multi interface: sets up
// each request for its job (ranges, conditional headers, bounds on what is read), refuses
// every address the address policy forbids as its socket opens (after each name resolution
// and redirect), and hands each ended transfer back as a TransferResult. Owns the libcurl
// handles and borrows the settings, which outlive it; used on the crawl thread only, except
// wake(), which any thread may call.
class CrawlTransfers
{
public:
    using Ended = std::function<void(TransferResult &result)>;

    explicit CrawlTransfers(const CrawlSettings &settings);
    ~CrawlTransfers();
    CrawlTransfers(const CrawlTransfers &) = delete;
    CrawlTransfers &operator=(const CrawlTransfers &) = delete;

    // False with *error when libcurl cannot start.
    bool open(std::string *error);
    // Starts the job's request to host; it left at sent.
    void start(CrawlHost &host, CrawlJob job, CrawlClock::time_point sent);
    // Moves every transfer on and calls ended for each one that ended.
    void perform(const Ended &ended);
    // Waits for the network, wake() or at most timeout.
    void wait(std::chrono::milliseconds timeout);
    // Ends a wait() at once; from any thread, also before open().
    void wake();
    // Drops every transfer under way (they are fetched again next time) and the idle
    // handles, on the crawl thread as it ends.
    void cancel();
    // Lets libcurl go, once no thread can call wake() any more. Idempotent.
    void close();

private:
    struct Transfer;
    static size_t write(char *data, size_t size, size_t count, void *user);
    static curl_socket_t openSocket(void *user, curlsocktype purpose, curl_sockaddr *address);
    void setUp(Transfer &transfer);
    TransferResult result(Transfer &transfer, CURLcode code);

    const CrawlSettings &m_settings;
    const std::string m_userAgent;
    CURLM *m_multi = nullptr;
    std::vector<CURL *> m_idle;
    std::unordered_set<Transfer *> m_transfers;
};

} // namespace catalog
