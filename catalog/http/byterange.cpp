#include "byterange.h"

#include "texthelpers.h"

#include <algorithm>
#include <optional>

namespace catalog {

namespace {

// Digits only; a number past what any file holds saturates rather than wraps.
std::optional<uint64_t> number(std::string_view digits)
{
    if (digits.empty())
        return std::nullopt;
    uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = std::min<uint64_t>(value * 10 + uint64_t(c - '0'), uint64_t(1) << 62);
    }
    return value;
}

bool startsWithBytesUnit(std::string_view field)
{
    if (field.size() < 6 || field[5] != '=')
        return false;
    for (size_t i = 0; i < 5; ++i) {
        if ((field[i] | 0x20) != "bytes"[i])
            return false;
    }
    return true;
}

} // namespace

ByteRange ByteRange::parse(std::string_view field, uint64_t size)
{
    ByteRange whole;
    field = TextHelpers::trimmed(field);
    if (!startsWithBytesUnit(field))
        return whole;
    const std::string_view set = TextHelpers::trimmed(field.substr(6));
    if (set.find(',') != std::string_view::npos)
        return whole;
    const size_t dash = set.find('-');
    if (dash == std::string_view::npos)
        return whole;
    const std::string_view from = set.substr(0, dash);
    const std::string_view to = set.substr(dash + 1);

    ByteRange range;
    if (from.empty()) {
        const auto suffix = number(to);
        if (!suffix)
            return whole;
        if (*suffix == 0 || size == 0) {
            range.kind = Kind::Unsatisfiable;
            return range;
        }
        range.kind = Kind::Part;
        range.first = size - std::min(*suffix, size);
        range.last = size - 1;
        return range;
    }
    const auto first = number(from);
    const auto last = to.empty() ? std::optional<uint64_t>(UINT64_MAX) : number(to);
    if (!first || !last || *last < *first)
        return whole;
    if (*first >= size) {
        range.kind = Kind::Unsatisfiable;
        return range;
    }
    range.kind = Kind::Part;
    range.first = *first;
    range.last = std::min(*last, size - 1);
    return range;
}

} // namespace catalog
