#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>
#include <string_view>

namespace catalog {

// Resolves the links of one page against its address, as WebLink::resolve() does: the page's
// address is parsed once, and the plain references that make up most pages (a file name in a
// listing, an absolute http address in a feed) are joined without libcurl's parser, which
// takes the rest. It owns the parsed address; one page's reader uses it, on one thread. A
// reference the crawler may not follow, or a base that is no address, resolves to "".
class LinkResolver
{
public:
    explicit LinkResolver(const std::string &base);

    std::string resolve(std::string_view reference) const;
    // The same through libcurl's parser alone, to check the shortcut against.
    std::string parse(std::string_view reference) const;

private:
    struct UrlDeleter
    {
        void operator()(CURLU *url) const { curl_url_cleanup(url); }
    };

    std::unique_ptr<CURLU, UrlDeleter> m_base;
    // The base address up to the last "/" of its path; empty when the shortcut cannot be
    // taken for relative references.
    std::string m_directory;
};

} // namespace catalog
