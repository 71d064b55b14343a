#pragma once

#include "crawlsettings.h"
#include "crawlstatus.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace catalog {

class CrawlBatch;
class CrawlShare;
class CrawlTransfers;
class HostSchedule;
class CatalogWriter;
struct CrawlHost;
struct CrawlSite;
class PageHandler;
class TrackHandler;
struct TransferResult;

// Finds MP3s on the web from seed addresses: fetches pages, directory listings, feeds and
// playlists, follows their links to a bounded depth, reads each MP3's tags from its first
// and last bytes, and puts the tracks in the index with their own addresses. One thread
// drives all transfers through libcurl's multi interface; robots.txt, a delay and a
// connection limit per host keep it polite, and addresses inside private networks are
// refused after every name resolution and redirect. The crawl state lives in the index
// database, so a restart goes on where it stopped; pages are fetched again every
// recrawlHours with conditional requests.
//
// Given a CrawlShare, the crawl is shared with other nodes: the frontier (pages due, tracks
// to read), the seeds and the hosts' leases and clocks live there, and the node's own
// database keeps only what it needs for its own index (the links of the pages it fetched,
// the tracks it indexed). Pages and tracks found go to the shared frontier; every tick (a
// quarter of the lease time, at most a quarter second) the crawler renews its leases, takes
// its share of the hosts with work and no live holder, queues what is due on the hosts it
// holds and gives up those with nothing left. While the shared state is out of reach it holds no
// lease, so it sends no request, and it tries again every tick.
//
// The crawler owns its thread and its parts: HostSchedule (which request goes next),
// CrawlTransfers (the requests), PageHandler and TrackHandler (what their answers lead to),
// CrawlBatch (the writes) and the CrawlShare, if any. It keeps the loop, the batching of
// writes and the status.
class Crawler
{
public:
    using Log = std::function<void(const std::string &line)>;

    // writerLock guards writer against the folder scanner; the crawler holds it while it
    // writes a batch (a quarter of a second at most). writer and writerLock outlive it.
    // share: the state shared with other nodes, or null for a crawl of this node alone.
    Crawler(CatalogWriter &writer, std::mutex &writerLock, CrawlSettings settings, Log log,
            std::unique_ptr<CrawlShare> share = nullptr);
    ~Crawler();
    Crawler(const Crawler &) = delete;
    Crawler &operator=(const Crawler &) = delete;

    // Stores the seeds and starts crawling on a thread of its own; false with *error when
    // libcurl or the crawl state (the shared one included) cannot be had.
    bool start(std::string *error);
    // Stops the thread after committing what it has read; safe from any thread. Idempotent.
    void stop();

    // A copy of the counters as published at most 100 ms ago; safe from any thread.
    CrawlStatus status() const;

    // Whether the database holds a crawl to go on with (seeds stored by an earlier run that
    // was not shared). Call before anything else writes through writer.
    static bool hasState(CatalogWriter &writer);

    // What the crawler calls itself in robots.txt.
    static const char *productToken();
    static std::string userAgent();

private:
    void run();
    void loadFrontier();
    // Queues the request a redirect leads to as one of its own, to its host; false when
    // there is none to follow (then transfer.failure may say why).
    bool redirected(TransferResult &transfer);
    void ended(TransferResult &transfer);
    // Queues the sitemaps a host's robots.txt names.
    void addSitemaps(const CrawlHost &host);
    void enqueueDuePages();
    void refreshSeeds();
    void commitBatch();
    // The shared crawl's round: leases renewed, taken and given up, due work queued.
    void shareTick();
    void sharePaused();
    std::vector<std::pair<CrawlSite *, std::string>> leasedSites();
    void releaseAll();
    void publish();
    void progress();

    const CrawlSettings m_settings;
    const Log m_log;
    std::unique_ptr<CrawlBatch> m_batch;
    std::unique_ptr<HostSchedule> m_schedule;
    std::unique_ptr<CrawlTransfers> m_transfers;
    // The crawl's counters, kept here once (each host's in its CrawlHost) and written on the
    // crawl thread only; publish() copies them for status().
    CrawlStatus m_crawl;
    std::unique_ptr<PageHandler> m_pages;
    std::unique_ptr<TrackHandler> m_tracks;
    std::unique_ptr<CrawlShare> m_share;
    bool m_sharePaused = false;

    std::thread m_thread;
    std::atomic<bool> m_stopping{false};
    std::chrono::steady_clock::time_point m_started{};
    bool m_quiet = false;

    mutable std::mutex m_statusMutex;
    CrawlStatus m_status;
};

} // namespace catalog
