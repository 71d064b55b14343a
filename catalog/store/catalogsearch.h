#pragma once

#include "pagesource.h"
#include "searchcache.h"
#include "trackrecord.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace catalog {

class SearchQuery;
class SqliteConnection;
class FullTextReader;
class SearchTotals;
class SharedCounts;

// Read side of the catalogue, called from any thread at once: searches run on the HTTP
// front's event loops, and changed() comes from whichever thread committed. Each call borrows a
// reader from the pool it owns: a SQLite connection for the tracks and a reader of the
// full-text index that ranks them. The pool grows to the number of threads that read at once
// and no further. Nothing throws: a reader that cannot be opened, or an index that cannot
// be read, gives an empty page, no track or a count of 0.
class CatalogSearch : public PageSource
{
public:
    explicit CatalogSearch(std::string databasePath);
    ~CatalogSearch() override;
    CatalogSearch(const CatalogSearch &) = delete;
    CatalogSearch &operator=(const CatalogSearch &) = delete;

    // Opens a first connection and creates the tables if needed; false with *error when it
    // cannot.
    bool open(std::string *error);

    // Matches ranked best first (BM25 over title and creator, then album, then file name),
    // ties by id; the tracks of [start, start + count). The page always holds as many tracks
    // as its total promises, also while the index changes.
    SearchPage search(const SearchQuery &query, int64_t start, int count) override;

    std::optional<TrackRecord> track(int64_t id) override;
    int64_t trackCount() override;
    // Calls visit with every track in id order, from one snapshot of the table; false when the
    // tracks cannot be read (visit may have seen some).
    bool forEachTrack(const std::function<void(const TrackRecord &track)> &visit);

    // Reads what searches of the library's commonest words share before the first of them
    // (FullTextReader::warm), so that they cost from the start what they cost later; the
    // number of words read.
    size_t warm();
    // Called after committed writes: searches see them from now on.
    void changed();
    // Moves on at every changed().
    uint64_t generation() const override { return m_generation; }

private:
    struct Reader;
    class Lease;
    std::unique_ptr<Reader> acquire();
    void release(std::unique_ptr<Reader> reader);
    bool readPage(SqliteConnection &connection, const std::vector<int64_t> &ids, SearchPage &page);

    const std::string m_path;
    const std::unique_ptr<SearchTotals> m_totals;
    const std::unique_ptr<SharedCounts> m_counts;
    SearchCache m_rankings;
    std::atomic<uint64_t> m_generation{0};
    std::mutex m_poolMutex;
    std::vector<std::unique_ptr<Reader>> m_pool;
};

} // namespace catalog
