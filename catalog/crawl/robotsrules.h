#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace catalog {

// What a site's robots.txt allows one crawler, read as RFC 9309 says: the groups whose
// user-agent lines name the crawler's product token (letter case ignored), else the "*"
// groups, else nothing is disallowed. Of the rules that match a path ("*" for any run of
// characters, "$" at the end for its end) the longest wins, and "allow" wins a tie. Paths are
// compared percent-encoded, escapes in upper case. Crawl-delay, which the RFC leaves out but
// sites use, is read from the same groups. A value, kept by its host on the crawl thread;
// parse() never fails, lines it cannot read are skipped.
class RobotsRules
{
public:
    struct Rule
    {
        bool allow = false;
        std::string pattern; // normalised
    };

    // The first 512 KiB of text are read; the rest is ignored, as the RFC allows.
    static RobotsRules parse(std::string_view text, std::string_view productToken);

    // path: the path and query of a URL on the site, starting with '/'.
    bool allowed(std::string_view path) const;
    std::optional<double> crawlDelay() const { return m_crawlDelay; }

    const std::vector<Rule> &rules() const { return m_rules; }

    // Percent-encodes bytes outside printable ASCII and upper-cases existing escapes.
    static std::string normalise(std::string_view path);
    // Whether pattern (normalised) matches the start of path (normalised).
    static bool matches(std::string_view pattern, std::string_view path);

private:
    std::vector<Rule> m_rules;
    std::optional<double> m_crawlDelay;
};

} // namespace catalog
