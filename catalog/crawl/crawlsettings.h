#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace catalog {

// How a crawl runs: its seeds, its politeness and its bounds. Plain data, made by
// CatalogOptions::crawlSettings(); the crawler keeps a copy, which its parts borrow.
struct CrawlSettings
{
    std::vector<std::string> seeds;
    // Hosts go by name: their ports and schemes share these.
    double delaySeconds = 1.0; // between requests to one host (robots.txt may ask more)
    unsigned connections = 32; // in all
    unsigned perHost = 2;      // connections to one host
    int maxDepth = 3;          // links followed from a seed
    size_t pagesPerHost = 10000;
    double recrawlHours = 6;
    bool allowPrivate = false;  // loopback and private addresses (tests)
    double progressSeconds = 5; // between progress lines
    // Every request ends by then, however its bytes trickle in: a page sending a byte a
    // second would otherwise hold a connection for as long as its server likes.
    double transferSeconds = 300;
    // A host that fails (5xx, 429, no answer, or 404 after 404) waits before its next request:
    // backoffSeconds after the first failure in a row, twice as long after each further one,
    // at most backoffCapSeconds; Retry-After on a 429 or 503 is honoured up to
    // retryAfterCapSeconds.
    double backoffSeconds = 1;
    double backoffCapSeconds = 3600;
    double retryAfterCapSeconds = 3600;
    // In a crawl shared with other nodes: how long a host's lease lasts unless renewed, so
    // how soon the hosts of a node that died go to the others.
    double leaseSeconds = 30;

    // When a page fetched at now (seconds since the epoch) is due again.
    int64_t recrawlDue(int64_t now) const
    {
        return now + std::max<int64_t>(1, int64_t(recrawlHours * 3600));
    }

    // Seconds since the epoch, as the crawl state keeps times.
    static int64_t wallNow()
    {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
};

} // namespace catalog
