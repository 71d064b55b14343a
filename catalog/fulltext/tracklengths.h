#pragma once

#include <xapian.h>

#include <cstdint>
#include <vector>

namespace catalog {

// Every track's length, as the ranking weighs it, for one revision of the index. The ranking
// needs the length of every match it weighs, and read from the index that is a block read for
// each match wherever the matches lie far apart. The lengths are read into memory a slice at a
// time, so that no one search pays for all of them (20 ms at a million tracks) when the index
// changes every second while a crawl runs; until all are read, they are read from the index.
// Owned by a FullTextReader and used on its thread; an error reading the index is Xapian's
// exception, which the reader's search catches.
class TrackLengths
{
public:
    // db's revision; db is copied and shares its snapshot.
    explicit TrackLengths(const Xapian::Database &db);

    // Reads up to count more lengths into memory; true once they are all there.
    bool readMore(Xapian::doccount count);

    Xapian::termcount of(Xapian::docid id) const
    {
        if (m_read && id < m_lengths.size() && m_lengths[id] != saturated)
            return m_lengths[id];
        return m_db.get_doclength(id);
    }
    // Asks for id's length to be brought into the cache, for an of() soon after.
    void prefetch(Xapian::docid id) const
    {
        if (id < m_lengths.size())
            __builtin_prefetch(&m_lengths[id]);
    }

private:
    static constexpr uint16_t saturated = UINT16_MAX; // read from the index

    Xapian::Database m_db;
    std::vector<uint16_t> m_lengths;
    Xapian::docid m_next = 1; // the first track not read yet
    bool m_read = false;
};

} // namespace catalog
