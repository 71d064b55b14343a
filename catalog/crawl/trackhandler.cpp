#include "trackhandler.h"

#include "crawlbatch.h"
#include "crawlshare.h"
#include "crawlstore.h"
#include "hostschedule.h"
#include "mediatypes.h"
#include "remotetrack.h"

namespace catalog {

TrackHandler::TrackHandler(const CrawlSettings &settings, CrawlBatch &batch, HostSchedule &schedule,
                           CrawlStatus &crawl)
    : m_settings(settings)
    , m_batch(batch)
    , m_schedule(schedule)
    , m_crawl(crawl)
{}

void TrackHandler::refuse(TransferResult &transfer, const std::string &kind, bool forGood)
{
    transfer.host->failed(m_crawl, kind);
    m_schedule.forgetTrack(transfer.job.url);
    if (forGood) {
        m_batch.begin();
        m_batch.store().trackRefused(transfer.job.url);
    }
    // Shared, a track that failed on the way waits as long as a page would.
    if (CrawlShare *share = m_batch.share()) {
        share->trackDone(transfer.job.url,
                         forGood ? CrawlStore::TrackState::Refused : CrawlStore::TrackState::ToRead,
                         m_settings.recrawlDue(CrawlSettings::wallNow()));
    }
}

void TrackHandler::read(TransferResult &transfer)
{
    CrawlHost &host = *transfer.host;
    CrawlJob &job = transfer.job;
    const long status = transfer.status;
    const std::string &failure = transfer.failure;
    const std::string httpStatus = "http " + std::to_string(status);
    if (!failure.empty())
        return refuse(transfer, failure,
                      failure != "network" && failure != "timeout" && failure != "connect"
                          && failure != "dns");
    if (status >= 500 || status == 429)
        return refuse(transfer, httpStatus, false);
    if (job.kind == JobKind::TrackHead) {
        if (status != 200)
            return refuse(transfer, httpStatus, true);
        if (!MediaTypes::isAudio(MediaTypes::of(transfer.contentType.c_str())))
            return refuse(transfer, "not audio", true);
        if (transfer.contentLength <= 0)
            return refuse(transfer, "no length", true);
        job.kind = JobKind::TrackStart;
        job.size = transfer.contentLength;
        m_schedule.addNext(host, std::move(job));
        return;
    }
    if (job.kind == JobKind::TrackStart) {
        const bool ranged = job.size > RemoteTrack::headBytes + RemoteTrack::tailBytes;
        if (status != 200 && !(ranged && status == 206))
            return refuse(transfer, httpStatus, true);
        if (!ranged && int64_t(transfer.body.size()) != job.size)
            return refuse(transfer, "truncated", true);
        job.head = std::move(transfer.body);
        job.audioOffset = RemoteTrack::audioStart(job.head);
        if (ranged && status == 206) {
            // Cover art can fill the first bytes: then read where the audio begins.
            const bool hidden = job.audioOffset > 0 && job.audioOffset < job.size
                                && job.audioOffset <= RemoteTrack::maxTagBytes;
            job.kind = hidden ? JobKind::TrackAudio : JobKind::TrackEnd;
            m_schedule.addNext(host, std::move(job));
            return;
        }
        // Sent whole, though a range was asked for: the transfer read as far as the tag and
        // the first frames, or all of a short file, ID3v1 tag included.
        return index(host, job, {});
    }
    if (job.kind == JobKind::TrackAudio) {
        if (status != 206)
            return refuse(transfer, httpStatus, true);
        job.audio = std::move(transfer.body);
        job.kind = JobKind::TrackEnd;
        m_schedule.addNext(host, std::move(job));
        return;
    }
    // The last bytes; a server that ignores ranges sends the start again, which has no tag
    // to give.
    const std::string tail
        = status == 206 && transfer.body.size() <= 128 ? transfer.body : std::string();
    index(host, job, tail);
}

void TrackHandler::index(CrawlHost &host, CrawlJob &job, const std::string &tail)
{
    m_schedule.forgetTrack(job.url);
    m_batch.begin();
    std::string why;
    const auto track
        = RemoteTrack::read(job.found, job.head, tail, job.size, &why, job.audio, job.audioOffset);
    if (!track) {
        host.failed(m_crawl, why);
        m_batch.store().trackRefused(job.url);
        if (CrawlShare *share = m_batch.share())
            share->trackDone(job.url, CrawlStore::TrackState::Refused, 0);
        return;
    }
    if (!m_batch.index(*track)) {
        host.failed(m_crawl, "index");
        return;
    }
    m_batch.store().trackIndexed(job.url);
    if (CrawlShare *share = m_batch.share())
        share->trackDone(job.url, CrawlStore::TrackState::Indexed, 0);
    ++host.stats.tracks;
    ++m_crawl.tracks;
}

void TrackHandler::recheckRead(TransferResult &transfer)
{
    m_schedule.forgetTrack(transfer.job.url);
    m_batch.begin();
    if (transfer.failure.empty() && transfer.status == 200) {
        m_batch.store().trackIndexed(transfer.job.url);
        return;
    }
    transfer.host->failed(m_crawl, transfer.failure.empty()
                                       ? "http " + std::to_string(transfer.status)
                                       : transfer.failure);
    if (m_batch.store().trackCheckFailed(transfer.job.url, CrawlSettings::wallNow()))
        m_crawl.tracksRemoved += m_batch.remove({transfer.job.url});
}

} // namespace catalog
