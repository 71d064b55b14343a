#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace catalog {

// Search pages (or their rankings) recently written, least recently used dropped first once
// they hold more than the given number of bytes. A page made from an older generation of the
// index is never served. Thread-safe: CatalogSearch keeps rankings in one and CatalogServer
// pages in another, both used from the HTTP front's event loops. find() gives null when it
// has nothing; a page found is shared, and stays whole after it is dropped here.
class SearchCache
{
public:
    using Page = std::shared_ptr<const std::string>;

    explicit SearchCache(size_t capacityBytes);

    Page find(const std::string &key, uint64_t generation);
    void insert(const std::string &key, uint64_t generation, Page page);

private:
    struct Entry
    {
        std::string key;
        uint64_t generation;
        Page page;
    };
    void drop(std::list<Entry>::iterator entry);

    const size_t m_capacity;
    std::mutex m_mutex;
    size_t m_size = 0;
    std::list<Entry> m_entries; // most recently used first
    std::unordered_map<std::string, std::list<Entry>::iterator> m_byKey;
};

} // namespace catalog
