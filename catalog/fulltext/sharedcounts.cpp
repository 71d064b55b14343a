#include "sharedcounts.h"

namespace catalog {

SharedCounts::SharedCounts(size_t maxBytes)
    : m_maxBytes(maxBytes)
{}

bool SharedCounts::current(const std::string &index, uint64_t revision)
{
    if (index == m_index && revision == m_revision)
        return true;
    // A reader still on an older revision reads for itself until it moves on.
    if (index == m_index && revision < m_revision)
        return false;
    m_index = index;
    m_revision = revision;
    m_kept.clear();
    m_uses.clear();
    m_bytes = 0;
    return true;
}

SharedCounts::Kept SharedCounts::find(const std::string &key, const std::string &index,
                                      uint64_t revision)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index != m_index || revision != m_revision)
        return nullptr;
    const auto found = m_kept.find(key);
    if (found == m_kept.end())
        return nullptr;
    m_uses.splice(m_uses.begin(), m_uses, found->second.use);
    return found->second.entry;
}

SharedCounts::Kept SharedCounts::keep(const std::string &key, const std::string &index,
                                      uint64_t revision, Entry entry)
{
    auto made = std::make_shared<const Entry>(std::move(entry));
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!current(index, revision))
        return made;
    if (const auto found = m_kept.find(key); found != m_kept.end()) {
        m_uses.splice(m_uses.begin(), m_uses, found->second.use);
        return found->second.entry;
    }
    m_uses.push_front(key);
    m_kept.emplace(key, Slot{made, m_uses.begin()});
    m_bytes += made->bytes();
    // The newest stays, even alone over the bound: the search that read it holds it anyway.
    while (m_bytes > m_maxBytes && m_uses.size() > 1) {
        const auto oldest = m_kept.find(m_uses.back());
        m_bytes -= oldest->second.entry->bytes();
        m_kept.erase(oldest);
        m_uses.pop_back();
    }
    return made;
}

} // namespace catalog
