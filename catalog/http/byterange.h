#pragma once

#include <cstdint>
#include <string_view>

namespace catalog {

// What a Range header field asks of a representation of a given size, read as RFC 9110
// section 14 says. Several ranges are answered with the whole representation, which the
// RFC allows; so is a field that is not a valid bytes range. A value; parse() is pure and
// safe on any thread.
struct ByteRange
{
    enum class Kind { Whole, Part, Unsatisfiable };

    Kind kind = Kind::Whole;
    uint64_t first = 0; // Part: the first and last byte, both within the representation
    uint64_t last = 0;

    static ByteRange parse(std::string_view field, uint64_t size);
};

} // namespace catalog
