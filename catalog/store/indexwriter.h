#pragma once

#include "trackrecord.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace catalog {

class SearchIndexWriter;
class SqliteConnection;

// Write side of the catalogue: the tracks table and the full-text index that ranks it, used
// by one thread at a time (the scanner, or the benchmark's fill tool). Writes are grouped in
// explicit transactions; commit() brings the full-text index in step.
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

    // Opens both, filling the full-text index from the tracks table when it is missing or
    // cannot be trusted, and taking in what a crash left it without.
    bool open(const std::string &databasePath, std::string *error);

    bool begin();
    // Removed tracks leave the full-text index before the tracks table commits, and new ones
    // enter it after: a search never ranks a track it cannot read.
    bool commit();

    // The indexed files whose path lies below the directory dir (an absolute path).
    std::unordered_map<std::string, FileState> filesUnder(const std::string &dir);

    // Inserts the track, or updates the row of the same path; returns its id, 0 on error.
    int64_t put(const TrackRecord &track);
    bool remove(int64_t id);

    std::string lastError() const;

    // The connection the writes go through, for state kept in step with the tracks (the
    // crawler's): what it writes between begin() and commit() commits with them.
    SqliteConnection &connection() { return *m_connection; }

    // Called after every commit that changed tracks, on the committing thread.
    void setCommitted(std::function<void()> committed) { m_committed = std::move(committed); }

private:
    bool rebuildSearch();
    bool takeLog(std::vector<TrackRecord> &puts, std::vector<int64_t> &removals);

    std::unique_ptr<SqliteConnection> m_connection;
    std::unique_ptr<SearchIndexWriter> m_search;
    std::function<void()> m_committed;
};

} // namespace catalog
