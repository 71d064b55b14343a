#pragma once

#include <cstddef>
#include <cstdint>

// The Subsonic API's parameters and answers: a query string and a form body are decoded into
// names and values that encode back to the same, and any value written into an answer leaves
// it well-formed XML and JSON.
class SubsonicCheck
{
public:
    static void run(const uint8_t *data, size_t size);
};
