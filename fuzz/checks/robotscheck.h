#pragma once

#include <cstddef>
#include <cstdint>

// The crawler's robots.txt reading: groups, rules and the path matcher, held against a plain
// dynamic-programming matcher of the same rule language.
class RobotsCheck
{
public:
    static void run(const uint8_t *data, size_t size);
};
