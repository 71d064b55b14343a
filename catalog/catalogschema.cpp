#include "catalogschema.h"

#include "sqliteconnection.h"

namespace catalog {

bool CatalogSchema::apply(SqliteConnection &connection, std::string *error)
{
    static const char *const sql = R"SQL(
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
-- The crawler's state: every page it knows (seeds at depth 0), which tracks each links, and
-- every track link with what the page said of it.
CREATE TABLE IF NOT EXISTS crawl_pages(
    url TEXT PRIMARY KEY,
    origin TEXT NOT NULL,
    depth INTEGER NOT NULL,
    seed INTEGER NOT NULL DEFAULT 0,
    due INTEGER NOT NULL DEFAULT 0,
    fetched INTEGER NOT NULL DEFAULT 0,
    etag TEXT NOT NULL DEFAULT '',
    modified TEXT NOT NULL DEFAULT '',
    outcome TEXT NOT NULL DEFAULT '');
CREATE INDEX IF NOT EXISTS crawl_pages_due ON crawl_pages(due);
CREATE TABLE IF NOT EXISTS crawl_links(
    page TEXT NOT NULL,
    track TEXT NOT NULL,
    PRIMARY KEY(page, track)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS crawl_links_track ON crawl_links(track);
CREATE TABLE IF NOT EXISTS crawl_tracks(
    url TEXT PRIMARY KEY,
    origin TEXT NOT NULL,
    title TEXT NOT NULL,
    creator TEXT NOT NULL,
    link_text TEXT NOT NULL,
    state INTEGER NOT NULL DEFAULT 0,
    failures INTEGER NOT NULL DEFAULT 0,
    first_failure INTEGER NOT NULL DEFAULT 0);
)SQL";
    return connection.exec(sql, error);
}

} // namespace catalog
