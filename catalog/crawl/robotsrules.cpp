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

bool RobotsRules::matches(std::string_view pattern, std::string_view path)
{
    // "$" is special only at the very end; elsewhere it is a character like any other.
    bool anchored = false;
    if (!pattern.empty() && pattern.back() == '$') {
        anchored = true;
        pattern.remove_suffix(1);
    }
    // Greedy matching with one point to return to: the last '*' seen. Linear in practice,
    // quadratic at worst, never exponential.
    size_t p = 0, s = 0;
    size_t star = std::string_view::npos, resume = 0;
    while (true) {
        if (p == pattern.size() && (!anchored || s == path.size()))
            return true;
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = s;
            continue;
        }
        if (p < pattern.size() && s < path.size() && pattern[p] == path[s]) {
            ++p;
            ++s;
            continue;
        }
        if (star == std::string_view::npos || resume >= path.size())
            return false;
        p = star + 1;
        s = ++resume;
    }
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
        } else if (!value.empty()) {
            groups.back().rules.push_back({allow, normalise(value)});
        }
    }

    RobotsRules result;
    const bool anyOurs
        = std::any_of(groups.begin(), groups.end(), [](const Group &group) { return group.ours; });
    for (const auto &group : groups) {
        if (anyOurs ? !group.ours : !group.anyone)
            continue;
        result.m_rules.insert(result.m_rules.end(), group.rules.begin(), group.rules.end());
        if (group.delay)
            result.m_crawlDelay = std::max(result.m_crawlDelay.value_or(0.0), *group.delay);
    }
    return result;
}

bool RobotsRules::allowed(std::string_view path) const
{
    const std::string normalised = normalise(path);
    if (normalised == "/robots.txt")
        return true;
    const Rule *best = nullptr;
    for (const auto &rule : m_rules) {
        if (!matches(rule.pattern, normalised))
            continue;
        if (!best || rule.pattern.size() > best->pattern.size()
            || (rule.pattern.size() == best->pattern.size() && rule.allow && !best->allow))
            best = &rule;
    }
    return !best || best->allow;
}

} // namespace catalog
