#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace catalog {

// Ranked match lists of recent queries, least recently used dropped first once the lists
// together hold more than the given number of ids. Lists made from an older generation of
// the index are never stored, so a rescan cannot bring stale results back. Thread-safe.
class ResultCache
{
public:
    using Ranking = std::shared_ptr<const std::vector<int64_t>>;

    explicit ResultCache(size_t capacityIds);

    Ranking find(const std::string &key);
    // replace: drop what is stored under key first.
    void insert(const std::string &key, uint64_t generation, Ranking ranking, bool replace = false);

    // Drops everything and moves to the next generation; returns the new generation.
    uint64_t invalidate();
    uint64_t generation() const;

private:
    struct Entry
    {
        std::string key;
        Ranking ranking;
    };

    const size_t m_capacity;
    mutable std::mutex m_mutex;
    uint64_t m_generation = 0;
    size_t m_size = 0;
    std::list<Entry> m_entries; // most recently used first
    std::unordered_map<std::string, std::list<Entry>::iterator> m_byKey;
};

} // namespace catalog
