#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace catalog {

// What the crawler has done since the service started, as the status page and the progress
// line show it. Plain data: the crawler fills it on its thread and hands out copies
// (Crawler::status()).
struct CrawlStatus
{
    struct Host
    {
        std::string origin;
        size_t pages = 0;  // fetched
        size_t tracks = 0; // indexed
        size_t queued = 0;
        std::map<std::string, size_t> errors; // by kind
    };
    struct Seed
    {
        std::string url;
        int64_t fetched = 0; // seconds since the epoch; 0: not yet
        std::string outcome;
    };

    bool crawling = false;
    double seconds = 0; // since the crawl started
    size_t requests = 0;
    size_t pages = 0;
    size_t tracks = 0;
    size_t tracksRemoved = 0;
    size_t errors = 0;
    size_t queued = 0;
    std::vector<Host> hosts;
    std::vector<Seed> seeds;
    // A crawl shared with other nodes: the store's name (without a password), whether it is
    // out of reach (crawling paused), and the host names whose leases this node holds.
    std::string shared;
    bool sharedPaused = false;
    std::vector<std::string> leases;
};

} // namespace catalog
