#pragma once

#include "pagelinks.h"

#include <string>
#include <string_view>

namespace catalog {

// The links of an HTML page or an open directory listing (libxml2's HTML parser, which
// recovers from broken markup): anchors to ".mp3" files anywhere, and to further pages on
// the page's own host. Relative links resolve against <base href> when there is one, else
// against the page's address. Runs on the crawler's parser thread, keeping no state; a body
// libxml2 cannot read gives no links.
class HtmlLinks
{
public:
    // charset: the one the server declared, or empty to let the page's <meta> decide.
    static PageLinks read(std::string_view body, const std::string &url,
                          const std::string &charset);
};

} // namespace catalog
