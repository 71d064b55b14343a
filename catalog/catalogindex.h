#pragma once

#include "resultcache.h"
#include "trackrecord.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace catalog {

class SearchQuery;
class SqliteConnection;

struct SearchPage
{
    int64_t total = 0;
    std::vector<TrackRecord> tracks;
};

// Read side of the catalogue, shared by all request threads. Each thread borrows its own
// SQLite connection from a pool; ranked match lists are cached per query until
// changed() reports that the index was written to.
class CatalogIndex
{
public:
    explicit CatalogIndex(std::string databasePath);
    ~CatalogIndex();
    CatalogIndex(const CatalogIndex &) = delete;
    CatalogIndex &operator=(const CatalogIndex &) = delete;

    // Opens a first connection and creates the tables if needed.
    bool open(std::string *error);

    // Matches ranked best first (bm25), ties by id; the tracks of [start, start + count).
    SearchPage search(const SearchQuery &query, int64_t start, int count);

    std::optional<TrackRecord> track(int64_t id);
    int64_t trackCount();

    // Called after every committed write so that cached rankings are dropped.
    void changed();

private:
    class Lease;
    std::unique_ptr<SqliteConnection> acquire();
    void release(std::unique_ptr<SqliteConnection> connection);
    // fresh: rank again and replace what the cache holds for the expression.
    std::shared_ptr<const std::vector<int64_t>> ranking(SqliteConnection &connection,
                                                        const std::string &expression, bool fresh);
    bool readPage(SqliteConnection &connection, const std::vector<int64_t> &ids, int64_t start,
                  int count, SearchPage &page);

    const std::string m_path;
    ResultCache m_cache;
    std::mutex m_poolMutex;
    std::vector<std::unique_ptr<SqliteConnection>> m_pool;
};

} // namespace catalog
