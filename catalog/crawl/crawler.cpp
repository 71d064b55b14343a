#include "crawler.h"

#include "addresspolicy.h"
#include "crawlstore.h"
#include "feedlinks.h"
#include "htmllinks.h"
#include "indexwriter.h"
#include "playlistlinks.h"
#include "remotetrack.h"
#include "robotsrules.h"
#include "weblink.h"
#include "workqueue.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#ifndef LARKSPIN_VERSION
#define LARKSPIN_VERSION "0"
#endif
#ifndef LARKSPIN_README_URL
#define LARKSPIN_README_URL ""
#endif

namespace catalog {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t maxHtmlBytes = 5 << 20;
constexpr size_t maxListBytes = 20 << 20; // feeds and playlists
constexpr size_t maxRobotsBytes = 512 << 10;
constexpr long maxRedirects = 5;
constexpr double maxCrawlDelay = 60; // what robots.txt may ask; more would stall a host
constexpr auto batchTime = std::chrono::milliseconds(250);
constexpr size_t maxParseBytes = 64 << 20;
constexpr auto dueCheckTime = std::chrono::seconds(5);
constexpr auto robotsLifetime = std::chrono::hours(24);
constexpr auto robotsRetry = std::chrono::minutes(10);

int64_t wallNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

// "text/html; charset=ISO-8859-1" → "text/html", and the charset into *charset.
std::string mediaType(const char *header, std::string *charset = nullptr)
{
    const std::string text = header ? lower(header) : std::string();
    const size_t semicolon = text.find(';');
    std::string type = text.substr(0, semicolon);
    while (!type.empty() && type.back() == ' ')
        type.pop_back();
    if (charset && semicolon != std::string::npos) {
        const size_t at = text.find("charset=", semicolon);
        if (at != std::string::npos) {
            std::string value = text.substr(at + 8);
            value = value.substr(0, value.find(';'));
            value.erase(std::remove(value.begin(), value.end(), '"'), value.end());
            value.erase(std::remove(value.begin(), value.end(), ' '), value.end());
            *charset = value;
        }
    }
    return type;
}

bool hasEnding(const std::string &url, std::initializer_list<const char *> endings)
{
    std::string path = lower(WebLink::target(url));
    path = path.substr(0, path.find('?'));
    for (const char *ending : endings) {
        const size_t length = std::strlen(ending);
        if (path.size() >= length && path.compare(path.size() - length, length, ending) == 0)
            return true;
    }
    return false;
}

const std::initializer_list<const char *> playlistEndings = {".m3u", ".m3u8", ".pls", ".xspf"};

enum class PageKind { Html, Feed, Playlist, Other };

PageKind pageKind(const std::string &type, const std::string &url, std::string_view body)
{
    static const char *const playlistTypes[]
        = {"audio/x-mpegurl",       "audio/mpegurl", "application/vnd.apple.mpegurl",
           "application/x-mpegurl", "audio/x-scpls", "application/xspf+xml",
           "application/pls+xml"};
    for (const char *playlist : playlistTypes) {
        if (type == playlist)
            return PageKind::Playlist;
    }
    if (type == "application/rss+xml" || type == "application/atom+xml")
        return PageKind::Feed;
    if (type == "text/html" || type == "application/xhtml+xml")
        return PageKind::Html;
    if (hasEnding(url, playlistEndings))
        return PageKind::Playlist;
    // Servers label feeds and playlists loosely: look at how the text begins.
    const std::string start = lower(std::string(body.substr(0, 2048)));
    if (start.find("<rss") != std::string::npos || start.find("<feed") != std::string::npos
        || start.find("<rdf:rdf") != std::string::npos)
        return PageKind::Feed;
    if (start.find("<playlist") != std::string::npos || start.find("#extm3u") == 0
        || start.find("[playlist]") != std::string::npos)
        return PageKind::Playlist;
    if (start.find("<html") != std::string::npos
        || start.find("<!doctype html") != std::string::npos)
        return PageKind::Html;
    return PageKind::Other;
}

// What a page, feed or playlist may be sent as; anything else is not read past its header.
bool isPageType(const std::string &type, const std::string &url)
{
    if (type.empty() || type.compare(0, 5, "text/") == 0 || type.find("xml") != std::string::npos
        || type.find("mpegurl") != std::string::npos || type == "audio/x-scpls")
        return true;
    return type == "application/octet-stream" && hasEnding(url, playlistEndings);
}

// Links to files no page reader can use; listings are full of them.
bool isSurelyNoPage(const std::string &url)
{
    return hasEnding(url,
                     {".jpg",  ".jpeg", ".png", ".gif",  ".webp", ".svg", ".ico",  ".bmp",
                      ".css",  ".js",   ".pdf", ".zip",  ".rar",  ".7z",  ".tar",  ".gz",
                      ".tgz",  ".bz2",  ".xz",  ".iso",  ".exe",  ".dmg", ".deb",  ".rpm",
                      ".flac", ".ogg",  ".oga", ".opus", ".wav",  ".aac", ".m4a",  ".wma",
                      ".mp2",  ".mp4",  ".m4v", ".mkv",  ".avi",  ".mov", ".webm", ".torrent"});
}

bool isAudioType(const std::string &type)
{
    return type.compare(0, 6, "audio/") == 0 || type == "application/octet-stream";
}

} // namespace

class Crawler::Engine
{
public:
    Engine(IndexWriter &writer, std::mutex &writerLock, CrawlSettings settings, Log log)
        : m_writer(writer)
        , m_writerLock(writerLock, std::defer_lock)
        , m_settings(std::move(settings))
        , m_log(std::move(log))
        , m_userAgent(userAgent())
    {}

    ~Engine() { stop(); }

    bool start(std::string *error)
    {
        m_multi = curl_multi_init();
        if (!m_multi) {
            if (error)
                *error = "cannot start libcurl";
            return false;
        }
        curl_multi_setopt(m_multi, CURLMOPT_MAX_HOST_CONNECTIONS, long(m_settings.perHost));
        curl_multi_setopt(m_multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, long(m_settings.connections));
        // Connections stay open for the hosts that come back soon; reuse decides throughput.
        curl_multi_setopt(m_multi, CURLMOPT_MAXCONNECTS, long(m_settings.connections * 4));
        {
            std::lock_guard<std::mutex> lock(*m_writerLock.mutex());
            m_store = m_writer.openTables<CrawlStore>(error);
            if (!m_store)
                return false;
            m_writer.begin();
            for (const auto &seed : m_settings.seeds)
                m_store->addSeed(seed, WebLink::origin(seed));
            if (!m_writer.commit()) {
                if (error)
                    *error = "cannot store the crawl seeds: " + m_writer.lastError();
                return false;
            }
        }
        m_started = Clock::now();
        m_thread = std::thread([this] { run(); });
        return true;
    }

    void stop()
    {
        m_stopping = true;
        if (m_multi)
            curl_multi_wakeup(m_multi);
        if (m_thread.joinable())
            m_thread.join();
        if (m_multi) {
            curl_multi_cleanup(m_multi);
            m_multi = nullptr;
        }
    }

    CrawlStatus status() const
    {
        std::lock_guard<std::mutex> lock(m_statusMutex);
        return m_status;
    }

private:
    enum class JobKind { Robots, Page, TrackHead, TrackStart, TrackAudio, TrackEnd, Recheck };

    struct Job
    {
        JobKind kind = JobKind::Page;
        std::string url;
        int depth = 0;
        std::string etag;
        std::string modified;
        bool fetchedBefore = false;
        FoundTrack found;
        int64_t size = 0;
        std::string head;  // the track's first bytes, once read
        std::string audio; // where the audio starts, when a large tag hides it from head
        int64_t audioOffset = 0;
    };

    struct Host
    {
        std::string origin;
        std::deque<Job> pageJobs; // before tracks: what a host holds is known sooner
        std::deque<Job> jobs;
        std::deque<Job> next; // the later requests of a track begun
        unsigned inFlight = 0;
        Clock::time_point nextStart{};
        enum class Robots { Unknown, Fetching, Ready } robots = Robots::Unknown;
        Clock::time_point robotsExpire{};
        bool robotsUnavailable = false;
        RobotsRules rules;
        double delay = 0;
        size_t knownPages = 0;
        size_t pages = 0;
        size_t tracks = 0;
        std::map<std::string, size_t> errors;
        bool queued() const { return !jobs.empty() || !next.empty() || !pageJobs.empty(); }
        size_t queueLength() const { return pageJobs.size() + jobs.size() + next.size(); }
    };

    struct Transfer
    {
        Engine *engine = nullptr;
        CURL *easy = nullptr;
        Host *host = nullptr;
        Job job;
        std::string body;
        size_t limit = 0;
        bool limitIsEnough = false; // reaching the limit ends the transfer without an error
        bool overLimit = false;
        bool typeSeen = false;
        bool notPage = false; // a picture, an archive, ...: not read
        bool refusedAddress = false;
        curl_slist *headers = nullptr;
        Clock::time_point started{};
    };

    static size_t write(char *data, size_t size, size_t count, void *user)
    {
        auto *transfer = static_cast<Transfer *>(user);
        const size_t bytes = size * count;
        if (!transfer->typeSeen && transfer->job.kind == JobKind::Page) {
            transfer->typeSeen = true;
            char *type = nullptr;
            curl_easy_getinfo(transfer->easy, CURLINFO_CONTENT_TYPE, &type);
            const std::string media = mediaType(type);
            if (media == "text/html")
                transfer->limit = maxHtmlBytes;
            long status = 0;
            curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
            if (status == 200 && !isPageType(media, transfer->job.url)) {
                transfer->notPage = true;
                return CURL_WRITEFUNC_ERROR;
            }
        }
        const size_t room = transfer->limit - std::min(transfer->limit, transfer->body.size());
        transfer->body.append(data, std::min(room, bytes));
        if (bytes > room) {
            transfer->overLimit = true;
            return CURL_WRITEFUNC_ERROR;
        }
        return bytes;
    }

    static curl_socket_t openSocket(void *user, curlsocktype purpose, curl_sockaddr *address)
    {
        auto *transfer = static_cast<Transfer *>(user);
        if (purpose != CURLSOCKTYPE_IPCXN)
            return CURL_SOCKET_BAD;
        if (!AddressPolicy::allowed(&address->addr, transfer->engine->m_settings.allowPrivate)) {
            transfer->refusedAddress = true;
            return CURL_SOCKET_BAD;
        }
        return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    }

    Host &host(const std::string &origin)
    {
        auto &slot = m_hosts[origin];
        if (!slot) {
            slot = std::make_unique<Host>();
            slot->origin = origin;
            slot->delay = m_settings.delaySeconds;
            m_order.push_back(slot.get());
        }
        return *slot;
    }

    // The writes of a quarter second share one transaction, under the writer's lock.
    void openBatch()
    {
        if (m_batchOpen)
            return;
        m_writerLock.lock();
        m_writer.begin();
        m_batchOpen = true;
        m_batchStarted = Clock::now();
    }

    void commitBatch()
    {
        if (!m_batchOpen)
            return;
        if (m_seedsChanged) {
            refreshSeeds();
            m_seedsChanged = false;
        }
        if (!m_writer.commit())
            m_log("crawl: cannot write the index: " + m_writer.lastError());
        m_batchOpen = false;
        m_writerLock.unlock();
    }

    void enqueuePage(const CrawlStore::Page &page)
    {
        if (!m_queuedPages.insert(page.url).second)
            return;
        Job job;
        job.kind = JobKind::Page;
        job.url = page.url;
        job.depth = page.depth;
        job.etag = page.etag;
        job.modified = page.modified;
        job.fetchedBefore = page.fetched != 0;
        host(page.origin).pageJobs.push_back(std::move(job));
        ++m_queued;
    }

    void enqueueTrack(const FoundTrack &found, const std::string &origin, JobKind kind)
    {
        if (origin.empty() || m_queuedTracks.count(found.url))
            return;
        Host &target = host(origin);
        // What the host's robots.txt already forbids waits for a later crawl of the page, as
        // it would when its turn came.
        if (target.robots == Host::Robots::Ready && !target.robotsUnavailable
            && Clock::now() < target.robotsExpire
            && !target.rules.allowed(WebLink::target(found.url))) {
            ++target.errors["disallowed by robots.txt"];
            return;
        }
        m_queuedTracks.insert(found.url);
        Job job;
        job.kind = kind;
        job.url = found.url;
        job.found = found;
        target.jobs.push_back(std::move(job));
        ++m_queued;
    }

    void loadFrontier()
    {
        openBatch();
        m_store->limitRecrawl(recrawlDue(0));
        for (const auto &[origin, count] : m_store->pagesPerOrigin())
            host(origin).knownPages = count;
        for (const auto &page : m_store->duePages(wallNow(), size_t(-1) >> 1))
            enqueuePage(page);
        for (const auto &track : m_store->tracksToRead())
            enqueueTrack(track.found, track.origin, JobKind::TrackHead);
        refreshSeeds();
        commitBatch();
    }

    void refreshSeeds()
    {
        std::vector<CrawlStatus::Seed> seeds;
        for (const auto &page : m_store->seeds())
            seeds.push_back({page.url, page.fetched, page.outcome});
        m_seeds = std::move(seeds);
    }

    void error(Host &host, const std::string &kind)
    {
        ++host.errors[kind];
        ++m_errors;
    }

    int64_t recrawlDue(int64_t now) const
    {
        return now + std::max<int64_t>(1, int64_t(m_settings.recrawlHours * 3600));
    }

    // The wait between two requests to a host, with a margin for the time a request spends
    // between leaving here and arriving there.
    static Clock::duration pause(const Host &host)
    {
        if (host.delay <= 0)
            return {};
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(host.delay * 1.01 + 0.005));
    }

    bool canStart(const Host &host, Clock::time_point now) const
    {
        return host.inFlight < m_settings.perHost && now >= host.nextStart;
    }

    void startTransfers(Clock::time_point now, Clock::time_point &wake)
    {
        // Starts the host's next request if it may have one now.
        const auto tryHost = [&](Host &host) {
            while (host.queued()) {
                if (host.robots == Host::Robots::Ready && now >= host.robotsExpire)
                    host.robots = Host::Robots::Unknown;
                if (host.robots == Host::Robots::Fetching)
                    return false;
                if (!canStart(host, now)) {
                    if (host.inFlight < m_settings.perHost)
                        wake = std::min(wake, host.nextStart);
                    return false;
                }
                Job job;
                if (host.robots == Host::Robots::Unknown) {
                    job.kind = JobKind::Robots;
                    job.url = host.origin + "/robots.txt";
                    host.robots = Host::Robots::Fetching;
                } else {
                    std::deque<Job> &from = !host.next.empty()       ? host.next
                                            : !host.pageJobs.empty() ? host.pageJobs
                                                                     : host.jobs;
                    job = std::move(from.front());
                    from.pop_front();
                    --m_queued;
                    if (!admitted(host, job))
                        continue;
                }
                begin(host, std::move(job));
                return true;
            }
            return false;
        };
        // A transfer that just ended left its connection open: its host goes first, for one
        // request, so connections are reused rather than opened for other hosts.
        while (!m_warm.empty() && m_inFlight < m_settings.connections) {
            Host *host = m_warm.front();
            m_warm.pop_front();
            tryHost(*host);
        }
        // Then one request a host per round.
        for (bool started = true; started && m_inFlight < m_settings.connections;) {
            started = false;
            for (size_t i = 0; i < m_order.size() && m_inFlight < m_settings.connections; ++i) {
                m_cursor = (m_cursor + 1) % m_order.size();
                started |= tryHost(*m_order[m_cursor]);
            }
        }
    }

    // Whether robots.txt lets the job go ahead; settles it when it does not.
    bool admitted(Host &host, Job &job)
    {
        const bool allowed
            = !host.robotsUnavailable
              && (job.kind == JobKind::TrackStart || job.kind == JobKind::TrackAudio
                  || job.kind == JobKind::TrackEnd || host.rules.allowed(WebLink::target(job.url)));
        if (allowed)
            return true;
        const char *reason
            = host.robotsUnavailable ? "robots.txt unavailable" : "disallowed by robots.txt";
        ++host.errors[reason];
        if (job.kind == JobKind::Page) {
            openBatch();
            const int64_t now = wallNow();
            m_queuedPages.erase(job.url);
            m_store->pageFailed(job.url, now, recrawlDue(now), reason);
        } else {
            // The track stays to be read: robots.txt may allow it when a page that links it
            // is fetched again.
            m_queuedTracks.erase(job.url);
        }
        return false;
    }

    void begin(Host &host, Job job)
    {
        // The delay runs from when the request leaves, not from when this round began.
        const auto now = Clock::now();
        auto transfer = std::make_unique<Transfer>();
        transfer->engine = this;
        transfer->host = &host;
        transfer->job = std::move(job);
        transfer->started = now;
        CURL *easy = m_idle.empty() ? curl_easy_init() : m_idle.back();
        if (!m_idle.empty())
            m_idle.pop_back();
        transfer->easy = easy;
        const Job &j = transfer->job;
        curl_easy_setopt(easy, CURLOPT_URL, j.url.c_str());
        curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Engine::write);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &Engine::openSocket);
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, transfer.get());
        curl_easy_setopt(easy, CURLOPT_USERAGENT, m_userAgent.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, maxRedirects);
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, 10L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, 30L);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
        // Every address is checked as the socket opens; a proxy would hide it.
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
        switch (j.kind) {
        case JobKind::Robots:
            transfer->limit = maxRobotsBytes;
            transfer->limitIsEnough = true;
            curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
            break;
        case JobKind::Page:
            transfer->limit = maxListBytes;
            curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
            if (!j.etag.empty())
                transfer->headers
                    = curl_slist_append(transfer->headers, ("If-None-Match: " + j.etag).c_str());
            if (!j.modified.empty())
                transfer->headers = curl_slist_append(transfer->headers,
                                                      ("If-Modified-Since: " + j.modified).c_str());
            curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headers);
            break;
        case JobKind::TrackHead:
        case JobKind::Recheck:
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
            break;
        case JobKind::TrackStart:
            transfer->limit = size_t(RemoteTrack::headBytes);
            transfer->limitIsEnough = true;
            if (j.size > RemoteTrack::headBytes + RemoteTrack::tailBytes)
                curl_easy_setopt(easy, CURLOPT_RANGE, "0-65535");
            else
                transfer->limit = size_t(j.size);
            break;
        case JobKind::TrackAudio: {
            transfer->limit = size_t(RemoteTrack::audioBytes);
            transfer->limitIsEnough = true;
            const std::string range = std::to_string(j.audioOffset) + "-"
                                      + std::to_string(j.audioOffset + RemoteTrack::audioBytes - 1);
            curl_easy_setopt(easy, CURLOPT_RANGE, range.c_str());
            break;
        }
        case JobKind::TrackEnd:
            transfer->limit = size_t(RemoteTrack::tailBytes);
            transfer->limitIsEnough = true;
            curl_easy_setopt(easy, CURLOPT_RANGE, "-128");
            break;
        }
        ++host.inFlight;
        ++m_inFlight;
        ++m_requests;
        host.nextStart = now + pause(host);
        curl_multi_add_handle(m_multi, easy);
        m_transfers.insert(transfer.release());
    }

    void finish(CURL *easy, CURLcode code)
    {
        Transfer *raw = nullptr;
        curl_easy_getinfo(easy, CURLINFO_PRIVATE, &raw);
        std::unique_ptr<Transfer> transfer(raw);
        m_transfers.erase(raw);
        curl_multi_remove_handle(m_multi, easy);
        Host &host = *transfer->host;
        --host.inFlight;
        --m_inFlight;
        m_warm.push_back(&host);

        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        std::string failure;
        if (code != CURLE_OK && !(transfer->overLimit && transfer->limitIsEnough)) {
            if (transfer->refusedAddress)
                failure = "refused address";
            else if (transfer->notPage)
                failure = "not a page";
            else if (transfer->overLimit)
                failure = "too large";
            else if (code == CURLE_COULDNT_RESOLVE_HOST)
                failure = "dns";
            else if (code == CURLE_COULDNT_CONNECT)
                failure = "connect";
            else if (code == CURLE_OPERATION_TIMEDOUT)
                failure = "timeout";
            else if (code == CURLE_TOO_MANY_REDIRECTS)
                failure = "redirects";
            else if (code == CURLE_PARTIAL_FILE)
                failure = "truncated";
            else if (code == CURLE_SSL_CONNECT_ERROR || code == CURLE_PEER_FAILED_VERIFICATION)
                failure = "tls";
            else
                failure = "network";
        }
        switch (transfer->job.kind) {
        case JobKind::Robots:
            robotsRead(host, *transfer, status, failure);
            break;
        case JobKind::Page:
            pageRead(host, *transfer, status, failure);
            break;
        case JobKind::TrackHead:
        case JobKind::TrackStart:
        case JobKind::TrackAudio:
        case JobKind::TrackEnd:
            trackRead(host, *transfer, status, failure);
            break;
        case JobKind::Recheck:
            recheckRead(host, *transfer, status, failure);
            break;
        }
        // The request left once its connection was ready: the next waits from then.
        curl_off_t sentAfter = 0;
        curl_easy_getinfo(easy, CURLINFO_PRETRANSFER_TIME_T, &sentAfter);
        host.nextStart = std::max(
            host.nextStart, transfer->started + std::chrono::microseconds(sentAfter) + pause(host));
        if (transfer->headers)
            curl_slist_free_all(transfer->headers);
        curl_easy_reset(easy);
        m_idle.push_back(easy);
    }

    void robotsRead(Host &host, Transfer &transfer, long status, const std::string &failure)
    {
        const auto now = Clock::now();
        host.robots = Host::Robots::Ready;
        host.robotsUnavailable = false;
        host.rules = RobotsRules();
        host.delay = m_settings.delaySeconds;
        host.robotsExpire = now + robotsLifetime;
        const bool failed = !failure.empty();
        if (!failed && status == 200) {
            host.rules = RobotsRules::parse(transfer.body, productToken());
            if (const auto delay = host.rules.crawlDelay())
                host.delay = std::max(host.delay, std::min(*delay, maxCrawlDelay));
            // The delay runs from this request too.
            host.nextStart = std::max(host.nextStart, transfer.started + pause(host));
        } else if (failed || status >= 500 || status == 429) {
            // An unreachable robots.txt forbids everything until it answers (RFC 9309).
            host.robotsUnavailable = true;
            host.robotsExpire = now + robotsRetry;
            error(host, "robots.txt: " + (failed ? failure : "http " + std::to_string(status)));
        }
        // Any other answer (404 and the like): no rules.
    }

    void pageRead(Host &host, Transfer &transfer, long status, const std::string &failure)
    {
        Job &job = transfer.job;
        openBatch();
        if (job.depth == 0)
            m_seedsChanged = true;
        const int64_t now = wallNow();
        // A page read in full stays queued until its links are stored.
        if (!failure.empty() || status != 200)
            m_queuedPages.erase(job.url);
        if (!failure.empty() || (status >= 400 && status != 404 && status != 410)
            || (status != 200 && status != 304 && status < 400)) {
            const std::string kind = failure.empty() ? "http " + std::to_string(status) : failure;
            error(host, kind);
            m_store->pageFailed(job.url, now, recrawlDue(now), kind);
            return;
        }
        if (status == 404 || status == 410) {
            error(host, "http " + std::to_string(status));
            removeTracks(m_store->pageGone(job.url));
            return;
        }
        if (status == 304) {
            ++host.pages;
            ++m_pages;
            m_store->pageFetched(job.url, now, recrawlDue(now), job.etag, job.modified,
                                 "not modified");
            for (const auto &track : m_store->linkedTracks(job.url))
                followTrack(track.found, track.origin, track.state, true);
            return;
        }
        char *effective = nullptr;
        curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &effective);
        char *typeHeader = nullptr;
        curl_easy_getinfo(transfer.easy, CURLINFO_CONTENT_TYPE, &typeHeader);
        auto page = std::make_shared<ParsedPage>();
        page->host = &host;
        page->job = std::move(job);
        page->etag = header(transfer.easy, "ETag");
        page->modified = header(transfer.easy, "Last-Modified");
        const std::string base = effective ? effective : page->job.url;
        const std::string type = typeHeader ? typeHeader : "";
        auto body = std::make_shared<std::string>(std::move(transfer.body));
        // Pages are parsed beside this thread, which goes on fetching and storing; past a
        // bound of bytes waiting, here, so that a burst of large pages cannot pile up.
        const size_t bytes = body->size();
        const auto parse = [this, page, body, base, type, bytes](bool run) {
            m_parseBytes -= bytes;
            if (!run)
                return;
            parsePage(*page, *body, base, type);
            std::lock_guard<std::mutex> lock(m_parsedMutex);
            m_parsed.push_back(page);
            curl_multi_wakeup(m_multi);
        };
        ++m_parsing;
        m_parseBytes += bytes;
        if (m_parseBytes > maxParseBytes || !m_parser.submit(parse)) {
            m_parseBytes -= bytes;
            parsePage(*page, *body, base, type);
            pageParsed(*page);
        }
    }

    struct ParsedPage
    {
        Host *host = nullptr;
        Job job;
        std::string etag;
        std::string modified;
        PageLinks links;
        bool notPage = false;
    };

    // On the parser thread: reads nothing but its arguments.
    static void parsePage(ParsedPage &page, std::string_view body, const std::string &base,
                          const std::string &typeHeader)
    {
        std::string charset;
        const std::string type = mediaType(typeHeader.c_str(), &charset);
        switch (pageKind(type, base, body)) {
        case PageKind::Html:
            page.links = HtmlLinks::read(body, base, charset);
            break;
        case PageKind::Feed:
            page.links = FeedLinks::read(body, base);
            break;
        case PageKind::Playlist:
            page.links = PlaylistLinks::read(body, base);
            break;
        case PageKind::Other:
            page.notPage = true;
            break;
        }
    }

    void takeParsed()
    {
        std::vector<std::shared_ptr<ParsedPage>> pages;
        {
            std::lock_guard<std::mutex> lock(m_parsedMutex);
            pages.swap(m_parsed);
        }
        for (const auto &page : pages)
            pageParsed(*page);
    }

    void pageParsed(ParsedPage &page)
    {
        --m_parsing;
        Host &host = *page.host;
        Job &job = page.job;
        const PageLinks &links = page.links;
        openBatch();
        ++host.pages;
        ++m_pages;
        if (page.notPage)
            error(host, "not a page");
        const int64_t now = wallNow();
        m_store->pageFetched(job.url, now, recrawlDue(now), page.etag, page.modified,
                             "200, " + std::to_string(links.pages.size()) + " pages, "
                                 + std::to_string(links.tracks.size()) + " tracks");
        if (job.depth == 0)
            m_seedsChanged = true;
        if (job.depth < m_settings.maxDepth) {
            for (const auto &url : links.pages) {
                if (isSurelyNoPage(url))
                    continue;
                const std::string origin = WebLink::origin(url);
                Host &target = this->host(origin);
                if (target.knownPages >= m_settings.pagesPerHost) {
                    ++target.errors["page bound reached"];
                    continue;
                }
                if (m_store->addPage(url, origin, job.depth + 1)) {
                    ++target.knownPages;
                    CrawlStore::Page next;
                    next.url = url;
                    next.origin = origin;
                    next.depth = job.depth + 1;
                    enqueuePage(next);
                }
            }
        }
        std::vector<std::string> origins;
        origins.reserve(links.tracks.size());
        for (const auto &track : links.tracks) {
            // Most tracks of a page share their host with the one before.
            const std::string *last = origins.empty() ? nullptr : &origins.back();
            if (last && track.url.size() > last->size() && track.url[last->size()] == '/'
                && track.url.compare(0, last->size(), *last) == 0)
                origins.push_back(*last);
            else
                origins.push_back(WebLink::origin(track.url));
        }
        std::vector<std::string> orphans;
        const auto states = m_store->setLinks(job.url, links.tracks, origins, &orphans);
        for (size_t i = 0; i < states.size(); ++i) {
            if (states[i])
                followTrack(links.tracks[i], origins[i], *states[i], job.fetchedBefore);
        }
        removeTracks(orphans);
        m_queuedPages.erase(job.url);
    }

    void followTrack(const FoundTrack &found, const std::string &origin,
                     CrawlStore::TrackState state, bool recheck)
    {
        if (state == CrawlStore::TrackState::ToRead)
            enqueueTrack(found, origin, JobKind::TrackHead);
        else if (state == CrawlStore::TrackState::Indexed && recheck)
            enqueueTrack(found, origin, JobKind::Recheck);
    }

    void removeTracks(const std::vector<std::string> &urls)
    {
        for (const auto &url : urls) {
            m_writer.removeAt(url);
            m_store->trackRemoved(url);
            ++m_tracksRemoved;
        }
    }

    static std::string header(CURL *easy, const char *name)
    {
        curl_header *value = nullptr;
        if (curl_easy_header(easy, name, 0, CURLH_HEADER, -1, &value) != CURLHE_OK || !value)
            return {};
        return value->value;
    }

    void trackRead(Host &host, Transfer &transfer, long status, const std::string &failure)
    {
        Job &job = transfer.job;
        const auto refuse = [&](const std::string &kind, bool forGood) {
            error(host, kind);
            m_queuedTracks.erase(job.url);
            if (forGood) {
                openBatch();
                m_store->trackRefused(job.url);
            }
        };
        if (!failure.empty())
            return refuse(failure, failure != "network" && failure != "timeout"
                                       && failure != "connect" && failure != "dns");
        if (status >= 500 || status == 429)
            return refuse("http " + std::to_string(status), false);
        if (job.kind == JobKind::TrackHead) {
            if (status != 200)
                return refuse("http " + std::to_string(status), true);
            char *typeHeader = nullptr;
            curl_easy_getinfo(transfer.easy, CURLINFO_CONTENT_TYPE, &typeHeader);
            if (!isAudioType(mediaType(typeHeader)))
                return refuse("not audio", true);
            curl_off_t length = -1;
            curl_easy_getinfo(transfer.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
            if (length <= 0)
                return refuse("no length", true);
            job.kind = JobKind::TrackStart;
            job.size = int64_t(length);
            host.next.push_back(std::move(job));
            ++m_queued;
            return;
        }
        if (job.kind == JobKind::TrackStart) {
            const bool ranged = job.size > RemoteTrack::headBytes + RemoteTrack::tailBytes;
            if (status != 200 && !(ranged && status == 206))
                return refuse("http " + std::to_string(status), true);
            if (!ranged && int64_t(transfer.body.size()) != job.size)
                return refuse("truncated", true);
            job.head = std::move(transfer.body);
            job.audioOffset = RemoteTrack::audioStart(job.head);
            if (ranged && status == 206) {
                // Cover art can fill the first bytes: then read where the audio begins.
                const bool hidden = job.audioOffset > 0 && job.audioOffset < job.size
                                    && job.audioOffset <= RemoteTrack::maxTagBytes;
                job.kind = hidden ? JobKind::TrackAudio : JobKind::TrackEnd;
                host.next.push_back(std::move(job));
                ++m_queued;
                return;
            }
            return indexTrack(host, job, {});
        }
        if (job.kind == JobKind::TrackAudio) {
            if (status != 206)
                return refuse("http " + std::to_string(status), true);
            job.audio = std::move(transfer.body);
            job.kind = JobKind::TrackEnd;
            host.next.push_back(std::move(job));
            ++m_queued;
            return;
        }
        // The last bytes; a server that ignores ranges sends the start again, which has no
        // tag to give.
        const std::string tail
            = status == 206 && transfer.body.size() <= 128 ? transfer.body : std::string();
        indexTrack(host, job, tail);
    }

    void indexTrack(Host &host, Job &job, const std::string &tail)
    {
        m_queuedTracks.erase(job.url);
        openBatch();
        std::string why;
        const auto track = RemoteTrack::read(job.found, job.head, tail, job.size, &why, job.audio,
                                             job.audioOffset);
        if (!track) {
            error(host, why);
            m_store->trackRefused(job.url);
            return;
        }
        if (m_writer.put(*track) == 0) {
            error(host, "index");
            return;
        }
        m_store->trackIndexed(job.url);
        ++host.tracks;
        ++m_tracks;
    }

    void recheckRead(Host &host, Transfer &transfer, long status, const std::string &failure)
    {
        m_queuedTracks.erase(transfer.job.url);
        openBatch();
        if (failure.empty() && status == 200) {
            m_store->trackIndexed(transfer.job.url);
            return;
        }
        error(host, failure.empty() ? "http " + std::to_string(status) : failure);
        if (m_store->trackCheckFailed(transfer.job.url, wallNow()))
            removeTracks({transfer.job.url});
    }

    void enqueueDuePages()
    {
        openBatch();
        for (const auto &page : m_store->duePages(wallNow(), 100000))
            enqueuePage(page);
        refreshSeeds();
    }

    void publish()
    {
        CrawlStatus status;
        status.crawling = true;
        status.seconds = std::chrono::duration<double>(Clock::now() - m_started).count();
        status.requests = m_requests;
        status.pages = m_pages;
        status.tracks = m_tracks;
        status.tracksRemoved = m_tracksRemoved;
        status.errors = m_errors;
        status.queued = m_queued + m_inFlight + m_parsing;
        status.seeds = m_seeds;
        status.hosts.reserve(m_order.size());
        for (const Host *host : m_order) {
            CrawlStatus::Host line;
            line.origin = host->origin;
            line.pages = host->pages;
            line.tracks = host->tracks;
            line.queued = host->queueLength() + host->inFlight;
            line.errors = host->errors;
            status.hosts.push_back(std::move(line));
        }
        std::lock_guard<std::mutex> lock(m_statusMutex);
        m_status = std::move(status);
    }

    void progress()
    {
        const size_t active = m_queued + m_inFlight + m_parsing;
        // Quiet while idle, after saying so once.
        if (active == 0 && m_quiet)
            return;
        m_quiet = active == 0;
        m_log("crawl: " + std::to_string(m_order.size()) + " hosts, " + std::to_string(m_pages)
              + " pages, " + std::to_string(m_tracks) + " tracks, " + std::to_string(m_errors)
              + " errors, " + std::to_string(active) + " queued");
    }

    void run()
    {
        loadFrontier();
        publish();
        auto nextDueCheck = Clock::now() + dueCheckTime;
        const auto progressEvery = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(std::max(0.1, m_settings.progressSeconds)));
        auto nextProgress = Clock::now() + progressEvery;
        auto nextPublish = Clock::now();
        while (!m_stopping) {
            auto now = Clock::now();
            if (now >= nextDueCheck) {
                enqueueDuePages();
                nextDueCheck = now + dueCheckTime;
            }
            auto wake = now + std::chrono::seconds(1);
            startTransfers(now, wake);
            int running = 0;
            curl_multi_perform(m_multi, &running);
            int left = 0;
            while (CURLMsg *message = curl_multi_info_read(m_multi, &left)) {
                if (message->msg == CURLMSG_DONE)
                    finish(message->easy_handle, message->data.result);
            }
            takeParsed();
            now = Clock::now();
            if (m_batchOpen && now - m_batchStarted >= batchTime)
                commitBatch();
            if (now >= nextProgress) {
                progress();
                nextProgress = now + progressEvery;
            }
            if (now >= nextPublish) {
                publish();
                nextPublish = now + std::chrono::milliseconds(100);
            }
            if (!m_warm.empty() && m_inFlight < m_settings.connections)
                continue; // a host may start again at once
            if (m_batchOpen)
                wake = std::min(wake, m_batchStarted + batchTime);
            wake = std::min({wake, nextProgress, nextPublish, nextDueCheck});
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now);
            curl_multi_poll(m_multi, nullptr, 0, int(std::max<int64_t>(0, wait.count())), nullptr);
        }
        // What has been read is kept; what was under way, or read but not parsed, is fetched
        // again next time.
        m_parser.stop();
        for (Transfer *transfer : m_transfers) {
            curl_multi_remove_handle(m_multi, transfer->easy);
            curl_easy_cleanup(transfer->easy);
            if (transfer->headers)
                curl_slist_free_all(transfer->headers);
            delete transfer;
        }
        m_transfers.clear();
        commitBatch();
        for (CURL *easy : m_idle)
            curl_easy_cleanup(easy);
        m_idle.clear();
        publish();
        std::lock_guard<std::mutex> lock(m_statusMutex);
        m_status.crawling = false;
    }

    IndexWriter &m_writer;
    std::unique_lock<std::mutex> m_writerLock;
    std::unique_ptr<CrawlStore> m_store;
    const CrawlSettings m_settings;
    const Log m_log;
    const std::string m_userAgent;

    CURLM *m_multi = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stopping{false};
    Clock::time_point m_started{};

    std::unordered_map<std::string, std::unique_ptr<Host>> m_hosts;
    std::vector<Host *> m_order;
    size_t m_cursor = 0;
    std::deque<Host *> m_warm;
    std::unordered_set<std::string> m_queuedPages;
    std::unordered_set<std::string> m_queuedTracks;
    std::vector<CURL *> m_idle;
    std::unordered_set<Transfer *> m_transfers;
    std::vector<CrawlStatus::Seed> m_seeds;
    // Pages between their transfer and their links stored.
    WorkQueue m_parser{1, 256};
    size_t m_parsing = 0;
    std::atomic<size_t> m_parseBytes{0};
    std::mutex m_parsedMutex;
    std::vector<std::shared_ptr<ParsedPage>> m_parsed;
    bool m_seedsChanged = false; // read again as the batch ends
    unsigned m_inFlight = 0;
    size_t m_queued = 0;
    size_t m_requests = 0;
    size_t m_pages = 0;
    size_t m_tracks = 0;
    size_t m_tracksRemoved = 0;
    size_t m_errors = 0;
    bool m_quiet = false;
    bool m_batchOpen = false;
    Clock::time_point m_batchStarted{};

    mutable std::mutex m_statusMutex;
    CrawlStatus m_status;
};

Crawler::Crawler(IndexWriter &writer, std::mutex &writerLock, CrawlSettings settings, Log log)
    : m_engine(std::make_unique<Engine>(writer, writerLock, std::move(settings), std::move(log)))
{}

Crawler::~Crawler() = default;

bool Crawler::start(std::string *error)
{
    return m_engine->start(error);
}

void Crawler::stop()
{
    m_engine->stop();
}

CrawlStatus Crawler::status() const
{
    return m_engine->status();
}

bool Crawler::hasState(IndexWriter &writer)
{
    std::string error;
    const auto store = writer.openTables<CrawlStore>(&error);
    return store && store->count("crawl_pages") > 0;
}

const char *Crawler::productToken()
{
    return "larkspin-catalog";
}

std::string Crawler::userAgent()
{
    std::string agent = std::string(productToken()) + "/" LARKSPIN_VERSION;
    const std::string readme = LARKSPIN_README_URL;
    if (!readme.empty())
        agent += " (+" + readme + ")";
    return agent;
}

} // namespace catalog
