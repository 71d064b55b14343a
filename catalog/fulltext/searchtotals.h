#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace catalog {

// Totals of recent searches by their words, for one revision of one full-text index each:
// a total does not depend on the page asked for, and counting it can cost more than ranking
// the page. A fixed number of slots, a newer total taking an older one's. Thread-safe: owned
// by CatalogSearch and shared by all its readers. find() gives nothing for a total not kept.
class SearchTotals
{
public:
    explicit SearchTotals(size_t slots);

    // index tells the database apart from one made again in its place (its UUID).
    std::optional<int64_t> find(const std::vector<std::string> &words, const std::string &index,
                                uint64_t revision);
    void insert(const std::vector<std::string> &words, const std::string &index, uint64_t revision,
                int64_t total);

private:
    struct Slot
    {
        std::string key;
        uint64_t revision = 0;
        int64_t total = -1;
    };
    static std::string keyOf(const std::vector<std::string> &words, const std::string &index);

    std::mutex m_mutex;
    std::vector<Slot> m_slots;
};

} // namespace catalog
