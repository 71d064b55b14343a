#include "searchtotals.h"

#include <algorithm>
#include <functional>

namespace catalog {

SearchTotals::SearchTotals(size_t slots)
    : m_slots(std::max<size_t>(1, slots))
{}

std::string SearchTotals::keyOf(const std::vector<std::string> &words, const std::string &index)
{
    // Words never hold a NUL byte.
    std::string key = index;
    key += '\0';
    for (const auto &word : words) {
        key += word;
        key += '\0';
    }
    return key;
}

std::optional<int64_t> SearchTotals::find(const std::vector<std::string> &words,
                                          const std::string &index, uint64_t revision)
{
    const std::string key = keyOf(words, index);
    const size_t slotIndex = std::hash<std::string>()(key) % m_slots.size();
    std::lock_guard<std::mutex> lock(m_mutex);
    const Slot &slot = m_slots[slotIndex];
    if (slot.total < 0 || slot.revision != revision || slot.key != key)
        return std::nullopt;
    return slot.total;
}

void SearchTotals::insert(const std::vector<std::string> &words, const std::string &index,
                          uint64_t revision, int64_t total)
{
    std::string key = keyOf(words, index);
    const size_t slotIndex = std::hash<std::string>()(key) % m_slots.size();
    std::lock_guard<std::mutex> lock(m_mutex);
    Slot &slot = m_slots[slotIndex];
    slot.key = std::move(key);
    slot.revision = revision;
    slot.total = total;
}

} // namespace catalog
