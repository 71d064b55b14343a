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

    // Rules kept, and bytes of a rule (normalised): a robots.txt of thousands of long
    // wildcard rules would otherwise cost that much at every request to its host.
    static constexpr size_t maxRules = 1000;
    static constexpr size_t maxRuleBytes = 512;

    // The first 512 KiB of text are read; the rest is ignored, as the RFC allows. Of the
    // rules for us, the first maxRules are kept; a longer disallow than maxRuleBytes is cut
    // there, a longer allow dropped.
    static RobotsRules parse(std::string_view text, std::string_view productToken);

    // path: the path and query of a URL on the site, starting with '/'. *steps, when given,
    // grows by the characters compared, linear in the lengths of the rules and the path.
    bool allowed(std::string_view path, size_t *steps = nullptr) const;
    std::optional<double> crawlDelay() const { return m_crawlDelay; }
    // The Sitemap: lines' addresses, of whatever group, as written; the first maxSitemaps.
    static constexpr size_t maxSitemaps = 16;
    const std::vector<std::string> &sitemaps() const { return m_sitemaps; }

    const std::vector<Rule> &rules() const { return m_rules; }

    // Percent-encodes bytes outside printable ASCII and upper-cases existing escapes.
    static std::string normalise(std::string_view path);
    // Whether pattern (normalised) matches the start of path (normalised).
    static bool matches(std::string_view pattern, std::string_view path, size_t *steps = nullptr);

private:
    static std::optional<std::string> keptPattern(std::string_view value, bool allow);
    static bool matchCounting(std::string_view pattern, std::string_view path, size_t &steps);
    static size_t find(std::string_view text, std::string_view needle, size_t from, size_t &steps);

    std::vector<Rule> m_rules;
    std::optional<double> m_crawlDelay;
    std::vector<std::string> m_sitemaps;
};

} // namespace catalog
