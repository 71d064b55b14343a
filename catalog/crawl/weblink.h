#pragma once

#include <string>
#include <string_view>

namespace catalog {

// Absolute web addresses for the crawler, on libcurl's URL parser: a link resolved against
// the address of the page that holds it, kept only when it is http or https, without its
// fragment, and at most 2 KiB long. Pure functions, safe on any thread.
class WebLink
{
public:
    static constexpr size_t maxLength = 2048;

    // The absolute form of reference read on the page at base; empty when it is not one the
    // crawler may follow.
    static std::string resolve(const std::string &base, std::string_view reference);
    // The parts below are read from an address as resolve() gives it.
    // The host of an absolute address, in lower case; empty when it has none.
    static std::string host(const std::string &url);
    // "scheme://host[:port]" of an absolute address, host in lower case and the port only
    // when it is not the scheme's own; empty when it has none. Robots rules and politeness
    // go by it.
    static std::string origin(const std::string &url);
    // The path and query of an absolute address, as sent in a request ("/" at least).
    static std::string target(const std::string &url);
    // Whether the path of url (query aside) ends in ".mp3", any letter case.
    static bool isMp3(const std::string &url);
};

} // namespace catalog
