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
// stay in SQLite. A document's id is its track's id. Used by one thread at a time.
class SearchIndexWriter
{
public:
    SearchIndexWriter();
    ~SearchIndexWriter();
    SearchIndexWriter(const SearchIndexWriter &) = delete;
    SearchIndexWriter &operator=(const SearchIndexWriter &) = delete;

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
    bool finish();
    // Drops every document (before a refill).
    void clear();

    std::string lastError() const { return m_error; }

private:
    bool commit(bool dirty);

    std::string m_path;
    std::unique_ptr<Xapian::WritableDatabase> m_db;
    std::string m_error;
};

} // namespace catalog
