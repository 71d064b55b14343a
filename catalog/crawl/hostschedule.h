#pragma once

#include "crawlhost.h"
#include "crawlsettings.h"
#include "crawlstore.h"

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace catalog {

// Which request goes next, to which host. Owns the crawl's hosts and what waits for each;
// keeps to every host name's delay and connection limit, whatever the port, and to each
// origin's robots.txt, fetching that first
// and again once a day. Hosts take turns a request each, except that a host whose transfer
// just ended goes first once, so its open connection is reused. In a shared crawl (leased)
// a host name's requests go only while this node holds its lease (CrawlSite::leased and
// leaseUntil), which the crawler keeps. Used on the crawl thread only; the settings are
// borrowed and outlive it.
class HostSchedule
{
public:
    // Starts a request; the schedule has already counted it in flight.
    using Start = std::function<void(CrawlHost &host, CrawlJob job)>;
    // A page robots.txt forbids (or that waits for an unreachable robots.txt): the schedule
    // has forgotten it, the caller stores why.
    using PageRefused = std::function<void(const CrawlJob &job, const char *reason)>;

    // leased: host names start without a lease, and wait for one.
    explicit HostSchedule(const CrawlSettings &settings, bool leased = false);
    ~HostSchedule();
    HostSchedule(const HostSchedule &) = delete;
    HostSchedule &operator=(const HostSchedule &) = delete;

    // The host of origin, made on first use.
    CrawlHost &host(const std::string &origin);
    const std::vector<CrawlHost *> &hosts() const { return m_order; }
    // The site of a host name, made on first use.
    CrawlSite &site(const std::string &name);
    const std::unordered_map<std::string, std::unique_ptr<CrawlSite>> &sites() const
    {
        return m_sites;
    }
    // The site's lease is gone: it stops, and what waited for it is forgotten, to be queued
    // again from the shared state by whoever holds the lease next.
    void unlease(CrawlSite &site);
    // Requests waiting for the site or under way, of all its origins, and its pages being
    // parsed.
    size_t queuedFor(const CrawlSite &site) const;
    // Called with a track robots.txt forbids for now (it is not queued).
    void setTrackDeferred(std::function<void(const std::string &url)> deferred)
    {
        m_trackDeferred = std::move(deferred);
    }

    // Queues a page unless it waits already.
    void addPage(const CrawlStore::Page &page);
    // Queues the first request of a track (TrackHead) or a check of an indexed one
    // (Recheck), unless it waits already or its host's robots.txt forbids it.
    void addTrack(const FoundTrack &found, const std::string &origin, JobKind kind);
    // Queues a later request of a track begun, ahead of the host's other work.
    void addNext(CrawlHost &host, CrawlJob job);
    // A page or track no longer waits or runs: it may be queued again.
    void forgetPage(const std::string &url) { m_queuedPages.erase(url); }
    void forgetTrack(const std::string &url) { m_queuedTracks.erase(url); }

    // Starts every request that may start at now, while fewer than the crawl's connections
    // run, and brings wake forward to when the next may start.
    void startDue(CrawlClock::time_point now, CrawlClock::time_point &wake, const Start &start,
                  const PageRefused &refused);
    // A request to host left at sent; the host's delay runs from then.
    void started(CrawlHost &host, CrawlClock::time_point sent);
    // A request to host ended: its connection is free, and the delay runs from when it
    // left (sent, at the latest). Call after the answer has been read, which may change the
    // delay.
    void ended(CrawlHost &host);
    void delayFrom(CrawlHost &host, CrawlClock::time_point sent);
    // How a request to host was answered at now (status, or a failure of the transfer, and
    // Retry-After in seconds): a host that keeps failing backs off, as CrawlSettings says.
    void answered(CrawlHost &host, long status, const std::string &failure, int64_t retryAfter,
                  CrawlClock::time_point now);

    // Reads a host's robots.txt answer: rules and delay, or everything forbidden for a while
    // when it cannot be had (RFC 9309). sent is when its request left.
    void robotsRead(CrawlHost &host, const std::string &body, long status,
                    const std::string &failure, CrawlClock::time_point sent, CrawlStatus &crawl);

    // Whether a host whose transfer just ended may go again at once.
    bool hasWarm() const { return !m_warm.empty(); }
    unsigned inFlight() const { return m_inFlight; }
    size_t queued() const { return m_queued; }

private:
    bool tryHost(CrawlHost &host, CrawlClock::time_point now, CrawlClock::time_point &wake,
                 const Start &start, const PageRefused &refused);
    bool admitted(CrawlHost &host, const CrawlJob &job, const PageRefused &refused);
    bool canStart(const CrawlHost &host, CrawlClock::time_point now) const;
    // The wait between two requests to a host, with a margin for the time a request spends
    // between leaving here and arriving there.
    static CrawlClock::duration pause(const CrawlHost &host);

    const CrawlSettings &m_settings;
    const bool m_leased;
    std::unordered_map<std::string, std::unique_ptr<CrawlHost>> m_hosts;
    std::unordered_map<std::string, std::unique_ptr<CrawlSite>> m_sites; // by host name
    std::vector<CrawlHost *> m_order;
    size_t m_cursor = 0;
    std::deque<CrawlHost *> m_warm;
    std::unordered_set<std::string> m_queuedPages;
    std::unordered_set<std::string> m_queuedTracks;
    std::function<void(const std::string &url)> m_trackDeferred;
    unsigned m_inFlight = 0;
    size_t m_queued = 0;
};

} // namespace catalog
