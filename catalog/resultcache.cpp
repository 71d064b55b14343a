#include "resultcache.h"

namespace catalog {

ResultCache::ResultCache(size_t capacityIds)
    : m_capacity(capacityIds)
{}

ResultCache::Ranking ResultCache::find(const std::string &key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_byKey.find(key);
    if (it == m_byKey.end())
        return {};
    m_entries.splice(m_entries.begin(), m_entries, it->second);
    return it->second->ranking;
}

void ResultCache::insert(const std::string &key, uint64_t generation, Ranking ranking, bool replace)
{
    if (!ranking || ranking->size() > m_capacity)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (replace && generation == m_generation) {
        const auto it = m_byKey.find(key);
        if (it != m_byKey.end()) {
            m_size -= it->second->ranking->size();
            m_entries.erase(it->second);
            m_byKey.erase(it);
        }
    }
    if (generation != m_generation || m_byKey.count(key))
        return;
    m_size += ranking->size();
    m_entries.push_front({key, std::move(ranking)});
    m_byKey[key] = m_entries.begin();
    while (m_size > m_capacity && m_entries.size() > 1) {
        m_size -= m_entries.back().ranking->size();
        m_byKey.erase(m_entries.back().key);
        m_entries.pop_back();
    }
}

uint64_t ResultCache::invalidate()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.clear();
    m_byKey.clear();
    m_size = 0;
    return ++m_generation;
}

uint64_t ResultCache::generation() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_generation;
}

} // namespace catalog
