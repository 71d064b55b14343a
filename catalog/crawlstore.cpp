#include "crawlstore.h"

#include "sqliteconnection.h"

#include <unordered_set>

namespace catalog {

namespace {

constexpr int failuresToRemove = 3;
constexpr int64_t failingSpanToRemove = 24 * 3600;

CrawlStore::Page readPage(SqliteStatement &row)
{
    CrawlStore::Page page;
    page.url = row.text(0);
    page.origin = row.text(1);
    page.depth = int(row.integer(2));
    page.seed = row.integer(3) != 0;
    page.fetched = row.integer(4);
    page.etag = row.text(5);
    page.modified = row.text(6);
    page.outcome = row.text(7);
    return page;
}

CrawlStore::Track readTrack(SqliteStatement &row)
{
    CrawlStore::Track track;
    track.found.url = row.text(0);
    track.origin = row.text(1);
    track.found.title = row.text(2);
    track.found.creator = row.text(3);
    track.found.text = row.text(4);
    track.state = CrawlStore::TrackState(row.integer(5));
    return track;
}

constexpr const char *trackColumns = "url, origin, title, creator, link_text, state";

constexpr const char *pageColumns = "url, origin, depth, seed, fetched, etag, modified, outcome";

} // namespace

CrawlStore::CrawlStore(SqliteConnection &connection)
    : m_db(connection)
    , m_insertLink(
          connection.statement("INSERT OR IGNORE INTO crawl_links(page, track) VALUES (?1, ?2)"))
    , m_insertTrack(connection.statement(
          "INSERT OR IGNORE INTO crawl_tracks(url, origin, title, creator, link_text) VALUES "
          "(?1, ?2, ?3, ?4, ?5)"))
    , m_trackState(connection.statement("SELECT state FROM crawl_tracks WHERE url = ?1"))
{}

void CrawlStore::addSeed(const std::string &url, const std::string &origin)
{
    auto &insert = m_db.statement("INSERT INTO crawl_pages(url, origin, depth, seed) VALUES"
                                  " (?1, ?2, 0, 1) ON CONFLICT(url) DO UPDATE SET seed = 1,"
                                  " depth = 0");
    insert.bind(1, url);
    insert.bind(2, origin);
    insert.run();
}

bool CrawlStore::addPage(const std::string &url, const std::string &origin, int depth)
{
    auto &insert = m_db.statement(
        "INSERT OR IGNORE INTO crawl_pages(url, origin, depth) VALUES (?1, ?2, ?3)");
    insert.bind(1, url);
    insert.bind(2, origin);
    insert.bind(3, depth);
    return insert.run() && m_db.changes() > 0;
}

void CrawlStore::limitRecrawl(int64_t seconds)
{
    auto &update = m_db.statement(
        "UPDATE crawl_pages SET due = fetched + ?1 WHERE fetched > 0 AND due > fetched + ?1");
    update.bind(1, seconds);
    update.run();
}

std::vector<CrawlStore::Page> CrawlStore::duePages(int64_t now, size_t limit)
{
    auto &select = m_db.statement(std::string("SELECT ") + pageColumns
                                  + " FROM crawl_pages WHERE due <= ?1 ORDER BY due LIMIT ?2");
    select.bind(1, now);
    select.bind(2, int64_t(limit));
    std::vector<Page> pages;
    while (select.step())
        pages.push_back(readPage(select));
    select.reset();
    return pages;
}

std::vector<CrawlStore::Page> CrawlStore::seeds()
{
    auto &select = m_db.statement(std::string("SELECT ") + pageColumns
                                  + " FROM crawl_pages WHERE seed = 1 ORDER BY url");
    std::vector<Page> pages;
    while (select.step())
        pages.push_back(readPage(select));
    select.reset();
    return pages;
}

std::unordered_map<std::string, size_t> CrawlStore::pagesPerOrigin()
{
    auto &select = m_db.statement("SELECT origin, count(*) FROM crawl_pages GROUP BY origin");
    std::unordered_map<std::string, size_t> counts;
    while (select.step())
        counts[select.text(0)] = size_t(select.integer(1));
    select.reset();
    return counts;
}

void CrawlStore::pageFetched(const std::string &url, int64_t now, int64_t due,
                             const std::string &etag, const std::string &modified,
                             const std::string &outcome)
{
    auto &update = m_db.statement("UPDATE crawl_pages SET fetched = ?2, due = ?3, etag = ?4,"
                                  " modified = ?5, outcome = ?6 WHERE url = ?1");
    update.bind(1, url);
    update.bind(2, now);
    update.bind(3, due);
    update.bind(4, etag);
    update.bind(5, modified);
    update.bind(6, outcome);
    update.run();
}

void CrawlStore::pageFailed(const std::string &url, int64_t now, int64_t due,
                            const std::string &outcome)
{
    auto &update = m_db.statement(
        "UPDATE crawl_pages SET due = ?3, outcome = ?4, fetched = CASE WHEN fetched = 0 THEN 0"
        " ELSE ?2 END WHERE url = ?1");
    update.bind(1, url);
    update.bind(2, now);
    update.bind(3, due);
    update.bind(4, outcome);
    update.run();
}

std::vector<std::string> CrawlStore::pageGone(const std::string &url)
{
    std::vector<std::string> orphans;
    setLinks(url, {}, {}, &orphans);
    // A seed stays, to be tried again; a page found by following links goes.
    auto &remove = m_db.statement("DELETE FROM crawl_pages WHERE url = ?1 AND seed = 0");
    remove.bind(1, url);
    remove.run();
    return orphans;
}

std::vector<std::optional<CrawlStore::TrackState>>
CrawlStore::setLinks(const std::string &page, const std::vector<FoundTrack> &tracks,
                     const std::vector<std::string> &trackOrigins,
                     std::vector<std::string> *orphans)
{
    auto &old = m_db.statement("SELECT track FROM crawl_links WHERE page = ?1");
    old.bind(1, page);
    std::vector<std::string> before;
    while (old.step())
        before.push_back(old.text(0));
    old.reset();
    std::vector<std::string> dropped;
    if (!before.empty()) {
        std::unordered_set<std::string_view> now;
        for (const auto &track : tracks)
            now.insert(track.url);
        for (auto &url : before) {
            if (!now.count(url))
                dropped.push_back(std::move(url));
        }
    }
    for (const auto &url : dropped) {
        auto &unlink = m_db.statement("DELETE FROM crawl_links WHERE page = ?1 AND track = ?2");
        unlink.bind(1, page);
        unlink.bind(2, url);
        unlink.run();
        auto &linked = m_db.statement("SELECT 1 FROM crawl_links WHERE track = ?1 LIMIT 1");
        linked.bind(1, url);
        const bool stillLinked = linked.step();
        linked.reset();
        if (!stillLinked && orphans)
            orphans->push_back(url);
    }

    std::vector<std::optional<TrackState>> states(tracks.size());
    std::unordered_set<std::string_view> seen;
    for (size_t i = 0; i < tracks.size(); ++i) {
        const FoundTrack &found = tracks[i];
        if (!seen.insert(found.url).second)
            continue;
        m_insertLink.bind(1, page);
        m_insertLink.bind(2, found.url);
        m_insertLink.run();
        m_insertTrack.bind(1, found.url);
        m_insertTrack.bind(2, trackOrigins[i]);
        m_insertTrack.bind(3, found.title);
        m_insertTrack.bind(4, found.creator);
        m_insertTrack.bind(5, found.text);
        states[i] = TrackState::ToRead;
        if (m_insertTrack.run() && m_db.changes() == 0) {
            // Known already, from another page or an earlier crawl.
            m_trackState.bind(1, found.url);
            if (m_trackState.step())
                states[i] = TrackState(m_trackState.integer(0));
            m_trackState.reset();
        }
    }
    return states;
}

std::vector<CrawlStore::Track> CrawlStore::tracksToRead()
{
    auto &select = m_db.statement(std::string("SELECT ") + trackColumns
                                  + " FROM crawl_tracks WHERE state = 0");
    std::vector<Track> tracks;
    while (select.step())
        tracks.push_back(readTrack(select));
    select.reset();
    return tracks;
}

std::vector<CrawlStore::Track> CrawlStore::linkedTracks(const std::string &page)
{
    auto &select = m_db.statement(
        std::string("SELECT ") + trackColumns
        + " FROM crawl_links JOIN crawl_tracks ON crawl_tracks.url = crawl_links.track"
          " WHERE crawl_links.page = ?1");
    select.bind(1, page);
    std::vector<Track> tracks;
    while (select.step())
        tracks.push_back(readTrack(select));
    select.reset();
    return tracks;
}

void CrawlStore::trackIndexed(const std::string &url)
{
    auto &update = m_db.statement(
        "UPDATE crawl_tracks SET state = 1, failures = 0, first_failure = 0 WHERE url = ?1");
    update.bind(1, url);
    update.run();
}

void CrawlStore::trackRefused(const std::string &url)
{
    auto &update = m_db.statement("UPDATE crawl_tracks SET state = 2 WHERE url = ?1");
    update.bind(1, url);
    update.run();
}

bool CrawlStore::trackCheckFailed(const std::string &url, int64_t now)
{
    auto &update = m_db.statement(
        "UPDATE crawl_tracks SET failures = failures + 1, first_failure = CASE WHEN failures = "
        "0 THEN ?2 ELSE first_failure END WHERE url = ?1 RETURNING failures, first_failure");
    update.bind(1, url);
    update.bind(2, now);
    bool remove = false;
    if (update.step())
        remove = update.integer(0) >= failuresToRemove
                 && now - update.integer(1) >= failingSpanToRemove;
    while (update.step()) {
    }
    update.reset();
    return remove;
}

void CrawlStore::removeTrack(const std::string &url)
{
    for (const char *sql :
         {"DELETE FROM tracks WHERE path = ?1", "DELETE FROM crawl_tracks WHERE url = ?1",
          "DELETE FROM crawl_links WHERE track = ?1"}) {
        auto &remove = m_db.statement(sql);
        remove.bind(1, url);
        remove.run();
    }
}

size_t CrawlStore::count(const char *table)
{
    auto &select = m_db.statement(std::string("SELECT count(*) FROM ") + table);
    const size_t n = select.step() ? size_t(select.integer(0)) : 0;
    select.reset();
    return n;
}

} // namespace catalog
