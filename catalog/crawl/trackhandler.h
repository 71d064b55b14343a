#pragma once

#include "crawlsettings.h"
#include "crawlstatus.h"
#include "crawltransfers.h"

#include <string>

namespace catalog {

class CrawlBatch;
class HostSchedule;

// The read of a track found on the web, a request at a time: a HEAD for its type and
// length, its first 64 KiB (or all of a small file), where its audio starts when cover art
// fills the first bytes, and its last 128 bytes for an ID3v1 tag; then the track enters the
// index, or is refused for good with the reason counted against its host. Also the HEAD that
// checks an indexed track again. Called on the crawl thread only; the settings, batch,
// schedule and counters are the crawler's and outlive it.
class TrackHandler
{
public:
    TrackHandler(const CrawlSettings &settings, CrawlBatch &batch, HostSchedule &schedule,
                 CrawlStatus &crawl);

    // A request of a track's read ended.
    void read(TransferResult &transfer);
    // A check of an indexed track ended; a track that failed its checks long enough leaves.
    void recheckRead(TransferResult &transfer);

private:
    void refuse(TransferResult &transfer, const std::string &kind, bool forGood);
    void index(CrawlHost &host, CrawlJob &job, const std::string &tail);

    const CrawlSettings &m_settings;
    CrawlBatch &m_batch;
    HostSchedule &m_schedule;
    CrawlStatus &m_crawl;
};

} // namespace catalog
