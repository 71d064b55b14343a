#include "weblink.h"

#include "linkresolver.h"
#include "texthelpers.h"

#include <algorithm>
#include <cctype>

namespace catalog {

namespace {

// The parts of an address as resolve() writes it, "scheme://[user@]host[:port]/path[?query]",
// read without a parser: the crawler asks for them for every link it finds.
struct Parts
{
    std::string_view scheme, host, port, path, query;
};

bool split(std::string_view url, Parts &parts)
{
    const size_t separator = url.find("://");
    if (separator == std::string_view::npos || separator == 0)
        return false;
    parts.scheme = url.substr(0, separator);
    const size_t start = separator + 3;
    const size_t end = std::min(url.find_first_of("/?#", start), url.size());
    std::string_view authority = url.substr(start, end - start);
    const size_t at = authority.rfind('@');
    if (at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    size_t colon = std::string_view::npos;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return false;
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':')
                return false;
            colon = close + 1;
        }
    } else {
        colon = authority.find(':');
    }
    parts.host = authority.substr(0, colon);
    parts.port = colon == std::string_view::npos ? std::string_view() : authority.substr(colon + 1);
    if (parts.host.empty())
        return false;
    std::string_view rest = url.substr(end);
    rest = rest.substr(0, rest.find('#'));
    const size_t question = rest.find('?');
    parts.path = rest.substr(0, question);
    parts.query
        = question == std::string_view::npos ? std::string_view() : rest.substr(question + 1);
    return true;
}

} // namespace

std::string WebLink::resolve(const std::string &base, std::string_view reference)
{
    return LinkResolver(base).resolve(reference);
}

std::string WebLink::host(const std::string &url)
{
    Parts parts;
    return split(url, parts) ? TextHelpers::lowerAscii(parts.host) : std::string();
}

bool WebLink::isMp3(const std::string &url)
{
    Parts parts;
    if (!split(url, parts) || parts.path.size() < 4)
        return false;
    return TextHelpers::lowerAscii(parts.path.substr(parts.path.size() - 4)) == ".mp3";
}

std::string WebLink::origin(const std::string &url)
{
    Parts parts;
    if (!split(url, parts))
        return {};
    std::string result
        = TextHelpers::lowerAscii(parts.scheme) + "://" + TextHelpers::lowerAscii(parts.host);
    if (!parts.port.empty())
        result += ':' + std::string(parts.port);
    return result;
}

std::string WebLink::target(const std::string &url)
{
    Parts parts;
    if (!split(url, parts))
        return "/";
    std::string path = parts.path.empty() ? std::string("/") : std::string(parts.path);
    if (!parts.query.empty())
        path += '?' + std::string(parts.query);
    return path;
}

} // namespace catalog
