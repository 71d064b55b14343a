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
    return found != m_kept.end() ? found->second : nullptr;
}

SharedCounts::Kept SharedCounts::keep(const std::string &key, const std::string &index,
                                      uint64_t revision, Entry entry)
{
    auto made = std::make_shared<const Entry>(std::move(entry));
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!current(index, revision))
        return made;
    if (const auto found = m_kept.find(key); found != m_kept.end())
        return found->second;
    if (m_bytes + made->bytes() > m_maxBytes) {
        m_kept.clear();
        m_bytes = 0;
    }
    m_bytes += made->bytes();
    m_kept.emplace(key, made);
    return made;
}

} // namespace catalog
