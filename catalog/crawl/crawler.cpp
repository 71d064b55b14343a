#include "crawler.h"

#include "catalogwriter.h"
#include "crawlbatch.h"
#include "crawlshare.h"
#include "crawlstore.h"
#include "crawltransfers.h"
#include "hostschedule.h"
#include "pagehandler.h"
#include "trackhandler.h"
#include "weblink.h"

#include <algorithm>

#ifndef LARKSPIN_VERSION
#define LARKSPIN_VERSION "0"
#endif
#ifndef LARKSPIN_README_URL
#define LARKSPIN_README_URL ""
#endif

namespace catalog {

namespace {

constexpr auto batchTime = std::chrono::milliseconds(250);
constexpr auto dueCheckTime = std::chrono::seconds(5);
constexpr auto publishTime = std::chrono::milliseconds(100);

} // namespace

Crawler::Crawler(CatalogWriter &writer, std::mutex &writerLock, CrawlSettings settings, Log log,
                 std::unique_ptr<CrawlShare> share)
    : m_settings(std::move(settings))
    , m_log(std::move(log))
    , m_batch(std::make_unique<CrawlBatch>(writer, writerLock, m_log))
    , m_schedule(std::make_unique<HostSchedule>(m_settings, share != nullptr))
    , m_transfers(std::make_unique<CrawlTransfers>(m_settings))
    , m_pages(std::make_unique<PageHandler>(m_settings, *m_batch, *m_schedule, m_crawl,
                                            [this] { m_transfers->wake(); }))
    , m_tracks(std::make_unique<TrackHandler>(m_settings, *m_batch, *m_schedule, m_crawl))
    , m_share(std::move(share))
{
    m_batch->setShare(m_share.get());
    if (m_share) {
        m_crawl.shared = m_share->name();
        // Shared, a track robots.txt forbids now waits in the frontier until its pages are
        // due again, rather than coming back at every look.
        m_schedule->setTrackDeferred([this](const std::string &url) {
            m_share->trackDone(url, CrawlStore::TrackState::ToRead,
                               m_settings.recrawlDue(CrawlSettings::wallNow()));
        });
    }
}

Crawler::~Crawler()
{
    stop();
}

bool Crawler::start(std::string *error)
{
    if (!m_transfers->open(error))
        return false;
    if (m_share) {
        // The seeds join the shared frontier; this node's database keeps its own part.
        if (!m_share->open(error) || !m_batch->storeSeeds({}, error))
            return false;
        for (const auto &seed : m_settings.seeds)
            m_share->addSeed(seed, WebLink::origin(seed));
        if (!m_share->flush()) {
            if (error)
                *error = "cannot store the crawl seeds in " + m_share->name();
            return false;
        }
    } else if (!m_batch->storeSeeds(m_settings.seeds, error)) {
        return false;
    }
    m_started = CrawlClock::now();
    m_thread = std::thread([this] { run(); });
    return true;
}

void Crawler::stop()
{
    m_stopping = true;
    m_transfers->wake();
    if (m_thread.joinable())
        m_thread.join();
    m_pages->stop();
    m_transfers->close();
}

CrawlStatus Crawler::status() const
{
    std::lock_guard<std::mutex> lock(m_statusMutex);
    return m_status;
}

void Crawler::commitBatch()
{
    if (m_batch->isOpen()) {
        if (m_pages->takeSeedsChanged() && !m_share)
            refreshSeeds();
        m_batch->commit();
    }
    // What the batch changed in the frontier goes out once it is safe in the index; some
    // changes (a track that failed on the way) need no batch.
    if (m_share && !m_sharePaused && !m_share->flush())
        sharePaused();
}

void Crawler::loadFrontier()
{
    if (m_share)
        return; // the shared frontier is read host by host, as leases come
    m_batch->begin();
    CrawlStore &store = m_batch->store();
    store.limitRecrawl(m_settings.recrawlDue(0));
    for (const auto &[origin, count] : store.pagesPerOrigin())
        m_schedule->host(origin).site->knownPages += count;
    for (const auto &page : store.duePages(CrawlSettings::wallNow(), size_t(-1) >> 1))
        m_schedule->addPage(page);
    for (const auto &track : store.tracksToRead())
        m_schedule->addTrack(track.found, track.origin, JobKind::TrackHead);
    refreshSeeds();
    commitBatch();
}

void Crawler::refreshSeeds()
{
    std::vector<CrawlStatus::Seed> seeds;
    for (const auto &page : m_share ? m_share->seeds() : m_batch->store().seeds())
        seeds.push_back({page.url, page.fetched, page.outcome});
    // Shared, a failed read keeps the seeds last seen.
    if (!m_share || !seeds.empty())
        m_crawl.seeds = std::move(seeds);
}

void Crawler::enqueueDuePages()
{
    if (m_share) {
        if (!m_sharePaused)
            refreshSeeds();
        return;
    }
    m_batch->begin();
    for (const auto &page : m_batch->store().duePages(CrawlSettings::wallNow(), 100000))
        m_schedule->addPage(page);
    refreshSeeds();
}

void Crawler::addSitemaps(const CrawlHost &host)
{
    if (m_settings.maxDepth < 1 || host.robotsUnavailable)
        return;
    // A sitemap on the host's own name, as the protocol has it, one link from the seeds.
    std::vector<std::string> sitemaps;
    const std::string name = WebLink::host(host.origin());
    for (const std::string &address : host.rules.sitemaps()) {
        std::string url = WebLink::resolve(host.origin() + "/robots.txt", address);
        if (!url.empty() && WebLink::host(url) == name)
            sitemaps.push_back(std::move(url));
    }
    if (!sitemaps.empty())
        m_pages->addPages(sitemaps, 1);
}

bool Crawler::redirected(TransferResult &transfer)
{
    const long status = transfer.status;
    if (!transfer.failure.empty() || transfer.location.empty()
        || (status != 301 && status != 302 && status != 303 && status != 307 && status != 308))
        return false;
    CrawlJob &job = transfer.job;
    if (job.redirects >= CrawlJob::maxRedirects) {
        transfer.failure = "redirects";
        return false;
    }
    // Within the bounds on addresses any link is held to: http or https, 2 KiB.
    std::string target = WebLink::resolve(job.requestUrl(), transfer.location);
    if (target.empty()) {
        transfer.failure = "bad redirect";
        return false;
    }
    CrawlHost &next = m_schedule->host(WebLink::origin(target));
    job.location = std::move(target);
    ++job.redirects;
    m_schedule->addNext(next, std::move(job));
    return true;
}

void Crawler::ended(TransferResult &transfer)
{
    CrawlHost &host = *transfer.host;
    m_schedule->ended(host);
    if (redirected(transfer)) {
        m_schedule->delayFrom(host, transfer.sent);
        m_schedule->answered(host, transfer.status, {}, 0, CrawlClock::now());
        return;
    }
    switch (transfer.job.kind) {
    case JobKind::Robots:
        m_schedule->robotsRead(host, transfer.body, transfer.status, transfer.failure,
                               transfer.started, m_crawl);
        addSitemaps(host);
        break;
    case JobKind::Page:
        m_pages->read(transfer);
        break;
    case JobKind::TrackHead:
    case JobKind::TrackStart:
    case JobKind::TrackAudio:
    case JobKind::TrackEnd:
        m_tracks->read(transfer);
        break;
    case JobKind::Recheck:
        m_tracks->recheckRead(transfer);
        break;
    }
    // The request left once its connection was ready: the next waits from then, or longer
    // while the host fails.
    m_schedule->delayFrom(host, transfer.sent);
    m_schedule->answered(host, transfer.status, transfer.failure, transfer.retryAfter,
                         CrawlClock::now());
}

std::vector<std::pair<CrawlSite *, std::string>> Crawler::leasedSites()
{
    std::vector<std::pair<CrawlSite *, std::string>> sites;
    for (const auto &[name, site] : m_schedule->sites())
        if (site->leased)
            sites.emplace_back(site.get(), name);
    return sites;
}

namespace {

CrawlShare::Clock clockOf(const std::string &name, const CrawlSite &site,
                          CrawlClock::time_point now)
{
    const auto seconds = [](CrawlClock::duration span) {
        return std::chrono::duration<double>(span).count();
    };
    CrawlShare::Clock clock;
    clock.host = name;
    clock.sinceLastRequest = site.requested ? seconds(now - site.lastRequest) : -1;
    clock.delay = site.lastDelay;
    clock.backoff = seconds(site.nextStart - now);
    return clock;
}

} // namespace

void Crawler::sharePaused()
{
    if (!m_sharePaused)
        m_log("crawl: the shared crawl state " + m_share->name()
              + " is out of reach: crawling paused until it answers");
    m_sharePaused = true;
    m_crawl.sharedPaused = true;
    for (const auto &[site, name] : leasedSites())
        m_schedule->unlease(*site);
}

void Crawler::shareTick()
{
    commitBatch();
    if (!m_share->connected() || (m_sharePaused && !m_share->flush()))
        return sharePaused();
    if (m_sharePaused) {
        m_log("crawl: the shared crawl state " + m_share->name() + " answers again");
        m_sharePaused = false;
        m_crawl.sharedPaused = false;
    }
    // A lease counts here for a little less than it lasts there: the renewal's time on the
    // way, and a tick that runs late, do not let two nodes send at once.
    const auto tickStart = CrawlClock::now();
    const auto lease = std::chrono::duration<double>(m_settings.leaseSeconds);
    const auto validUntil
        = tickStart + std::chrono::duration_cast<CrawlClock::duration>(lease * 0.7);
    std::vector<CrawlShare::Clock> held;
    std::unordered_map<std::string, CrawlSite *> byName;
    for (const auto &[site, name] : leasedSites()) {
        held.push_back(clockOf(name, *site, tickStart));
        byName[name] = site;
    }
    std::vector<std::string> lost;
    if (!m_share->renew(held, &lost))
        return sharePaused();
    for (const auto &name : lost) {
        m_log("crawl: lost the lease of " + name);
        m_schedule->unlease(*byName[name]);
        byName.erase(name);
    }
    for (const auto &[name, site] : byName)
        site->leaseUntil = validUntil;

    // Hosts a redirect leads to are wanted first.
    std::vector<std::string> wanted;
    for (const auto &[name, site] : m_schedule->sites())
        if (!site->leased && m_schedule->queuedFor(*site) > 0)
            wanted.push_back(name);
    const int64_t wallNow = CrawlSettings::wallNow();
    std::vector<CrawlShare::Lease> taken;
    size_t share = 0;
    if (!m_share->take(wanted, byName.size(), wallNow, &taken, &share))
        return sharePaused();
    for (const auto &lease : taken) {
        CrawlSite &site = m_schedule->site(lease.host);
        site.leased = true;
        site.leaseUntil = validUntil;
        // The clock the last holder left: no request before its delay or back-off ends.
        site.nextStart
            = std::max(site.nextStart, tickStart
                                           + std::chrono::duration_cast<CrawlClock::duration>(
                                               std::chrono::duration<double>(lease.wait)));
        byName[lease.host] = &site;
    }

    // What is due on the hosts held whose queues run short.
    std::vector<std::string> pull;
    for (const auto &[name, site] : byName)
        if (m_schedule->queuedFor(*site) < 64)
            pull.push_back(name);
    if (!pull.empty()) {
        const auto pages = m_share->duePages(pull, wallNow, 64);
        const auto tracks = m_share->tracksToRead(pull, wallNow, 256);
        if (!pages.empty()) {
            // The node's own store keeps the links of the pages it fetches.
            m_batch->begin();
            for (const auto &page : pages) {
                m_batch->store().addPage(page.url, page.origin, page.depth);
                m_schedule->addPage(page);
            }
        }
        for (const auto &track : tracks)
            m_schedule->addTrack(track.found, track.origin, JobKind::TrackHead);
    }

    // Hosts with nothing left go back, and so do those beyond this node's share that have
    // nothing under way, for nodes that have fewer.
    std::vector<CrawlShare::Clock> released;
    size_t kept = byName.size();
    for (const auto &[name, site] : byName) {
        const bool idle = m_schedule->queuedFor(*site) == 0;
        if (idle || (kept > share + 1 && site->inFlight == 0 && site->parsing == 0)) {
            released.push_back(clockOf(name, *site, CrawlClock::now()));
            m_schedule->unlease(*site);
            --kept;
        }
    }
    if (!m_share->release(released))
        return sharePaused();
    m_transfers->wake();
}

void Crawler::releaseAll()
{
    if (!m_share || m_sharePaused)
        return;
    std::vector<CrawlShare::Clock> released;
    for (const auto &[site, name] : leasedSites()) {
        released.push_back(clockOf(name, *site, CrawlClock::now()));
        m_schedule->unlease(*site);
    }
    m_share->release(released);
}

void Crawler::publish()
{
    CrawlStatus status = m_crawl;
    status.crawling = true;
    status.seconds = std::chrono::duration<double>(CrawlClock::now() - m_started).count();
    status.queued = m_schedule->queued() + m_schedule->inFlight() + m_pages->parsing();
    status.hosts.reserve(m_schedule->hosts().size());
    for (const CrawlHost *host : m_schedule->hosts()) {
        status.hosts.push_back(host->stats);
        status.hosts.back().queued = host->queueLength() + host->inFlight;
    }
    if (m_share) {
        status.leases.clear();
        for (const auto &[site, name] : leasedSites())
            status.leases.push_back(name);
        std::sort(status.leases.begin(), status.leases.end());
    }
    std::lock_guard<std::mutex> lock(m_statusMutex);
    m_status = std::move(status);
}

void Crawler::progress()
{
    const size_t active = m_schedule->queued() + m_schedule->inFlight() + m_pages->parsing();
    // Quiet while idle, after saying so once.
    if (active == 0 && m_quiet)
        return;
    m_quiet = active == 0;
    m_log("crawl: " + std::to_string(m_schedule->hosts().size()) + " hosts, "
          + std::to_string(m_crawl.pages) + " pages, " + std::to_string(m_crawl.tracks)
          + " tracks, " + std::to_string(m_crawl.errors) + " errors, " + std::to_string(active)
          + " queued");
}

void Crawler::run()
{
    loadFrontier();
    publish();
    const auto start = [this](CrawlHost &host, CrawlJob job) {
        // The delay runs from when the request leaves, not from when this round began.
        const auto now = CrawlClock::now();
        ++m_crawl.requests;
        m_transfers->start(host, std::move(job), now);
        m_schedule->started(host, now);
    };
    const auto refused = [this](const CrawlJob &job, const char *reason) {
        m_batch->begin();
        const int64_t now = CrawlSettings::wallNow();
        m_batch->store().pageFailed(job.url, now, m_settings.recrawlDue(now), reason);
        if (m_share)
            m_share->pageFailed(job.url, now, m_settings.recrawlDue(now), reason);
    };
    const auto ended = [this](TransferResult &transfer) {
        this->ended(transfer);
    };
    auto nextDueCheck = CrawlClock::now() + dueCheckTime;
    const auto progressEvery = std::chrono::duration_cast<CrawlClock::duration>(
        std::chrono::duration<double>(std::max(0.1, m_settings.progressSeconds)));
    auto nextProgress = CrawlClock::now() + progressEvery;
    auto nextPublish = CrawlClock::now();
    const auto shareEvery = std::chrono::duration_cast<CrawlClock::duration>(
        std::chrono::duration<double>(std::clamp(m_settings.leaseSeconds / 4, 0.05, 0.25)));
    auto nextShareTick = CrawlClock::now();
    while (!m_stopping) {
        auto now = CrawlClock::now();
        if (now >= nextDueCheck) {
            enqueueDuePages();
            nextDueCheck = now + dueCheckTime;
        }
        if (m_share && now >= nextShareTick) {
            shareTick();
            now = CrawlClock::now();
            nextShareTick = now + shareEvery;
        }
        auto wake = now + std::chrono::seconds(1);
        m_schedule->startDue(now, wake, start, refused);
        m_transfers->perform(ended);
        m_pages->takeParsed();
        now = CrawlClock::now();
        if (m_batch->isOpen() && now - m_batch->openedAt() >= batchTime)
            commitBatch();
        if (now >= nextProgress) {
            progress();
            nextProgress = now + progressEvery;
        }
        if (now >= nextPublish) {
            publish();
            nextPublish = now + publishTime;
        }
        if (m_schedule->hasWarm() && m_schedule->inFlight() < m_settings.connections)
            continue; // a host may start again at once
        if (m_batch->isOpen())
            wake = std::min(wake, m_batch->openedAt() + batchTime);
        wake = std::min({wake, nextProgress, nextPublish, nextDueCheck});
        if (m_share)
            wake = std::min(wake, nextShareTick);
        m_transfers->wait(std::chrono::duration_cast<std::chrono::milliseconds>(wake - now));
    }
    // What has been read is kept; what was under way, or read but not parsed, is fetched
    // again next time.
    m_pages->stop();
    m_transfers->cancel();
    commitBatch();
    // The hosts go to the other nodes at once, with their clocks, not after the lease time.
    releaseAll();
    publish();
    std::lock_guard<std::mutex> lock(m_statusMutex);
    m_status.crawling = false;
}

bool Crawler::hasState(CatalogWriter &writer)
{
    std::string error;
    const auto store = writer.openTables<CrawlStore>(&error);
    // A node of a shared crawl keeps no seeds of its own: its pages are the shared crawl's,
    // not one to go on with alone.
    return store && !store->seeds().empty();
}

const char *Crawler::productToken()
{
    return "larkspin-catalog";
}

std::string Crawler::userAgent()
{
    std::string agent = std::string(productToken()) + "/" LARKSPIN_VERSION;
    const std::string readme = LARKSPIN_README_URL;
    if (!readme.empty())
        agent += " (+" + readme + ")";
    return agent;
}

} // namespace catalog
