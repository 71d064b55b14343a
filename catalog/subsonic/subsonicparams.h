#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace catalog {

// The parameters of one API request: those of the query string and, for a form POST, those of
// its body, in the order sent ('+' is a blank, as forms encode it). A value, made and read on
// one event loop. add() refuses a broken percent escape and any name or value that is not
// valid UTF-8, leaving what it read before.
class SubsonicParams
{
public:
    // Takes in "a=1&b=2"; false when a pair cannot be decoded, or there are more than
    // maxPairs in all.
    bool add(std::string_view encoded);

    // The first value of name, or nothing.
    std::optional<std::string> value(std::string_view name) const;
    bool has(std::string_view name) const { return value(name).has_value(); }
    // Every value of name, in order ("id" may come several times).
    std::vector<std::string> values(std::string_view name) const;
    // The first value of name as a whole number, brought within [minimum, maximum]: fallback
    // when absent, nothing when present but not a number.
    std::optional<int64_t> number(std::string_view name, int64_t fallback, int64_t minimum,
                                  int64_t maximum) const;

    // Every name and value, in order.
    const std::vector<std::pair<std::string, std::string>> &pairs() const { return m_pairs; }

    static constexpr size_t maxPairs = 256;

private:
    std::vector<std::pair<std::string, std::string>> m_pairs;
};

} // namespace catalog
