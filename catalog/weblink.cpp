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
    Url parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        return {};
    std::string name = part(parsed.get(), CURLUPART_HOST);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return name;
}

bool WebLink::isMp3(const std::string &url)
{
    Url parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        return false;
    const std::string path = part(parsed.get(), CURLUPART_PATH);
    if (path.size() < 4)
        return false;
    std::string ending = path.substr(path.size() - 4);
    std::transform(ending.begin(), ending.end(), ending.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return ending == ".mp3";
}

std::string WebLink::origin(const std::string &url)
{
    Url parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        return {};
    std::string name = part(parsed.get(), CURLUPART_HOST);
    if (name.empty())
        return {};
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    std::string result = part(parsed.get(), CURLUPART_SCHEME) + "://" + name;
    const std::string port = part(parsed.get(), CURLUPART_PORT);
    if (!port.empty())
        result += ':' + port;
    return result;
}

std::string WebLink::target(const std::string &url)
{
    Url parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        return "/";
    std::string path = part(parsed.get(), CURLUPART_PATH);
    if (path.empty())
        path = "/";
    const std::string query = part(parsed.get(), CURLUPART_QUERY);
    if (!query.empty())
        path += '?' + query;
    return path;
}

} // namespace catalog
