#include "weblink.h"

#include "textcodec.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace catalog {

namespace {

struct UrlDeleter
{
    void operator()(CURLU *url) const { curl_url_cleanup(url); }
};
using Url = std::unique_ptr<CURLU, UrlDeleter>;

std::string part(CURLU *url, CURLUPart which)
{
    char *text = nullptr;
    if (curl_url_get(url, which, &text, 0) != CURLUE_OK || !text)
        return {};
    std::string result(text);
    curl_free(text);
    return result;
}

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

std::string lowered(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return out;
}

} // namespace

std::string WebLink::resolve(const std::string &base, std::string_view reference)
{
    reference = TextCodec::trimmed(reference);
    if (reference.empty() || reference.size() > maxLength)
        return {};
    Url url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK)
        return {};
    // Relative references resolve against what is already set; spaces and other bytes that
    // links carry unescaped are encoded.
    const std::string text(reference);
    if (curl_url_set(url.get(), CURLUPART_URL, text.c_str(), CURLU_URLENCODE) != CURLUE_OK)
        return {};
    const std::string scheme = part(url.get(), CURLUPART_SCHEME);
    if (scheme != "http" && scheme != "https")
        return {};
    curl_url_set(url.get(), CURLUPART_FRAGMENT, nullptr, 0);
    std::string resolved = part(url.get(), CURLUPART_URL);
    if (resolved.size() > maxLength)
        return {};
    return resolved;
}

std::string WebLink::host(const std::string &url)
{
    Parts parts;
    return split(url, parts) ? lowered(parts.host) : std::string();
}

bool WebLink::isMp3(const std::string &url)
{
    Parts parts;
    if (!split(url, parts) || parts.path.size() < 4)
        return false;
    return lowered(parts.path.substr(parts.path.size() - 4)) == ".mp3";
}

std::string WebLink::origin(const std::string &url)
{
    Parts parts;
    if (!split(url, parts))
        return {};
    std::string result = lowered(parts.scheme) + "://" + lowered(parts.host);
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
