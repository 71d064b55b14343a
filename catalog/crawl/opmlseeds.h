#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace catalog {

// The feeds an OPML subscription list names: the xmlUrl of every outline, nested ones too,
// in the order they stand (libxml2, no network, no entities). Pure functions, safe on any
// thread.
class OpmlSeeds
{
public:
    // Whether text looks like XML rather than a list of addresses, one a line.
    static bool isXml(std::string_view text);
    // The addresses, as written; nothing when text is no OPML document.
    static std::optional<std::vector<std::string>> read(std::string_view text);
};

} // namespace catalog
