#include "crawlbatch.h"

#include "catalogwriter.h"
#include "crawlstore.h"
#include "weblink.h"

namespace catalog {

CrawlBatch::CrawlBatch(CatalogWriter &writer, std::mutex &writerLock, Log log)
    : m_writer(writer)
    , m_writerLock(writerLock, std::defer_lock)
    , m_log(std::move(log))
{}

CrawlBatch::~CrawlBatch() = default;

bool CrawlBatch::storeSeeds(const std::vector<std::string> &seeds, std::string *error)
{
    std::lock_guard<std::mutex> lock(*m_writerLock.mutex());
    m_store = m_writer.openTables<CrawlStore>(error);
    if (!m_store)
        return false;
    m_writer.begin();
    for (const auto &seed : seeds)
        m_store->addSeed(seed, WebLink::origin(seed));
    if (!m_writer.commit()) {
        if (error)
            *error = "cannot store the crawl seeds: " + m_writer.lastError();
        return false;
    }
    return true;
}

void CrawlBatch::begin()
{
    if (m_open)
        return;
    m_writerLock.lock();
    m_writer.begin();
    m_open = true;
    m_openedAt = CrawlClock::now();
}

void CrawlBatch::commit()
{
    if (!m_open)
        return;
    if (!m_writer.commit())
        m_log("crawl: cannot write the index: " + m_writer.lastError());
    m_open = false;
    m_writerLock.unlock();
}

bool CrawlBatch::index(const TrackRecord &track)
{
    return m_writer.put(track) != 0;
}

size_t CrawlBatch::remove(const std::vector<std::string> &urls)
{
    for (const auto &url : urls) {
        m_writer.removeAt(url);
        m_store->trackRemoved(url);
    }
    return urls.size();
}

} // namespace catalog
