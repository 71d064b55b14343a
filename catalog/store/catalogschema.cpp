#include "catalogschema.h"

#include "sqliteconnection.h"

namespace catalog {

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
)SQL";
    return connection.exec(sql, error);
}

} // namespace catalog
