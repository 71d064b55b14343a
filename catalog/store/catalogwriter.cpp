#include "catalogwriter.h"

#include "catalogschema.h"
#include "fulltextwriter.h"
#include "sqliteconnection.h"
#include "trackrow.h"

namespace catalog {

CatalogWriter::CatalogWriter()
    : m_connection(std::make_unique<SqliteConnection>())
    , m_search(std::make_unique<FullTextWriter>())
{}

CatalogWriter::~CatalogWriter() = default;

bool CatalogWriter::open(const std::string &databasePath, std::string *error)
{
    bool fresh = false;
    if (!m_connection->open(databasePath, error) || !CatalogSchema::apply(*m_connection, error)
        || !m_search->open(FullTextWriter::pathFor(databasePath), &fresh, error))
        return false;
    if (fresh && !rebuildSearch()) {
        if (error)
            *error = "cannot fill the search index: " + m_search->lastError();
        return false;
    }
    // What a crash between the two commits left behind.
    return begin() && commit();
}

bool CatalogWriter::rebuildSearch()
{
    if (!m_connection->exec("BEGIN") || !m_search->begin())
        return false;
    m_search->clear();
    auto &statement
        = m_connection->statement(std::string("SELECT ") + TrackRow::columns + " FROM tracks");
    while (statement.step())
        m_search->put(TrackRow::read(statement));
    statement.reset();
    m_connection->exec("DELETE FROM search_log");
    return m_connection->exec("COMMIT") && m_search->finish();
}

bool CatalogWriter::begin()
{
    return m_connection->exec("BEGIN IMMEDIATE");
}

bool CatalogWriter::takeLog(std::vector<TrackRecord> &puts, std::vector<int64_t> &removals)
{
    auto &log = m_connection->statement(
        std::string("SELECT search_log.id, tracks.id IS NOT NULL, ") + TrackRow::columns
        + " FROM search_log LEFT JOIN tracks ON tracks.id = search_log.id");
    while (log.step()) {
        if (log.integer(1) == 0)
            removals.push_back(log.integer(0));
        else
            puts.push_back(TrackRow::read(log, 2));
    }
    log.reset();
    return m_connection->exec("DELETE FROM search_log");
}

bool CatalogWriter::commit()
{
    std::vector<TrackRecord> puts;
    std::vector<int64_t> removals;
    if (!takeLog(puts, removals))
        return false;
    if (puts.empty() && removals.empty())
        return m_connection->exec("COMMIT");
    // Marked as changing until finished: a crash in between has the index made again.
    for (const int64_t id : removals)
        m_search->remove(id);
    if (!m_search->begin())
        return false;
    if (!m_connection->exec("COMMIT"))
        return false;
    for (const auto &track : puts)
        m_search->put(track);
    const bool finished = m_search->finish();
    if (m_committed)
        m_committed();
    return finished;
}

std::unordered_map<std::string, CatalogWriter::FileState>
CatalogWriter::filesUnder(const std::string &dir)
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

int64_t CatalogWriter::put(const TrackRecord &track)
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

bool CatalogWriter::remove(int64_t id)
{
    auto &statement = m_connection->statement("DELETE FROM tracks WHERE id = ?1");
    statement.bind(1, id);
    return statement.run();
}

bool CatalogWriter::removeAt(const std::string &path)
{
    auto &statement = m_connection->statement("DELETE FROM tracks WHERE path = ?1");
    statement.bind(1, path);
    return statement.run();
}

std::string CatalogWriter::lastError() const
{
    return m_connection->lastError();
}

bool CatalogWriter::setPublicUrl(const std::string &url)
{
    return m_search->setPublicUrl(url);
}

} // namespace catalog
