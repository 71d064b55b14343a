#pragma once

#include <string>
#include <vector>

namespace catalog {

// An MP3 link found by the crawler, with what the page says about it. Plain data, filled by
// the page readers (HtmlLinks, FeedLinks, PlaylistLinks) and kept in the crawl store.
struct FoundTrack
{
    std::string url;     // absolute
    std::string title;   // a feed item's or playlist entry's title, if any
    std::string creator; // a feed item's author or playlist entry's creator, if any
    std::string text;    // the link's text on an HTML page, if any
};

// What one fetched page, feed or playlist leads to. A page may hold millions of links; the
// readers keep the first ones only, so a hostile page cannot fill the crawler's memory.
// Plain data, filled by the page readers (on the parser thread, most often) and read on the
// crawl thread.
struct PageLinks
{
    static constexpr size_t maxTracks = 20000;
    // A feed item's tracks: an episode has one file (a Media RSS group a few renditions of
    // it), and every track of an item stores the item's title and author again.
    static constexpr size_t maxItemTracks = 16;
    static constexpr size_t maxPages = 20000;

    std::vector<std::string> pages; // further pages on the same site, absolute
    std::vector<FoundTrack> tracks;
    // Why a page gave no tracks when it could have: "not a feed", "entity limit",
    // "parse error at line N"; empty otherwise.
    std::string why;
};

} // namespace catalog
