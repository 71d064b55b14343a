#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

namespace catalog {

// Tells whether a key was seen recently: each key leaves its hash in one of a fixed number of
// slots, where a later key that falls on the same slot replaces it. Keeps a cache from
// filling with what is asked for once. Thread-safe without a lock.
class RepeatFilter
{
public:
    explicit RepeatFilter(size_t slots);

    // True when the key was seen since its slot last changed; remembers it either way.
    bool seenBefore(const std::string &key);

private:
    const size_t m_count;
    const std::unique_ptr<std::atomic<size_t>[]> m_slots;
};

} // namespace catalog
