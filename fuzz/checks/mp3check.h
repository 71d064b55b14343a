#pragma once

#include <cstddef>
#include <cstdint>

// Decoding a file that is still being written. The input is the file; the bytes at its end
// also choose how it is written (chunk sizes, when the source is opened, read sizes).
class Mp3Check
{
public:
    static void run(const uint8_t *data, size_t size);
};
