#include "robotsrules.h"

#include "texthelpers.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace catalog {

namespace {

constexpr size_t maxBytes = 512 * 1024;

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x))
                      == std::tolower(static_cast<unsigned char>(y));
           });
}

bool isHex(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

} // namespace

std::string RobotsRules::normalise(std::string_view path)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (size_t i = 0; i < path.size(); ++i) {
        const auto c = static_cast<unsigned char>(path[i]);
        if (c == '%' && i + 2 < path.size() && isHex(path[i + 1]) && isHex(path[i + 2])) {
            out += '%';
            out += char(std::toupper(static_cast<unsigned char>(path[i + 1])));
            out += char(std::toupper(static_cast<unsigned char>(path[i + 2])));
            i += 2;
        } else if (c <= 0x20 || c >= 0x7F) {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += char(c);
        }
    }
    return out;
}

bool RobotsRules::matches(std::string_view pattern, std::string_view path, size_t *steps)
{
    size_t counted = 0;
    const bool matched = matchCounting(pattern, path, counted);
    if (steps)
        *steps += counted;
    return matched;
}

bool RobotsRules::matchCounting(std::string_view pattern, std::string_view path, size_t &steps)
{
    // "$" is special only at the very end; elsewhere it is a character like any other.
    bool anchored = false;
    if (!pattern.empty() && pattern.back() == '$') {
        anchored = true;
        pattern.remove_suffix(1);
    }
    // The pieces between stars, in order: the first starts the path, the last (anchored)
    // ends it, and each other is taken where it first occurs after the one before. That
    // leftmost choice is never worse for the pieces after it, so nothing is tried twice.
    const size_t firstStar = pattern.find('*');
    const std::string_view first = pattern.substr(0, firstStar);
    steps += first.size();
    if (path.compare(0, first.size(), first) != 0 || path.size() < first.size())
        return false;
    if (firstStar == std::string_view::npos)
        return !anchored || path.size() == first.size();
    const size_t lastStar = pattern.rfind('*');
    size_t at = first.size();
    for (size_t piece = firstStar + 1; piece <= lastStar;) {
        const size_t star = pattern.find('*', piece);
        const std::string_view middle = pattern.substr(piece, star - piece);
        piece = star + 1;
        const size_t found = find(path, middle, at, steps);
        if (found == std::string_view::npos)
            return false;
        at = found + middle.size();
    }
    const std::string_view last = pattern.substr(lastStar + 1);
    if (!anchored)
        return find(path, last, at, steps) != std::string_view::npos;
    steps += last.size();
    return path.size() >= at + last.size()
           && path.compare(path.size() - last.size(), last.size(), last) == 0;
}

// Knuth, Morris and Pratt: the first place of needle in text at or after from, in steps
// linear in both lengths whatever they hold.
size_t RobotsRules::find(std::string_view text, std::string_view needle, size_t from, size_t &steps)
{
    if (needle.empty())
        return from <= text.size() ? from : std::string_view::npos;
    std::vector<size_t> fallback(needle.size(), 0);
    for (size_t i = 1, k = 0; i < needle.size(); ++i) {
        while (k > 0 && needle[i] != needle[k]) {
            k = fallback[k - 1];
            ++steps;
        }
        k += needle[i] == needle[k];
        fallback[i] = k;
        ++steps;
    }
    for (size_t i = from, k = 0; i < text.size(); ++i) {
        while (k > 0 && text[i] != needle[k]) {
            k = fallback[k - 1];
            ++steps;
        }
        k += text[i] == needle[k];
        ++steps;
        if (k == needle.size())
            return i + 1 - k;
    }
    return std::string_view::npos;
}

// A rule's pattern as kept: normalised, runs of stars made one, at most maxRuleBytes long.
// Cut short, a disallow forbids more than it said; an allow would let more through, and is
// dropped.
std::optional<std::string> RobotsRules::keptPattern(std::string_view value, bool allow)
{
    std::string pattern = normalise(value);
    pattern.erase(std::unique(pattern.begin(), pattern.end(),
                              [](char a, char b) { return a == '*' && b == '*'; }),
                  pattern.end());
    if (pattern.size() <= maxRuleBytes)
        return pattern;
    if (allow)
        return std::nullopt;
    size_t cut = maxRuleBytes;
    if (pattern[cut - 1] == '%' || pattern[cut - 2] == '%')
        cut = pattern.rfind('%', cut - 1); // not within an escape
    pattern.resize(cut);
    if (pattern.back() == '$')
        pattern.pop_back(); // an end it did not have
    return pattern;
}

RobotsRules RobotsRules::parse(std::string_view text, std::string_view productToken)
{
    text = text.substr(0, std::min(text.size(), maxBytes));
    struct Group
    {
        bool ours = false;
        bool anyone = false;
        std::vector<Rule> rules;
        std::optional<double> delay;
    };
    std::vector<Group> groups;
    std::vector<std::string> sitemaps;
    bool inAgents = false; // the last line was a user-agent line
    size_t lineStart = 0;
    while (lineStart <= text.size()) {
        size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string_view::npos)
            lineEnd = text.size();
        std::string_view line = text.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        line = line.substr(0, line.find('#'));
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view key = TextHelpers::trimmed(line.substr(0, colon));
        const std::string_view value = TextHelpers::trimmed(line.substr(colon + 1));
        if (equalsIgnoringCase(key, "user-agent")) {
            if (!inAgents || groups.empty())
                groups.emplace_back();
            inAgents = true;
            if (value == "*")
                groups.back().anyone = true;
            else if (equalsIgnoringCase(value, productToken))
                groups.back().ours = true;
            continue;
        }
        const bool allow = equalsIgnoringCase(key, "allow");
        const bool disallow = equalsIgnoringCase(key, "disallow");
        const bool delay = equalsIgnoringCase(key, "crawl-delay");
        if (equalsIgnoringCase(key, "sitemap") && !value.empty() && sitemaps.size() < maxSitemaps)
            sitemaps.emplace_back(value);
        if (!allow && !disallow && !delay)
            continue; // sitemap and other lines do not end a group
        inAgents = false;
        if (groups.empty())
            continue; // rules before any user-agent line belong to no group
        if (delay) {
            char *end = nullptr;
            const std::string number(value);
            const double seconds = std::strtod(number.c_str(), &end);
            if (end && end != number.c_str() && *end == '\0' && seconds >= 0 && seconds < 86400)
                groups.back().delay = seconds;
        } else if (!value.empty() && groups.back().rules.size() < maxRules) {
            if (auto pattern = keptPattern(value, allow))
                groups.back().rules.push_back({allow, std::move(*pattern)});
        }
    }

    RobotsRules result;
    result.m_sitemaps = std::move(sitemaps);
    const bool anyOurs
        = std::any_of(groups.begin(), groups.end(), [](const Group &group) { return group.ours; });
    for (const auto &group : groups) {
        if (anyOurs ? !group.ours : !group.anyone)
            continue;
        const size_t room = maxRules - result.m_rules.size();
        result.m_rules.insert(result.m_rules.end(), group.rules.begin(),
                              group.rules.begin() + std::min(room, group.rules.size()));
        if (group.delay)
            result.m_crawlDelay = std::max(result.m_crawlDelay.value_or(0.0), *group.delay);
    }
    return result;
}

bool RobotsRules::allowed(std::string_view path, size_t *steps) const
{
    const std::string normalised = normalise(path);
    if (normalised == "/robots.txt")
        return true;
    const Rule *best = nullptr;
    for (const auto &rule : m_rules) {
        if (!matches(rule.pattern, normalised, steps))
            continue;
        if (!best || rule.pattern.size() > best->pattern.size()
            || (rule.pattern.size() == best->pattern.size() && rule.allow && !best->allow))
            best = &rule;
    }
    return !best || best->allow;
}

} // namespace catalog
