#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace catalog {

// Counts read from one revision of a full-text index (a common word's count in every track,
// the best of a last word's completions in every track or only in the tracks with one, a less
// common word's tracks), shared by all its readers: read once for the service rather than once
// a reader, each a list walked to its end. Kept for the newest revision seen only, within a
// number of bytes: the least recently asked for are dropped first, so that the words a library
// is searched for most stay while the rest come and go. Thread-safe: owned by CatalogSearch (or
// by a reader of its own) and shared by its readers; what find() and keep() return stays valid
// while held, whatever is dropped meanwhile.
class SharedCounts
{
public:
    struct Entry
    {
        std::vector<uint8_t> counts; // four bits a track, or a byte (a last word's completions)
        uint32_t together = 0;       // tracks with a count
        // A bit a track with a count (bit id % 64 of word id / 64), for counting the tracks
        // that have several words by their bits.
        std::vector<uint64_t> present;
        // A less common word's tracks in id order, its count in each in counts (a byte).
        std::vector<uint32_t> ids;

        size_t bytes() const
        {
            return counts.size() + present.size() * sizeof(uint64_t)
                   + ids.size() * sizeof(uint32_t);
        }
    };
    using Kept = std::shared_ptr<const Entry>;

    explicit SharedCounts(size_t maxBytes);

    // What is kept for key in revision of index (its UUID), or nothing.
    Kept find(const std::string &key, const std::string &index, uint64_t revision);
    // Keeps entry for key, unless it is of an older revision than the newest seen; returns
    // the entry kept for key (another reader's, where it came first).
    Kept keep(const std::string &key, const std::string &index, uint64_t revision, Entry entry);

private:
    struct Slot
    {
        Kept entry;
        std::list<std::string>::iterator use;
    };

    // Whether (index, revision) is the one kept, dropping what is kept for a newer one.
    bool current(const std::string &index, uint64_t revision);

    const size_t m_maxBytes;
    std::mutex m_mutex;
    std::string m_index;
    uint64_t m_revision = 0;
    std::unordered_map<std::string, Slot> m_kept;
    std::list<std::string> m_uses; // the keys kept, the most recently asked for first
    size_t m_bytes = 0;
};

} // namespace catalog
