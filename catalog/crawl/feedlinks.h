#pragma once

#include "pagelinks.h"

#include <string>
#include <string_view>

namespace catalog {

// The tracks of an RSS 2.0 or Atom feed (libxml2, no network, no external entities): per item
// or entry, its enclosures of type audio/mpeg and its links ending ".mp3", with the item's
// title and author (RSS author, dc:creator or itunes:author; Atom author/name). Runs on the
// crawler's parser thread, keeping no state; a body libxml2 cannot read gives no links.
class FeedLinks
{
public:
    static PageLinks read(std::string_view body, const std::string &url);
};

} // namespace catalog
