#include "catalogschema.h"

#include "sqliteconnection.h"

namespace catalog {

namespace {

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

bool CatalogSchema::apply(SqliteConnection &connection, std::string *error)
{
    static const std::string sql = R"SQL(
CREATE TABLE IF NOT EXISTS tracks(
    id INTEGER PRIMARY KEY,
    path TEXT NOT NULL UNIQUE,
    size INTEGER NOT NULL,
    mtime INTEGER NOT NULL,
    title TEXT NOT NULL,
    creator TEXT NOT NULL,
    album TEXT NOT NULL,
    filename TEXT NOT NULL,
    duration_ms INTEGER NOT NULL);
-- Tracks written since the full-text index last took them in; emptied as it does. (An
-- upsert's conflict handling would override OR IGNORE here, hence NOT EXISTS.)
CREATE TABLE IF NOT EXISTS search_log(id INTEGER PRIMARY KEY);
DROP TRIGGER IF EXISTS tracks_ai;
DROP TRIGGER IF EXISTS tracks_ad;
DROP TRIGGER IF EXISTS tracks_au;
DROP TABLE IF EXISTS tracks_fts;
CREATE TRIGGER IF NOT EXISTS tracks_log_insert AFTER INSERT ON tracks BEGIN
    INSERT INTO search_log(id) SELECT new.id
        WHERE NOT EXISTS (SELECT 1 FROM search_log WHERE id = new.id);
END;
CREATE TRIGGER IF NOT EXISTS tracks_log_delete AFTER DELETE ON tracks BEGIN
    INSERT INTO search_log(id) SELECT old.id
        WHERE NOT EXISTS (SELECT 1 FROM search_log WHERE id = old.id);
END;
CREATE TRIGGER IF NOT EXISTS tracks_log_update AFTER UPDATE ON tracks BEGIN
    INSERT INTO search_log(id) SELECT old.id
        WHERE NOT EXISTS (SELECT 1 FROM search_log WHERE id = old.id);
    INSERT INTO search_log(id) SELECT new.id
        WHERE NOT EXISTS (SELECT 1 FROM search_log WHERE id = new.id);
END;
-- The crawler's state: every page it knows (seeds at depth 0) with the track links it held
-- at its last fetch (one a line); then crawl_tracks.
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
)SQL" + std::string(crawlTracksTable);
    return connection.exec(sql, error) && migrateCrawlLinks(connection, error);
}

} // namespace catalog
