#pragma once

#include "trackrecord.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

namespace catalog {

class SqliteConnection;

// Write side of the catalogue: one connection, used by one thread at a time (the scanner,
// or the benchmark's fill tool). Writes are grouped in explicit transactions.
class IndexWriter
{
public:
    struct FileState
    {
        int64_t id = 0;
        int64_t size = 0;
        int64_t mtimeNs = 0;
    };

    IndexWriter();
    ~IndexWriter();
    IndexWriter(const IndexWriter &) = delete;
    IndexWriter &operator=(const IndexWriter &) = delete;

    bool open(const std::string &databasePath, std::string *error);

    bool begin();
    bool commit();

    // The indexed files whose path lies below the directory dir (an absolute path).
    std::unordered_map<std::string, FileState> filesUnder(const std::string &dir);

    // Inserts the track, or updates the row of the same path; returns its id, 0 on error.
    int64_t put(const TrackRecord &track);
    bool remove(int64_t id);

    std::string lastError() const;

private:
    std::unique_ptr<SqliteConnection> m_connection;
};

} // namespace catalog
