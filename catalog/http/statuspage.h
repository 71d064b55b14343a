#pragma once

#include "crawlstatus.h"

#include <string>

namespace catalog {

// The service's /status page: how many tracks it serves and what the crawler is doing, as
// HTML for people and as JSON for scripts. Pure functions of a status copied from the
// crawler, safe on any thread.
class StatusPage
{
public:
    static std::string html(const CrawlStatus &status, int64_t indexedTracks);
    static std::string json(const CrawlStatus &status, int64_t indexedTracks);
};

} // namespace catalog
