#pragma once

#include <cstddef>
#include <cstdint>

// The search reply handling: the input as a reply body (XSPF parsing, attribute reading, value
// decoding), and as a track title written by the catalogue and read back by the client.
class XspfCheck
{
public:
    static void run(const uint8_t *data, size_t size);
};
