#include "indexwriter.h"

#include "catalogschema.h"
#include "sqliteconnection.h"

namespace catalog {

IndexWriter::IndexWriter()
    : m_connection(std::make_unique<SqliteConnection>())
{}

IndexWriter::~IndexWriter() = default;

bool IndexWriter::open(const std::string &databasePath, std::string *error)
{
    return m_connection->open(databasePath, error) && CatalogSchema::apply(*m_connection, error);
}

bool IndexWriter::begin()
{
    return m_connection->exec("BEGIN IMMEDIATE");
}

bool IndexWriter::commit()
{
    return m_connection->exec("COMMIT");
}

std::unordered_map<std::string, IndexWriter::FileState>
IndexWriter::filesUnder(const std::string &dir)
{
    std::string low = dir;
    if (low.empty() || low.back() != '/')
        low += '/';
    // Every path below dir sorts between "dir/" and "dir0" ('0' follows '/').
    std::string high = low;
    high.back() = '0';
    std::unordered_map<std::string, FileState> files;
    auto &statement = m_connection->statement(
        "SELECT path, id, size, mtime FROM tracks WHERE path >= ?1 AND path < ?2");
    statement.bind(1, low);
    statement.bind(2, high);
    while (statement.step())
        files[statement.text(0)]
            = {statement.integer(1), statement.integer(2), statement.integer(3)};
    statement.reset();
    return files;
}

int64_t IndexWriter::put(const TrackRecord &track)
{
    auto &statement = m_connection->statement(
        "INSERT INTO tracks(path, size, mtime, title, creator, album, filename, duration_ms)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"
        " ON CONFLICT(path) DO UPDATE SET size = excluded.size, mtime = excluded.mtime,"
        " title = excluded.title, creator = excluded.creator, album = excluded.album,"
        " filename = excluded.filename, duration_ms = excluded.duration_ms"
        " RETURNING id");
    statement.bind(1, track.path);
    statement.bind(2, track.size);
    statement.bind(3, track.mtimeNs);
    statement.bind(4, track.title);
    statement.bind(5, track.creator);
    statement.bind(6, track.album);
    statement.bind(7, track.fileName);
    statement.bind(8, track.durationMs);
    const int64_t id = statement.step() ? statement.integer(0) : 0;
    while (statement.step()) {
    }
    statement.reset();
    return id;
}

bool IndexWriter::remove(int64_t id)
{
    auto &statement = m_connection->statement("DELETE FROM tracks WHERE id = ?1");
    statement.bind(1, id);
    return statement.run();
}

std::string IndexWriter::lastError() const
{
    return m_connection->lastError();
}

} // namespace catalog
