#pragma once

#include "crawljob.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace catalog {

class CrawlStore;
class CrawlShare;
class CatalogWriter;
struct TrackRecord;

// The crawl's writes: the tracks it indexes or removes, through CatalogWriter, and its own
// state in the crawl store on the writer's connection. The writes of a quarter second share
// one transaction, held under the writer's lock (which the folder scanner takes too), so the
// tracks and the crawl state commit together. It owns the crawl store; the writer and its
// lock are borrowed and outlive it. Used on the crawl thread only, except storeSeeds(), which
// start() calls before that thread runs.
class CrawlBatch
{
public:
    using Log = std::function<void(const std::string &line)>;

    CrawlBatch(CatalogWriter &writer, std::mutex &writerLock, Log log);
    ~CrawlBatch();
    CrawlBatch(const CrawlBatch &) = delete;
    CrawlBatch &operator=(const CrawlBatch &) = delete;

    // Opens the crawl store and stores the seeds (a seed page per address) in a transaction
    // of their own; false with *error when either fails.
    bool storeSeeds(const std::vector<std::string> &seeds, std::string *error);

    CrawlStore &store() { return *m_store; }
    // The state shared with other nodes, when the crawl is shared (else null): the writes
    // that change the frontier go there too, sent after the batch commits. Borrowed from the
    // crawler.
    CrawlShare *share() const { return m_share; }
    void setShare(CrawlShare *share) { m_share = share; }

    // Opens the batch if it is not open: takes the writer's lock and begins a transaction.
    void begin();
    bool isOpen() const { return m_open; }
    CrawlClock::time_point openedAt() const { return m_openedAt; }
    // Commits an open batch and lets the writer go; a failure is logged and the batch's
    // writes are lost, to be made again when the crawl meets them next.
    void commit();

    // Puts a track read from the web in the index; false when the writer fails.
    bool index(const TrackRecord &track);
    // Takes the tracks at these addresses out of the index and the crawl state; returns
    // how many.
    size_t remove(const std::vector<std::string> &urls);

private:
    CatalogWriter &m_writer;
    std::unique_lock<std::mutex> m_writerLock;
    const Log m_log;
    std::unique_ptr<CrawlStore> m_store;
    CrawlShare *m_share = nullptr;
    bool m_open = false;
    CrawlClock::time_point m_openedAt{};
};

} // namespace catalog
