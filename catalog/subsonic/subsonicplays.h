#pragma once

#include "sqliteconnection.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace catalog {

// How often and when last each song was played, as clients report with scrobble: the table
// "plays" of a database of its own beside the catalogue's (a play is written at once, and the
// catalogue's writer may be in a long scan). It owns its connection, which the event loops
// share under a lock. Calls that fail return false or nothing; the plays are a nicety.
class SubsonicPlays
{
public:
    struct Play
    {
        uint64_t song = 0; // SubsonicIds::songKey
        int64_t count = 0;
        int64_t lastMs = 0; // milliseconds since the epoch
    };

    bool open(const std::string &path, std::string *error);

    bool played(uint64_t song, int64_t whenMs);
    // The most played songs, or those played last, best first.
    std::vector<Play> mostPlayed(int limit);
    std::vector<Play> lastPlayed(int limit);

private:
    std::vector<Play> list(const char *sql, int limit);

    std::mutex m_mutex;
    SqliteConnection m_connection;
    bool m_open = false;
};

} // namespace catalog
