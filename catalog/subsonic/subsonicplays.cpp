#include "subsonicplays.h"

namespace catalog {

bool SubsonicPlays::open(const std::string &path, std::string *error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = m_connection.open(path, error)
             && m_connection.exec("CREATE TABLE IF NOT EXISTS plays(song INTEGER PRIMARY KEY,"
                                  " count INTEGER NOT NULL, last_ms INTEGER NOT NULL);"
                                  "PRAGMA synchronous = NORMAL;",
                                  error);
    return m_open;
}

bool SubsonicPlays::played(uint64_t song, int64_t whenMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_open)
        return false;
    auto &statement = m_connection.statement(
        "INSERT INTO plays(song, count, last_ms) VALUES(?1, 1, ?2) ON CONFLICT(song) DO UPDATE"
        " SET count = count + 1, last_ms = max(last_ms, excluded.last_ms)");
    statement.bind(1, int64_t(song));
    statement.bind(2, whenMs);
    return statement.run();
}

std::vector<SubsonicPlays::Play> SubsonicPlays::list(const char *sql, int limit)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Play> plays;
    if (!m_open)
        return plays;
    auto &statement = m_connection.statement(sql);
    statement.bind(1, int64_t(limit));
    while (statement.step())
        plays.push_back(
            {uint64_t(statement.integer(0)), statement.integer(1), statement.integer(2)});
    statement.reset();
    return plays;
}

std::vector<SubsonicPlays::Play> SubsonicPlays::mostPlayed(int limit)
{
    return list("SELECT song, count, last_ms FROM plays ORDER BY count DESC, last_ms DESC LIMIT ?1",
                limit);
}

std::vector<SubsonicPlays::Play> SubsonicPlays::lastPlayed(int limit)
{
    return list("SELECT song, count, last_ms FROM plays ORDER BY last_ms DESC LIMIT ?1", limit);
}

} // namespace catalog
