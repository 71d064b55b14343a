#pragma once

#include "crawljob.h"
#include "crawlstatus.h"
#include "robotsrules.h"

#include <deque>
#include <string>

namespace catalog {

// What the origins of one host name share, whatever their schemes and ports: one server is
// behind them, so the connection limit, the delay between requests, the back-off and the
// bound on pages go by it. Owned by HostSchedule; used on the crawl thread only.
struct CrawlSite
{
    unsigned inFlight = 0;
    unsigned parsing = 0; // pages read, their links not stored yet
    CrawlClock::time_point nextStart{};
    size_t knownPages = 0;
    unsigned failuresInRow = 0; // answers that make it back off, since the last good one
    unsigned missingInRow = 0;  // 404 and the like, since the last good answer
    // In a shared crawl, requests go only while this node holds the name's lease, and the
    // clock goes to the next holder: when the last request left, and the delay kept.
    bool leased = true;
    CrawlClock::time_point leaseUntil = CrawlClock::time_point::max();
    bool requested = false;
    CrawlClock::time_point lastRequest{};
    double lastDelay = 0;
};

// A host (scheme, name and port) as the crawl schedules it: what waits for it, its
// robots.txt rules and delay (RFC 9309 gives each origin its own), and its counters, kept
// here once and copied into the status when it is published. Owned by HostSchedule; used on
// the crawl thread only.
struct CrawlHost
{
    std::deque<CrawlJob> pageJobs; // before tracks: what a host holds is known sooner
    std::deque<CrawlJob> jobs;
    std::deque<CrawlJob> next; // the later requests of a track begun
    CrawlSite *site = nullptr; // its name's, HostSchedule's
    unsigned inFlight = 0;     // to this origin
    enum class Robots { Unknown, Fetching, Ready } robots = Robots::Unknown;
    CrawlClock::time_point robotsExpire{};
    bool robotsUnavailable = false;
    RobotsRules rules;
    double delay = 0;
    CrawlStatus::Host stats; // origin, pages fetched, tracks indexed, errors by kind

    const std::string &origin() const { return stats.origin; }
    bool queued() const { return !jobs.empty() || !next.empty() || !pageJobs.empty(); }
    size_t queueLength() const { return pageJobs.size() + jobs.size() + next.size(); }

    // Counts a failure of the given kind against the host and in the crawl's total.
    void failed(CrawlStatus &crawl, const std::string &kind)
    {
        ++stats.errors[kind];
        ++crawl.errors;
    }
};

} // namespace catalog
