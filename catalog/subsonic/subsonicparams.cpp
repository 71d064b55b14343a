#include "subsonicparams.h"

#include "texthelpers.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace catalog {

namespace {

bool decodeFormText(std::string_view in, std::string &out)
{
    std::string spaced(in);
    std::replace(spaced.begin(), spaced.end(), '+', ' ');
    return TextHelpers::percentDecode(spaced, out) && TextHelpers::isValidUtf8(out);
}

} // namespace

bool SubsonicParams::add(std::string_view encoded)
{
    while (!encoded.empty()) {
        const size_t end = std::min(encoded.find('&'), encoded.size());
        const std::string_view pair = encoded.substr(0, end);
        encoded.remove_prefix(std::min(end + 1, encoded.size()));
        if (pair.empty())
            continue;
        if (m_pairs.size() >= maxPairs)
            return false;
        const size_t equals = pair.find('=');
        std::string name;
        std::string value;
        if (!decodeFormText(pair.substr(0, equals), name))
            return false;
        if (equals != std::string_view::npos && !decodeFormText(pair.substr(equals + 1), value))
            return false;
        m_pairs.emplace_back(std::move(name), std::move(value));
    }
    return true;
}

std::optional<std::string> SubsonicParams::value(std::string_view name) const
{
    for (const auto &[key, value] : m_pairs) {
        if (key == name)
            return value;
    }
    return std::nullopt;
}

std::vector<std::string> SubsonicParams::values(std::string_view name) const
{
    std::vector<std::string> found;
    for (const auto &[key, value] : m_pairs) {
        if (key == name)
            found.push_back(value);
    }
    return found;
}

std::optional<int64_t> SubsonicParams::number(std::string_view name, int64_t fallback,
                                              int64_t minimum, int64_t maximum) const
{
    const auto text = value(name);
    if (!text)
        return fallback;
    if (text->empty() || text->size() > 19)
        return std::nullopt;
    for (size_t i = 0; i < text->size(); ++i) {
        const char c = (*text)[i];
        if (!(c >= '0' && c <= '9') && !(i == 0 && c == '-' && text->size() > 1))
            return std::nullopt;
    }
    errno = 0;
    const long long parsed = std::strtoll(text->c_str(), nullptr, 10);
    if (errno != 0)
        return std::nullopt;
    return std::clamp<int64_t>(parsed, minimum, maximum);
}

} // namespace catalog
