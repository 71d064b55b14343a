#include "searchcache.h"

namespace catalog {

namespace {

size_t cost(const std::string &key, const std::string &page)
{
    return key.size() + page.size() + 128; // the entry and its map slot
}

} // namespace

SearchCache::SearchCache(size_t capacityBytes)
    : m_capacity(capacityBytes)
{}

SearchCache::Page SearchCache::find(const std::string &key, uint64_t generation)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_byKey.find(key);
    if (it == m_byKey.end())
        return {};
    if (it->second->generation != generation) {
        drop(it->second);
        return {};
    }
    m_entries.splice(m_entries.begin(), m_entries, it->second);
    return it->second->page;
}

void SearchCache::insert(const std::string &key, uint64_t generation, Page page)
{
    if (!page || cost(key, *page) > m_capacity / 4)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto known = m_byKey.find(key);
    if (known != m_byKey.end())
        drop(known->second);
    m_size += cost(key, *page);
    m_entries.push_front({key, generation, std::move(page)});
    m_byKey[key] = m_entries.begin();
    while (m_size > m_capacity)
        drop(std::prev(m_entries.end()));
}

void SearchCache::drop(std::list<Entry>::iterator entry)
{
    m_size -= cost(entry->key, *entry->page);
    m_byKey.erase(entry->key);
    m_entries.erase(entry);
}

} // namespace catalog
