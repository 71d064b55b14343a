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
CREATE VIRTUAL TABLE IF NOT EXISTS tracks_fts USING fts5(
    title, creator, album, filename,
    content='tracks', content_rowid='id',
    tokenize='unicode61 remove_diacritics 2');
CREATE TRIGGER IF NOT EXISTS tracks_ai AFTER INSERT ON tracks BEGIN
    INSERT INTO tracks_fts(rowid, title, creator, album, filename)
    VALUES (new.id, new.title, new.creator, new.album, new.filename);
END;
CREATE TRIGGER IF NOT EXISTS tracks_ad AFTER DELETE ON tracks BEGIN
    INSERT INTO tracks_fts(tracks_fts, rowid, title, creator, album, filename)
    VALUES ('delete', old.id, old.title, old.creator, old.album, old.filename);
END;
CREATE TRIGGER IF NOT EXISTS tracks_au AFTER UPDATE ON tracks BEGIN
    INSERT INTO tracks_fts(tracks_fts, rowid, title, creator, album, filename)
    VALUES ('delete', old.id, old.title, old.creator, old.album, old.filename);
    INSERT INTO tracks_fts(rowid, title, creator, album, filename)
    VALUES (new.id, new.title, new.creator, new.album, new.filename);
END;
)SQL";
    return connection.exec(sql, error);
}

} // namespace catalog
