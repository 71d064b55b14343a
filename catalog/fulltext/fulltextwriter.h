#pragma once

#include "trackrecord.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Xapian {
class WritableDatabase;
}

namespace catalog {

// The write side of the full-text index (Xapian) that ranks searches; the tracks themselves
// stay in SQLite. A document's id is its track's id. In the service CatalogWriter owns it and
// uses it on its thread. open() fails with *error, begin() and finish() return false; put(),
// remove(), clear() and a compaction return nothing, and lastError() keeps what went wrong.
class FullTextWriter
{
public:
    FullTextWriter();
    ~FullTextWriter();
    FullTextWriter(const FullTextWriter &) = delete;
    FullTextWriter &operator=(const FullTextWriter &) = delete;

    // The index folder kept beside the catalogue's database file.
    static std::string pathFor(const std::string &databasePath);

    // Opens or creates the index. *fresh tells whether it has to be filled from scratch:
    // it was missing, unreadable, of another format, or left half-written by a crash.
    bool open(const std::string &path, bool *fresh, std::string *error);

    void put(const TrackRecord &track);
    void remove(int64_t id);
    // Marks the index as being changed until the next finish(), so that a crash in between
    // is seen at the next open().
    bool begin();
    // Commits, and compacts the index once it has changed by as many documents as it held at
    // its last compaction (compactMinimum at least): built a document at a time, its posting
    // lists take 2.4 times the room and a search reads that many more blocks.
    bool finish();
    // Drops every document (before a refill).
    void clear();

    std::string lastError() const { return m_error; }

    // Where the service that indexed the tracks serves their files ("http://host:port"): a
    // front searching this index as a shard makes the files' locations from it. Committed at
    // once; false when it cannot be.
    bool setPublicUrl(const std::string &url);
    static constexpr const char *publicUrlKey = "public-url";

    static constexpr uint64_t compactMinimum = 1000;

private:
    bool commit(bool dirty);
    // A compacted copy takes the index's place; readers open it at their next refresh.
    bool compact();

    std::string m_path;
    std::unique_ptr<Xapian::WritableDatabase> m_db;
    std::string m_error;
    uint64_t m_changed = 0;        // documents put or removed since the last compaction
    uint64_t m_compactedCount = 0; // documents at the last compaction
};

} // namespace catalog
