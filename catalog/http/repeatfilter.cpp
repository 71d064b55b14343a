#include "repeatfilter.h"

#include <algorithm>
#include <functional>

namespace catalog {

RepeatFilter::RepeatFilter(size_t slots)
    : m_count(std::max<size_t>(slots, 1))
    , m_slots(std::make_unique<std::atomic<size_t>[]>(m_count))
{}

bool RepeatFilter::seenBefore(const std::string &key)
{
    // Zero marks an empty slot, so no hash may be zero.
    const size_t hash = std::hash<std::string>()(key) | 1;
    auto &slot = m_slots[hash % m_count];
    return slot.exchange(hash, std::memory_order_relaxed) == hash;
}

} // namespace catalog
