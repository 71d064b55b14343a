#include "crawltransfers.h"

#include "addresspolicy.h"
#include "crawler.h"
#include "mediatypes.h"
#include "remotetrack.h"

#include <algorithm>
#include <sys/socket.h>

namespace catalog {

namespace {

constexpr size_t maxHtmlBytes = 5 << 20;
constexpr size_t maxListBytes = 20 << 20; // feeds and playlists
constexpr size_t maxRobotsBytes = 512 << 10;

std::string header(CURL *easy, const char *name)
{
    curl_header *value = nullptr;
    if (curl_easy_header(easy, name, 0, CURLH_HEADER, -1, &value) != CURLHE_OK || !value)
        return {};
    return value->value;
}

} // namespace

struct CrawlTransfers::Transfer
{
    CrawlTransfers *owner = nullptr;
    CURL *easy = nullptr;
    CrawlHost *host = nullptr;
    CrawlJob job;
    std::string body;
    size_t limit = 0;
    bool limitIsEnough = false; // reaching the limit ends the transfer without an error
    bool overLimit = false;
    bool typeSeen = false;
    bool streamed = false; // a range asked for, the whole file sent: read until enough is in
    bool notPage = false;  // a picture, an archive, ...: not read
    bool refusedAddress = false;
    curl_slist *headers = nullptr;
    CrawlClock::time_point started{};
};

CrawlTransfers::CrawlTransfers(const CrawlSettings &settings)
    : m_settings(settings)
    , m_userAgent(Crawler::userAgent())
{}

CrawlTransfers::~CrawlTransfers()
{
    close();
}

bool CrawlTransfers::open(std::string *error)
{
    m_multi = curl_multi_init();
    if (!m_multi) {
        if (error)
            *error = "cannot start libcurl";
        return false;
    }
    curl_multi_setopt(m_multi, CURLMOPT_MAX_HOST_CONNECTIONS, long(m_settings.perHost));
    curl_multi_setopt(m_multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, long(m_settings.connections));
    // Connections stay open for the hosts that come back soon; reuse decides throughput.
    curl_multi_setopt(m_multi, CURLMOPT_MAXCONNECTS, long(m_settings.connections * 4));
    return true;
}

size_t CrawlTransfers::write(char *data, size_t size, size_t count, void *user)
{
    auto *transfer = static_cast<Transfer *>(user);
    const size_t bytes = size * count;
    if (!transfer->typeSeen && transfer->job.kind == JobKind::Page) {
        transfer->typeSeen = true;
        char *type = nullptr;
        curl_easy_getinfo(transfer->easy, CURLINFO_CONTENT_TYPE, &type);
        const std::string media = MediaTypes::of(type);
        if (media == "text/html")
            transfer->limit = maxHtmlBytes;
        long status = 0;
        curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
        if (status == 200 && !MediaTypes::isPage(media, transfer->job.requestUrl())) {
            transfer->notPage = true;
            return CURL_WRITEFUNC_ERROR;
        }
    }
    if (!transfer->typeSeen && transfer->job.kind == JobKind::TrackStart) {
        transfer->typeSeen = true;
        long status = 0;
        curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
        transfer->streamed
            = status == 200 && transfer->job.size > RemoteTrack::headBytes + RemoteTrack::tailBytes;
    }
    if (transfer->streamed && transfer->body.size() < 10) {
        // The ID3v2 header, in the first 10 bytes, tells how far the audio lies.
        std::string first = transfer->body;
        first.append(data, std::min(bytes, 10 - first.size()));
        transfer->limit = size_t(RemoteTrack::streamBytes(first, transfer->job.size));
    }
    const size_t room = transfer->limit - std::min(transfer->limit, transfer->body.size());
    transfer->body.append(data, std::min(room, bytes));
    if (bytes > room) {
        transfer->overLimit = true;
        return CURL_WRITEFUNC_ERROR;
    }
    return bytes;
}

curl_socket_t CrawlTransfers::openSocket(void *user, curlsocktype purpose, curl_sockaddr *address)
{
    auto *transfer = static_cast<Transfer *>(user);
    if (purpose != CURLSOCKTYPE_IPCXN)
        return CURL_SOCKET_BAD;
    if (!AddressPolicy::allowed(&address->addr, transfer->owner->m_settings.allowPrivate)) {
        transfer->refusedAddress = true;
        return CURL_SOCKET_BAD;
    }
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

void CrawlTransfers::start(CrawlHost &host, CrawlJob job, CrawlClock::time_point sent)
{
    auto transfer = std::make_unique<Transfer>();
    transfer->owner = this;
    transfer->host = &host;
    transfer->job = std::move(job);
    transfer->started = sent;
    transfer->easy = m_idle.empty() ? curl_easy_init() : m_idle.back();
    if (!m_idle.empty())
        m_idle.pop_back();
    setUp(*transfer);
    curl_multi_add_handle(m_multi, transfer->easy);
    m_transfers.insert(transfer.release());
}

void CrawlTransfers::setUp(Transfer &transfer)
{
    CURL *easy = transfer.easy;
    const CrawlJob &j = transfer.job;
    curl_easy_setopt(easy, CURLOPT_URL, j.requestUrl().c_str());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CrawlTransfers::write);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &CrawlTransfers::openSocket);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, m_userAgent.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // A redirect is a request of its own to the host it leads to (TransferResult::location),
    // but for robots.txt, which is its origin's whatever host answers it.
    if (j.kind == JobKind::Robots) {
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, long(CrawlJob::maxRedirects));
    }
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, 30L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(m_settings.transferSeconds * 1000));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
    // Every address is checked as the socket opens; a proxy would hide it.
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    switch (j.kind) {
    case JobKind::Robots:
        transfer.limit = maxRobotsBytes;
        transfer.limitIsEnough = true;
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
        break;
    case JobKind::Page:
        transfer.limit = maxListBytes;
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
        if (!j.etag.empty())
            transfer.headers
                = curl_slist_append(transfer.headers, ("If-None-Match: " + j.etag).c_str());
        if (!j.modified.empty())
            transfer.headers
                = curl_slist_append(transfer.headers, ("If-Modified-Since: " + j.modified).c_str());
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers);
        break;
    case JobKind::TrackHead:
    case JobKind::Recheck:
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        break;
    case JobKind::TrackStart:
        transfer.limit = size_t(RemoteTrack::headBytes);
        transfer.limitIsEnough = true;
        if (j.size > RemoteTrack::headBytes + RemoteTrack::tailBytes)
            curl_easy_setopt(easy, CURLOPT_RANGE, "0-65535");
        else
            transfer.limit = size_t(j.size);
        break;
    case JobKind::TrackAudio: {
        transfer.limit = size_t(RemoteTrack::audioBytes);
        transfer.limitIsEnough = true;
        const std::string range = std::to_string(j.audioOffset) + "-"
                                  + std::to_string(j.audioOffset + RemoteTrack::audioBytes - 1);
        curl_easy_setopt(easy, CURLOPT_RANGE, range.c_str());
        break;
    }
    case JobKind::TrackEnd:
        transfer.limit = size_t(RemoteTrack::tailBytes);
        transfer.limitIsEnough = true;
        curl_easy_setopt(easy, CURLOPT_RANGE, "-128");
        break;
    }
}

TransferResult CrawlTransfers::result(Transfer &transfer, CURLcode code)
{
    CURL *easy = transfer.easy;
    TransferResult result;
    result.host = transfer.host;
    result.job = std::move(transfer.job);
    result.body = std::move(transfer.body);
    result.started = transfer.started;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &result.status);
    if (code != CURLE_OK && !(transfer.overLimit && transfer.limitIsEnough)) {
        if (transfer.refusedAddress)
            result.failure = "refused address";
        else if (transfer.notPage)
            result.failure = "not a page";
        else if (transfer.overLimit)
            result.failure = "too large";
        else if (code == CURLE_COULDNT_RESOLVE_HOST)
            result.failure = "dns";
        else if (code == CURLE_COULDNT_CONNECT)
            result.failure = "connect";
        else if (code == CURLE_OPERATION_TIMEDOUT)
            result.failure = "timeout";
        else if (code == CURLE_TOO_MANY_REDIRECTS)
            result.failure = "redirects";
        else if (code == CURLE_PARTIAL_FILE)
            result.failure = "truncated";
        else if (code == CURLE_SSL_CONNECT_ERROR || code == CURLE_PEER_FAILED_VERIFICATION)
            result.failure = "tls";
        else
            result.failure = "network";
    }
    char *text = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &text) == CURLE_OK && text)
        result.effectiveUrl = text;
    text = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &text) == CURLE_OK && text)
        result.location = text;
    text = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &text) == CURLE_OK && text)
        result.contentType = text;
    curl_off_t length = -1;
    curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    result.contentLength = int64_t(length);
    curl_off_t retryAfter = 0;
    if (curl_easy_getinfo(easy, CURLINFO_RETRY_AFTER, &retryAfter) == CURLE_OK)
        result.retryAfter = int64_t(retryAfter);
    if (result.job.kind == JobKind::Page) {
        result.etag = header(easy, "ETag");
        result.modified = header(easy, "Last-Modified");
    }
    // The request left once its connection was ready.
    curl_off_t sentAfter = 0;
    curl_easy_getinfo(easy, CURLINFO_PRETRANSFER_TIME_T, &sentAfter);
    result.sent = transfer.started + std::chrono::microseconds(sentAfter);
    return result;
}

void CrawlTransfers::perform(const Ended &ended)
{
    int running = 0;
    curl_multi_perform(m_multi, &running);
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        CURL *easy = message->easy_handle;
        const CURLcode code = message->data.result;
        Transfer *raw = nullptr;
        curl_easy_getinfo(easy, CURLINFO_PRIVATE, &raw);
        std::unique_ptr<Transfer> transfer(raw);
        m_transfers.erase(raw);
        curl_multi_remove_handle(m_multi, easy);
        TransferResult done = result(*transfer, code);
        if (transfer->headers)
            curl_slist_free_all(transfer->headers);
        curl_easy_reset(easy);
        m_idle.push_back(easy);
        ended(done);
    }
}

void CrawlTransfers::wait(std::chrono::milliseconds timeout)
{
    curl_multi_poll(m_multi, nullptr, 0, int(std::max<int64_t>(0, timeout.count())), nullptr);
}

void CrawlTransfers::wake()
{
    if (m_multi)
        curl_multi_wakeup(m_multi);
}

void CrawlTransfers::cancel()
{
    for (Transfer *transfer : m_transfers) {
        curl_multi_remove_handle(m_multi, transfer->easy);
        curl_easy_cleanup(transfer->easy);
        if (transfer->headers)
            curl_slist_free_all(transfer->headers);
        delete transfer;
    }
    m_transfers.clear();
    for (CURL *easy : m_idle)
        curl_easy_cleanup(easy);
    m_idle.clear();
}

void CrawlTransfers::close()
{
    cancel();
    if (m_multi) {
        curl_multi_cleanup(m_multi);
        m_multi = nullptr;
    }
}

} // namespace catalog
