#pragma once

#include "trackrecord.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace catalog {

class FullTextWriter;
class SqliteConnection;

// Write side of the catalogue, and the only writer of the tracks table: the table and the
// full-text index that ranks it. Used by one thread at a time: the folder scanner and the
// crawler take turns under a lock that main() owns (the benchmark's fill tool and the tests
// use it alone). Writes are grouped in explicit transactions; commit() brings the full-text
// index in step. It owns its connection and the full-text writer; tables opened with
// openTables() borrow the connection and go before the writer. Calls that fail return false
// (put() returns 0), and lastError() says why.
class CatalogWriter
{
public:
    struct FileState
    {
        int64_t id = 0;
        int64_t size = 0;
        int64_t mtimeNs = 0;
    };

    CatalogWriter();
    ~CatalogWriter();
    CatalogWriter(const CatalogWriter &) = delete;
    CatalogWriter &operator=(const CatalogWriter &) = delete;

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
    // Removes the track at path (a file's path or a crawled track's address), if there is one.
    bool removeAt(const std::string &path);

    std::string lastError() const;

    // Tells a front searching the full-text index as a shard where this service serves the
    // files (see FullTextWriter::setPublicUrl).
    bool setPublicUrl(const std::string &url);

    // Opens Tables, the state of another room kept in step with the tracks (the crawl
    // state), on the writer's own connection: what it writes between begin() and commit()
    // commits with the tracks. Tables is made from that connection and creates its own tables
    // in open(error); null with *error when it cannot.
    template<class Tables>
    std::unique_ptr<Tables> openTables(std::string *error)
    {
        auto tables = std::make_unique<Tables>(*m_connection);
        if (!tables->open(error))
            return nullptr;
        return tables;
    }

    // Called after every commit that changed tracks, on the committing thread.
    void setCommitted(std::function<void()> committed) { m_committed = std::move(committed); }

private:
    bool rebuildSearch();
    bool takeLog(std::vector<TrackRecord> &puts, std::vector<int64_t> &removals);

    std::unique_ptr<SqliteConnection> m_connection;
    std::unique_ptr<FullTextWriter> m_search;
    std::function<void()> m_committed;
};

} // namespace catalog
