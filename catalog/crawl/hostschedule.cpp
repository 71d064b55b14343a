#include "hostschedule.h"

#include "crawler.h"
#include "weblink.h"

#include <algorithm>
#include <cmath>

namespace catalog {

namespace {

constexpr double maxCrawlDelay = 60; // what robots.txt may ask; more would stall a host
constexpr auto robotsLifetime = std::chrono::hours(24);
constexpr auto robotsRetry = std::chrono::minutes(10);

} // namespace

HostSchedule::HostSchedule(const CrawlSettings &settings, bool leased)
    : m_settings(settings)
    , m_leased(leased)
{}

HostSchedule::~HostSchedule() = default;

CrawlHost &HostSchedule::host(const std::string &origin)
{
    auto &slot = m_hosts[origin];
    if (!slot) {
        slot = std::make_unique<CrawlHost>();
        slot->stats.origin = origin;
        slot->delay = m_settings.delaySeconds;
        slot->site = &site(WebLink::host(origin));
        m_order.push_back(slot.get());
    }
    return *slot;
}

CrawlSite &HostSchedule::site(const std::string &name)
{
    auto &site = m_sites[name];
    if (!site) {
        site = std::make_unique<CrawlSite>();
        site->leased = !m_leased;
    }
    return *site;
}

void HostSchedule::unlease(CrawlSite &site)
{
    site.leased = !m_leased;
    site.leaseUntil = site.leased ? CrawlClock::time_point::max() : CrawlClock::time_point{};
    for (CrawlHost *host : m_order) {
        if (host->site != &site)
            continue;
        for (auto *jobs : {&host->pageJobs, &host->jobs, &host->next}) {
            for (const CrawlJob &job : *jobs) {
                if (job.kind == JobKind::Page)
                    m_queuedPages.erase(job.url);
                else
                    m_queuedTracks.erase(job.url);
            }
            m_queued -= jobs->size();
            jobs->clear();
        }
    }
}

size_t HostSchedule::queuedFor(const CrawlSite &site) const
{
    size_t queued = site.parsing;
    for (const CrawlHost *host : m_order)
        if (host->site == &site)
            queued += host->queueLength() + host->inFlight;
    return queued;
}

void HostSchedule::addPage(const CrawlStore::Page &page)
{
    if (!m_queuedPages.insert(page.url).second)
        return;
    CrawlJob job;
    job.kind = JobKind::Page;
    job.url = page.url;
    job.depth = page.depth;
    job.etag = page.etag;
    job.modified = page.modified;
    job.fetchedBefore = page.fetched != 0;
    host(page.origin).pageJobs.push_back(std::move(job));
    ++m_queued;
}

void HostSchedule::addTrack(const FoundTrack &found, const std::string &origin, JobKind kind)
{
    if (origin.empty() || m_queuedTracks.count(found.url))
        return;
    CrawlHost &target = host(origin);
    // What the host's robots.txt already forbids waits for a later crawl of the page, as it
    // would when its turn came.
    if (target.robots == CrawlHost::Robots::Ready && !target.robotsUnavailable
        && CrawlClock::now() < target.robotsExpire
        && !target.rules.allowed(WebLink::target(found.url))) {
        ++target.stats.errors["disallowed by robots.txt"];
        if (m_trackDeferred)
            m_trackDeferred(found.url);
        return;
    }
    m_queuedTracks.insert(found.url);
    CrawlJob job;
    job.kind = kind;
    job.url = found.url;
    job.found = found;
    target.jobs.push_back(std::move(job));
    ++m_queued;
}

void HostSchedule::addNext(CrawlHost &host, CrawlJob job)
{
    // The rest of a track whose host's lease was lost meanwhile is read again by its next
    // holder; a redirect waits for its host's lease.
    if (!host.site->leased && job.redirects == 0) {
        m_queuedTracks.erase(job.url);
        return;
    }
    host.next.push_back(std::move(job));
    ++m_queued;
}

CrawlClock::duration HostSchedule::pause(const CrawlHost &host)
{
    if (host.delay <= 0)
        return {};
    return std::chrono::duration_cast<CrawlClock::duration>(
        std::chrono::duration<double>(host.delay * 1.01 + 0.005));
}

bool HostSchedule::canStart(const CrawlHost &host, CrawlClock::time_point now) const
{
    return host.site->leased && now < host.site->leaseUntil
           && host.site->inFlight < m_settings.perHost && now >= host.site->nextStart;
}

void HostSchedule::startDue(CrawlClock::time_point now, CrawlClock::time_point &wake,
                            const Start &start, const PageRefused &refused)
{
    // A transfer that just ended left its connection open: its host goes first, for one
    // request, so connections are reused rather than opened for other hosts.
    while (!m_warm.empty() && m_inFlight < m_settings.connections) {
        CrawlHost *host = m_warm.front();
        m_warm.pop_front();
        tryHost(*host, now, wake, start, refused);
    }
    // Then one request a host per round.
    for (bool any = true; any && m_inFlight < m_settings.connections;) {
        any = false;
        for (size_t i = 0; i < m_order.size() && m_inFlight < m_settings.connections; ++i) {
            m_cursor = (m_cursor + 1) % m_order.size();
            any |= tryHost(*m_order[m_cursor], now, wake, start, refused);
        }
    }
}

// Starts the host's next request if it may have one now.
bool HostSchedule::tryHost(CrawlHost &host, CrawlClock::time_point now,
                           CrawlClock::time_point &wake, const Start &start,
                           const PageRefused &refused)
{
    while (host.queued()) {
        if (host.robots == CrawlHost::Robots::Ready && now >= host.robotsExpire)
            host.robots = CrawlHost::Robots::Unknown;
        if (host.robots == CrawlHost::Robots::Fetching)
            return false;
        if (!canStart(host, now)) {
            if (host.site->leased && host.site->inFlight < m_settings.perHost)
                wake = std::min(wake, host.site->nextStart);
            return false;
        }
        CrawlJob job;
        if (host.robots == CrawlHost::Robots::Unknown) {
            job.kind = JobKind::Robots;
            job.url = host.origin() + "/robots.txt";
            host.robots = CrawlHost::Robots::Fetching;
        } else {
            std::deque<CrawlJob> &from = !host.next.empty()       ? host.next
                                         : !host.pageJobs.empty() ? host.pageJobs
                                                                  : host.jobs;
            job = std::move(from.front());
            from.pop_front();
            --m_queued;
            if (!admitted(host, job, refused))
                continue;
        }
        ++host.inFlight;
        ++host.site->inFlight;
        ++m_inFlight;
        start(host, std::move(job));
        return true;
    }
    return false;
}

// Whether robots.txt lets the job go ahead; settles it when it does not.
bool HostSchedule::admitted(CrawlHost &host, const CrawlJob &job, const PageRefused &refused)
{
    // A track's later requests go where its HEAD was allowed, unless a redirect moved them.
    const bool later = job.kind == JobKind::TrackStart || job.kind == JobKind::TrackAudio
                       || job.kind == JobKind::TrackEnd;
    const bool allowed = !host.robotsUnavailable
                         && ((later && job.redirects == 0)
                             || host.rules.allowed(WebLink::target(job.requestUrl())));
    if (allowed)
        return true;
    const char *reason
        = host.robotsUnavailable ? "robots.txt unavailable" : "disallowed by robots.txt";
    ++host.stats.errors[reason];
    if (job.kind == JobKind::Page) {
        m_queuedPages.erase(job.url);
        refused(job, reason);
    } else {
        // The track stays to be read: robots.txt may allow it when a page that links it is
        // fetched again.
        m_queuedTracks.erase(job.url);
        if (m_trackDeferred)
            m_trackDeferred(job.url);
    }
    return false;
}

void HostSchedule::started(CrawlHost &host, CrawlClock::time_point sent)
{
    // A request cut short when the crawl stops has no answer: its start is what the clock
    // a shared crawl hands on knows of it.
    host.site->requested = true;
    host.site->lastRequest = std::max(host.site->lastRequest, sent);
    host.site->lastDelay = std::chrono::duration<double>(pause(host)).count();
    host.site->nextStart = std::max(host.site->nextStart, sent + pause(host));
}

void HostSchedule::ended(CrawlHost &host)
{
    --host.inFlight;
    --host.site->inFlight;
    --m_inFlight;
    m_warm.push_back(&host);
}

void HostSchedule::delayFrom(CrawlHost &host, CrawlClock::time_point sent)
{
    host.site->nextStart = std::max(host.site->nextStart, sent + pause(host));
    // The clock a shared crawl hands on counts from when the request left, too.
    host.site->requested = true;
    host.site->lastRequest = std::max(host.site->lastRequest, sent);
    host.site->lastDelay = std::chrono::duration<double>(pause(host)).count();
}

void HostSchedule::answered(CrawlHost &host, long status, const std::string &failure,
                            int64_t retryAfter, CrawlClock::time_point now)
{
    // Failures of the link, not of the host: refused addresses, bounds, pages of no use.
    const bool transport = failure == "connect" || failure == "timeout" || failure == "network"
                           || failure == "dns" || failure == "truncated" || failure == "tls";
    const bool overloaded = transport || (failure.empty() && (status >= 500 || status == 429));
    const bool missing = failure.empty() && status >= 400 && status < 500 && status != 429;
    if (!overloaded && !missing) {
        if (failure.empty()) {
            host.site->failuresInRow = 0;
            host.site->missingInRow = 0;
        }
        return;
    }
    // Dead links are common: a host backs off only from its third in a row.
    unsigned steps = 0;
    if (overloaded)
        steps = ++host.site->failuresInRow;
    else if (++host.site->missingInRow >= 3)
        steps = host.site->missingInRow - 2;
    double wait = 0;
    if (steps > 0)
        wait = std::min(m_settings.backoffCapSeconds,
                        m_settings.backoffSeconds * std::pow(2.0, std::min(steps - 1, 40u)));
    if (failure.empty() && (status == 429 || status == 503) && retryAfter > 0)
        wait = std::max(wait, std::min(double(retryAfter), m_settings.retryAfterCapSeconds));
    if (wait <= 0)
        return;
    const auto until
        = now
          + std::chrono::duration_cast<CrawlClock::duration>(std::chrono::duration<double>(wait));
    host.site->nextStart = std::max(host.site->nextStart, until);
}

void HostSchedule::robotsRead(CrawlHost &host, const std::string &body, long status,
                              const std::string &failure, CrawlClock::time_point sent,
                              CrawlStatus &crawl)
{
    const auto now = CrawlClock::now();
    host.robots = CrawlHost::Robots::Ready;
    host.robotsUnavailable = false;
    host.rules = RobotsRules();
    host.delay = m_settings.delaySeconds;
    host.robotsExpire = now + robotsLifetime;
    const bool failed = !failure.empty();
    if (!failed && status == 200) {
        host.rules = RobotsRules::parse(body, Crawler::productToken());
        if (const auto delay = host.rules.crawlDelay())
            host.delay = std::max(host.delay, std::min(*delay, maxCrawlDelay));
        // The delay runs from this request too.
        delayFrom(host, sent);
    } else if (failed || status >= 500 || status == 429) {
        // An unreachable robots.txt forbids everything until it answers (RFC 9309).
        host.robotsUnavailable = true;
        host.robotsExpire = now + robotsRetry;
        host.failed(crawl, "robots.txt: " + (failed ? failure : "http " + std::to_string(status)));
    }
    // Any other answer (404 and the like): no rules.
}

} // namespace catalog
