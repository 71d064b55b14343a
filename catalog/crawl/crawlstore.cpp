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

// The lines of a page's link list.
std::vector<std::string_view> lines(std::string_view text)
{
    std::vector<std::string_view> result;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        if (end != 0)
            result.push_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return result;
}

constexpr const char *trackColumns = "url, origin, title, creator, link_text, state";

constexpr const char *pageColumns = "url, origin, depth, seed, fetched, etag, modified, outcome";

// Every track link the crawler found: what the page said of it, its state and how many pages
// link it.
const char *const crawlTracksTable = R"SQL(
CREATE TABLE IF NOT EXISTS crawl_tracks(
    url TEXT PRIMARY KEY,
    origin TEXT NOT NULL,
    title TEXT NOT NULL,
    creator TEXT NOT NULL,
    link_text TEXT NOT NULL,
    state INTEGER NOT NULL DEFAULT 0,
    failures INTEGER NOT NULL DEFAULT 0,
    first_failure INTEGER NOT NULL DEFAULT 0,
    pages INTEGER NOT NULL DEFAULT 0) WITHOUT ROWID;
)SQL";

// Every page the crawler knows (seeds at depth 0) with the track links it held at its last
// fetch (one a line).
const char *const crawlPagesTable = R"SQL(
CREATE TABLE IF NOT EXISTS crawl_pages(
    url TEXT PRIMARY KEY,
    origin TEXT NOT NULL,
    depth INTEGER NOT NULL,
    seed INTEGER NOT NULL DEFAULT 0,
    due INTEGER NOT NULL DEFAULT 0,
    fetched INTEGER NOT NULL DEFAULT 0,
    etag TEXT NOT NULL DEFAULT '',
    modified TEXT NOT NULL DEFAULT '',
    outcome TEXT NOT NULL DEFAULT '',
    links TEXT NOT NULL DEFAULT '');
CREATE INDEX IF NOT EXISTS crawl_pages_due ON crawl_pages(due);
)SQL";

// The first crawler kept a row per link in crawl_links; its pages now hold their links and
// each track counts the pages that link it.
bool migrateCrawlLinks(SqliteConnection &connection, std::string *error)
{
    const auto oldTable = [&connection] {
        auto &exists = connection.statement(
            "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'crawl_links'");
        const bool found = exists.step();
        exists.reset();
        return found;
    };
    if (!oldTable())
        return true;
    // Another connection of the service may have migrated before this one got the lock.
    if (!connection.exec("BEGIN IMMEDIATE", error))
        return false;
    if (!oldTable())
        return connection.exec("COMMIT", error);
    const std::string sql = R"SQL(
ALTER TABLE crawl_pages ADD COLUMN links TEXT NOT NULL DEFAULT '';
UPDATE crawl_pages SET links = coalesce((SELECT group_concat(track, char(10))
    FROM crawl_links WHERE page = crawl_pages.url), '');
ALTER TABLE crawl_tracks RENAME TO crawl_tracks_uncounted;
)SQL" + std::string(crawlTracksTable)
                            + R"SQL(
INSERT INTO crawl_tracks SELECT url, origin, title, creator, link_text, state,
    failures, first_failure, (SELECT count(*) FROM crawl_links WHERE track = url)
    FROM crawl_tracks_uncounted;
DROP TABLE crawl_tracks_uncounted;
DROP TABLE crawl_links;
COMMIT;
)SQL";
    if (connection.exec(sql, error))
        return true;
    connection.exec("ROLLBACK");
    return false;
}

} // namespace

CrawlStore::CrawlStore(SqliteConnection &connection)
    : m_db(connection)
{}

bool CrawlStore::open(std::string *error)
{
    if (!m_db.exec(std::string(crawlPagesTable) + crawlTracksTable, error)
        || !migrateCrawlLinks(m_db, error))
        return false;
    m_pageLinks = &m_db.statement("SELECT links FROM crawl_pages WHERE url = ?1");
    m_insertTrack = &m_db.statement(
        "INSERT OR IGNORE INTO crawl_tracks(url, origin, title, creator, link_text, pages) "
        "VALUES (?1, ?2, ?3, ?4, ?5, 1)");
    m_trackState = &m_db.statement("SELECT state FROM crawl_tracks WHERE url = ?1");
    // A track the page did not link before counts it once more; one that left the index
    // comes back to be read.
    m_countLink = &m_db.statement(
        "UPDATE crawl_tracks SET pages = pages + ?2, state = CASE WHEN state = 3 THEN 0 ELSE"
        " state END WHERE url = ?1");
    return true;
}

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
    m_pageLinks->bind(1, page);
    const std::string before = m_pageLinks->step() ? m_pageLinks->text(0) : std::string();
    m_pageLinks->reset();
    std::unordered_set<std::string_view> linkedBefore;
    for (const auto url : lines(before))
        linkedBefore.insert(url);

    std::vector<std::optional<TrackState>> states(tracks.size());
    std::unordered_set<std::string_view> seen;
    std::string links;
    for (size_t i = 0; i < tracks.size(); ++i) {
        const FoundTrack &found = tracks[i];
        if (!seen.insert(found.url).second)
            continue;
        links.append(found.url).push_back('\n');
        // Most links are new or the second link to a track found moments ago: a plain
        // insert, else a look-up and a count (an upsert's RETURNING costs more than both).
        m_insertTrack->bindUncopied(1, found.url);
        m_insertTrack->bindUncopied(2, trackOrigins[i]);
        m_insertTrack->bindUncopied(3, found.title);
        m_insertTrack->bindUncopied(4, found.creator);
        m_insertTrack->bindUncopied(5, found.text);
        if (m_insertTrack->run() && m_db.changes() > 0) {
            states[i] = TrackState::ToRead;
            continue;
        }
        m_trackState->bindUncopied(1, found.url);
        if (m_trackState->step())
            states[i] = TrackState(m_trackState->integer(0));
        m_trackState->reset();
        if (linkedBefore.count(found.url) && states[i] != TrackState::Removed)
            continue;
        m_countLink->bindUncopied(1, found.url);
        m_countLink->bind(2, linkedBefore.count(found.url) ? 0 : 1);
        m_countLink->run();
        if (states[i] == TrackState::Removed)
            states[i] = TrackState::ToRead;
    }
    for (const auto url : linkedBefore) {
        if (seen.count(url))
            continue;
        auto &unlink = m_db.statement(
            "UPDATE crawl_tracks SET pages = pages - 1 WHERE url = ?1 RETURNING pages");
        unlink.bind(1, url);
        const bool orphan = unlink.step() && unlink.integer(0) <= 0;
        unlink.reset();
        if (orphan && orphans)
            orphans->emplace_back(url);
    }
    if (links != before) {
        auto &update = m_db.statement("UPDATE crawl_pages SET links = ?2 WHERE url = ?1");
        update.bind(1, page);
        update.bind(2, links);
        update.run();
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
    m_pageLinks->bind(1, page);
    const std::string links = m_pageLinks->step() ? m_pageLinks->text(0) : std::string();
    m_pageLinks->reset();
    auto &select = m_db.statement(std::string("SELECT ") + trackColumns
                                  + " FROM crawl_tracks WHERE url = ?1");
    std::vector<Track> tracks;
    for (const auto url : lines(links)) {
        select.bind(1, url);
        if (select.step())
            tracks.push_back(readTrack(select));
        select.reset();
    }
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

void CrawlStore::trackRemoved(const std::string &url)
{
    for (const char *sql : {"DELETE FROM crawl_tracks WHERE url = ?1 AND pages <= 0",
                            "UPDATE crawl_tracks SET state = 3 WHERE url = ?1"}) {
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
