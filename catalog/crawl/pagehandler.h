#pragma once

#include "crawlsettings.h"
#include "crawlstore.h"
#include "crawltransfers.h"
#include "workqueue.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace catalog {

class CrawlBatch;
class HostSchedule;

// What the crawl does with a page, feed or playlist it fetched: stores how the fetch went,
// reads the links (on a parser thread beside the crawl thread, bounded in bytes waiting),
// queues the pages and tracks they lead to within the depth and per-host bounds, and takes
// out of the index the tracks that no page links any more. Called on the crawl thread; the
// parser thread reads only the page it is given and wakes the crawl thread when it is done.
// It owns the parser thread; the settings, batch, schedule and counters are the crawler's and
// outlive it. A fetch that failed is stored with the page and counted against its host, and a
// page the parser cannot take is parsed here.
class PageHandler
{
public:
    PageHandler(const CrawlSettings &settings, CrawlBatch &batch, HostSchedule &schedule,
                CrawlStatus &crawl, std::function<void()> wake);
    ~PageHandler();
    PageHandler(const PageHandler &) = delete;
    PageHandler &operator=(const PageHandler &) = delete;

    // A page's transfer ended.
    void read(TransferResult &transfer);
    // Stores the links of the pages parsed since the last call.
    void takeParsed();
    // Pages between their transfer and their links stored.
    size_t parsing() const { return m_parsing; }
    // Whether a seed was fetched since the last call, so the status page's seeds change.
    bool takeSeedsChanged();
    // Drops the pages waiting for the parser: they are fetched again next time.
    void stop();

    // Stores and queues the pages not known yet, found at depth, within the bound on pages a
    // host.
    void addPages(const std::vector<std::string> &urls, int depth);
    // Queues what a track link in state leads to: a read when it is new, a check when
    // recheck and it is indexed.
    void followTrack(const FoundTrack &found, const std::string &origin,
                     CrawlStore::TrackState state, bool recheck);

private:
    struct ParsedPage;
    static void parse(ParsedPage &page, std::string_view body, const std::string &base,
                      const std::string &typeHeader);
    void parsed(ParsedPage &page);

    const CrawlSettings &m_settings;
    CrawlBatch &m_batch;
    HostSchedule &m_schedule;
    CrawlStatus &m_crawl;
    const std::function<void()> m_wake;
    bool m_seedsChanged = false;
    size_t m_parsing = 0;
    std::atomic<size_t> m_parseBytes{0};
    std::mutex m_parsedMutex;
    std::vector<std::shared_ptr<ParsedPage>> m_parsedPages;
    WorkQueue m_parser{1, 256};
};

} // namespace catalog
