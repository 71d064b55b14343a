#pragma once

#include <cstddef>
#include <cstdint>

// The catalogue service's request handling: search path parsing, percent-decoding, UTF-8
// validation, query words, and the escaping of values written into XSPF replies.
class CatalogCheck
{
public:
    static void run(const uint8_t *data, size_t size);
};
