#include "repeatfilter.h"

#include <functional>

namespace catalog {

namespace {

size_t powerOfTwoAtLeast(size_t n)
{
    size_t power = 1;
    while (power < n)
        power *= 2;
    return power;
}

} // namespace

RepeatFilter::RepeatFilter(size_t slots)
    : m_mask(powerOfTwoAtLeast(slots) - 1)
    , m_slots(std::make_unique<std::atomic<size_t>[]>(m_mask + 1))
{}

bool RepeatFilter::seenBefore(const std::string &key)
{
    // Zero marks an empty slot, so no hash may be zero.
    const size_t hash = std::hash<std::string>()(key) | 1;
    auto &slot = m_slots[hash & m_mask];
    return slot.exchange(hash, std::memory_order_relaxed) == hash;
}

} // namespace catalog
