#include "robotscheck.h"

#include "fuzzcheck.h"

#include "robotsrules.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

using catalog::RobotsRules;

namespace {

// An independent reading of a pattern: '*' any run, '$' at the end anchors, otherwise a
// prefix of the path.
bool referenceMatch(std::string_view pattern, std::string_view path)
{
    bool anchored = !pattern.empty() && pattern.back() == '$';
    if (anchored)
        pattern.remove_suffix(1);
    // can[j]: the pattern read so far matches path[0, j).
    std::vector<char> can(path.size() + 1, 0), next(path.size() + 1, 0);
    can[0] = 1;
    for (const char c : pattern) {
        std::fill(next.begin(), next.end(), 0);
        for (size_t j = 0; j <= path.size(); ++j) {
            if (c == '*')
                next[j] = can[j] || (j > 0 && next[j - 1]);
            else if (j > 0)
                next[j] = can[j - 1] && path[j - 1] == c;
        }
        can.swap(next);
    }
    if (anchored)
        return can[path.size()] != 0;
    for (const char reached : can) {
        if (reached)
            return true;
    }
    return false;
}

} // namespace

void RobotsCheck::run(const uint8_t *data, size_t size)
{
    // The first line is a path to ask about; the rest is the robots.txt.
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const size_t newline = input.find('\n');
    const std::string_view path = input.substr(0, std::min(newline, input.size()));
    const std::string_view text
        = newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);
    const RobotsRules rules = RobotsRules::parse(text, "larkspin-catalog");
    FUZZ_CHECK(rules.allowed("/robots.txt"));
    if (const auto delay = rules.crawlDelay())
        FUZZ_CHECK(*delay >= 0 && *delay < 86400);

    const std::string asked = "/" + std::string(path);
    const std::string normalised = RobotsRules::normalise(asked);
    FUZZ_CHECK(RobotsRules::normalise(normalised) == normalised);
    const RobotsRules::Rule *best = nullptr;
    for (const auto &rule : rules.rules()) {
        FUZZ_CHECK(!rule.pattern.empty());
        const bool matched = referenceMatch(rule.pattern, normalised);
        FUZZ_CHECK(RobotsRules::matches(rule.pattern, normalised) == matched);
        if (matched
            && (!best || rule.pattern.size() > best->pattern.size()
                || (rule.pattern.size() == best->pattern.size() && rule.allow && !best->allow)))
            best = &rule;
    }
    if (normalised != "/robots.txt")
        FUZZ_CHECK(rules.allowed(asked) == (!best || best->allow));
}
