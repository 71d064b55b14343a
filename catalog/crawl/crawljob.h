#pragma once

#include "pagelinks.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace catalog {

using CrawlClock = std::chrono::steady_clock;

// What one request of the crawl is for. A track takes up to four: a HEAD, its first bytes,
// the bytes where its audio starts when a large tag hides them from the first, and its last
// 128 bytes; an indexed track linked again from a page fetched anew is checked with a HEAD.
enum class JobKind { Robots, Page, TrackHead, TrackStart, TrackAudio, TrackEnd, Recheck };

// One request to make, with what the requests of its track before it found. Plain data,
// moved between the schedule, a transfer and the handlers, all on the crawl thread.
struct CrawlJob
{
    static constexpr int maxRedirects = 5;

    JobKind kind = JobKind::Page;
    std::string url; // the page or track, as the crawl state knows it
    // Where the request goes when redirects led it away from url, to be asked of that host
    // as a request of its own (its robots.txt, delay and connection limit).
    std::string location;
    int redirects = 0;
    int depth = 0;
    std::string etag;
    std::string modified;
    bool fetchedBefore = false;
    FoundTrack found;
    int64_t size = 0;
    std::string head;  // the track's first bytes, once read
    std::string audio; // where the audio starts, when a large tag hides it from head
    int64_t audioOffset = 0;

    const std::string &requestUrl() const { return location.empty() ? url : location; }
};

} // namespace catalog
