#include "pagehandler.h"

#include "crawlbatch.h"
#include "crawlshare.h"
#include "feedlinks.h"
#include "hostschedule.h"
#include "htmllinks.h"
#include "mediatypes.h"
#include "playlistlinks.h"
#include "weblink.h"

namespace catalog {

namespace {

constexpr size_t maxParseBytes = 64 << 20;

// A directory listing's links that sort it by a column ("?C=M;O=D"): the same listing again,
// as many times over as there are orders.
bool isSortedView(const std::string &url)
{
    const size_t query = url.find('?');
    if (query == std::string::npos)
        return false;
    const std::string_view text = std::string_view(url).substr(query + 1);
    const auto isColumn = [](char c) {
        return c == 'N' || c == 'M' || c == 'S' || c == 'D';
    };
    return text.size() == 7 && text[0] == 'C' && text[1] == '=' && isColumn(text[2])
           && (text[3] == ';' || text[3] == '&') && text[4] == 'O' && text[5] == '='
           && (text[6] == 'A' || text[6] == 'D');
}

} // namespace

struct PageHandler::ParsedPage
{
    CrawlHost *host = nullptr;
    CrawlJob job;
    std::string etag;
    std::string modified;
    PageLinks links;
    bool notPage = false;
};

PageHandler::PageHandler(const CrawlSettings &settings, CrawlBatch &batch, HostSchedule &schedule,
                         CrawlStatus &crawl, std::function<void()> wake)
    : m_settings(settings)
    , m_batch(batch)
    , m_schedule(schedule)
    , m_crawl(crawl)
    , m_wake(std::move(wake))
{}

PageHandler::~PageHandler()
{
    stop();
}

void PageHandler::stop()
{
    m_parser.stop();
}

bool PageHandler::takeSeedsChanged()
{
    const bool changed = m_seedsChanged;
    m_seedsChanged = false;
    return changed;
}

void PageHandler::read(TransferResult &transfer)
{
    CrawlHost &host = *transfer.host;
    CrawlJob &job = transfer.job;
    const long status = transfer.status;
    const std::string &failure = transfer.failure;
    CrawlStore &store = m_batch.store();
    m_batch.begin();
    if (job.depth == 0)
        m_seedsChanged = true;
    const int64_t now = CrawlSettings::wallNow();
    // A page read in full stays queued until its links are stored.
    if (!failure.empty() || status != 200)
        m_schedule.forgetPage(job.url);
    if (!failure.empty() || (status >= 400 && status != 404 && status != 410)
        || (status != 200 && status != 304 && status < 400)) {
        const std::string kind = failure.empty() ? "http " + std::to_string(status) : failure;
        host.failed(m_crawl, kind);
        store.pageFailed(job.url, now, m_settings.recrawlDue(now), kind);
        if (CrawlShare *share = m_batch.share())
            share->pageFailed(job.url, now, m_settings.recrawlDue(now), kind);
        return;
    }
    if (status == 404 || status == 410) {
        host.failed(m_crawl, "http " + std::to_string(status));
        m_crawl.tracksRemoved += m_batch.remove(store.pageGone(job.url));
        if (CrawlShare *share = m_batch.share())
            share->pageGone(job.url, m_settings.recrawlDue(now));
        return;
    }
    if (status == 304) {
        ++host.stats.pages;
        ++m_crawl.pages;
        store.pageFetched(job.url, now, m_settings.recrawlDue(now), job.etag, job.modified,
                          "not modified");
        if (CrawlShare *share = m_batch.share())
            share->pageFetched(job.url, now, m_settings.recrawlDue(now), job.etag, job.modified,
                               "not modified");
        for (const auto &track : store.linkedTracks(job.url))
            followTrack(track.found, track.origin, track.state, true);
        return;
    }
    auto page = std::make_shared<ParsedPage>();
    page->host = &host;
    page->job = std::move(job);
    page->etag = std::move(transfer.etag);
    page->modified = std::move(transfer.modified);
    const std::string base = transfer.effectiveUrl.empty() ? page->job.url : transfer.effectiveUrl;
    const std::string type = transfer.contentType;
    auto body = std::make_shared<std::string>(std::move(transfer.body));
    // Pages are parsed beside this thread, which goes on fetching and storing; past a bound
    // of bytes waiting, here, so that a burst of large pages cannot pile up.
    const size_t bytes = body->size();
    const auto parseJob = [this, page, body, base, type, bytes](bool run) {
        m_parseBytes -= bytes;
        if (!run)
            return;
        parse(*page, *body, base, type);
        std::lock_guard<std::mutex> lock(m_parsedMutex);
        m_parsedPages.push_back(page);
        m_wake();
    };
    ++m_parsing;
    ++host.site->parsing;
    m_parseBytes += bytes;
    if (m_parseBytes > maxParseBytes || !m_parser.submit(parseJob)) {
        m_parseBytes -= bytes;
        parse(*page, *body, base, type);
        parsed(*page);
    }
}

// On the parser thread: reads nothing but its arguments.
void PageHandler::parse(ParsedPage &page, std::string_view body, const std::string &base,
                        const std::string &typeHeader)
{
    std::string charset;
    const std::string type = MediaTypes::of(typeHeader.c_str(), &charset);
    switch (MediaTypes::pageKind(type, base, body)) {
    case MediaTypes::PageKind::Html:
        page.links = HtmlLinks::read(body, base, charset);
        break;
    case MediaTypes::PageKind::Feed:
        page.links = FeedLinks::read(body, base);
        break;
    case MediaTypes::PageKind::Playlist:
        page.links = PlaylistLinks::read(body, base);
        break;
    case MediaTypes::PageKind::Other:
        page.notPage = true;
        break;
    }
}

void PageHandler::takeParsed()
{
    std::vector<std::shared_ptr<ParsedPage>> pages;
    {
        std::lock_guard<std::mutex> lock(m_parsedMutex);
        pages.swap(m_parsedPages);
    }
    for (const auto &page : pages)
        parsed(*page);
}

void PageHandler::parsed(ParsedPage &page)
{
    --m_parsing;
    CrawlHost &host = *page.host;
    --host.site->parsing;
    CrawlJob &job = page.job;
    const PageLinks &links = page.links;
    CrawlStore &store = m_batch.store();
    m_batch.begin();
    ++host.stats.pages;
    ++m_crawl.pages;
    if (page.notPage)
        host.failed(m_crawl, "not a page");
    // Counted by kind, without the line a parse error was at.
    if (!links.why.empty())
        host.failed(m_crawl, links.why.substr(0, links.why.find(" at line")));
    const int64_t now = CrawlSettings::wallNow();
    const std::string outcome = "200, " + std::to_string(links.pages.size()) + " pages, "
                                + std::to_string(links.tracks.size()) + " tracks"
                                + (links.why.empty() ? "" : ": " + links.why);
    store.pageFetched(job.url, now, m_settings.recrawlDue(now), page.etag, page.modified, outcome);
    if (CrawlShare *share = m_batch.share())
        share->pageFetched(job.url, now, m_settings.recrawlDue(now), page.etag, page.modified,
                           outcome);
    if (job.depth == 0)
        m_seedsChanged = true;
    if (job.depth < m_settings.maxDepth)
        addPages(links.pages, job.depth + 1);
    std::vector<std::string> origins;
    origins.reserve(links.tracks.size());
    for (const auto &track : links.tracks) {
        // Most tracks of a page share their host with the one before.
        const std::string *last = origins.empty() ? nullptr : &origins.back();
        if (last && track.url.size() > last->size() && track.url[last->size()] == '/'
            && track.url.compare(0, last->size(), *last) == 0)
            origins.push_back(*last);
        else
            origins.push_back(WebLink::origin(track.url));
    }
    std::vector<std::string> orphans;
    const auto states = store.setLinks(job.url, links.tracks, origins, &orphans);
    for (size_t i = 0; i < states.size(); ++i) {
        if (states[i])
            followTrack(links.tracks[i], origins[i], *states[i], job.fetchedBefore);
    }
    m_crawl.tracksRemoved += m_batch.remove(orphans);
    m_schedule.forgetPage(job.url);
}

void PageHandler::addPages(const std::vector<std::string> &urls, int depth)
{
    CrawlStore &store = m_batch.store();
    m_batch.begin();
    for (const auto &url : urls) {
        if (MediaTypes::isSurelyNoPage(url) || isSortedView(url))
            continue;
        const std::string origin = WebLink::origin(url);
        CrawlHost &target = m_schedule.host(origin);
        if (target.site->knownPages >= m_settings.pagesPerHost) {
            ++target.stats.errors["page bound reached"];
            continue;
        }
        // Shared, the page goes to the frontier, where its host's holder finds it.
        if (CrawlShare *share = m_batch.share()) {
            share->addPage(url, origin, depth);
            ++target.site->knownPages;
            continue;
        }
        if (store.addPage(url, origin, depth)) {
            ++target.site->knownPages;
            CrawlStore::Page next;
            next.url = url;
            next.origin = origin;
            next.depth = depth;
            m_schedule.addPage(next);
        }
    }
}

void PageHandler::followTrack(const FoundTrack &found, const std::string &origin,
                              CrawlStore::TrackState state, bool recheck)
{
    CrawlShare *share = m_batch.share();
    if (state == CrawlStore::TrackState::ToRead && share)
        share->addTrack(found, origin);
    else if (state == CrawlStore::TrackState::ToRead)
        m_schedule.addTrack(found, origin, JobKind::TrackHead);
    else if (state == CrawlStore::TrackState::Indexed && recheck
             && (!share || m_schedule.host(origin).site->leased))
        m_schedule.addTrack(found, origin, JobKind::Recheck);
}

} // namespace catalog
