#pragma once

#include "pagelinks.h"

#include <string>
#include <string_view>

namespace catalog {

// The tracks of an RSS 2.0 or Atom feed, with Media RSS (libxml2, no network, no external entities
// or DTDs; the feed's own entities within libxml2's bounds on their expansion): per item or entry,
// its enclosures of type audio/mpeg and its links ending ".mp3", with the item's title and author
// (RSS author, dc:creator or itunes:author; Atom author/name). Runs on the crawler's parser
// thread, keeping no state; a body libxml2 cannot read, or whose entities expand past those
// bounds, gives no links, and PageLinks::why says which.
// Sitemaps and sitemap indexes are read here too: their MP3s, and their other addresses on
// the sitemap's host as pages.
class FeedLinks
{
public:
    static PageLinks read(std::string_view body, const std::string &url);
};

} // namespace catalog
