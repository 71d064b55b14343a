#include "subsonicrelay.h"

#include "addresspolicy.h"
#include "byterange.h"
#include "crawler.h"

#include <curl/curl.h>

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace catalog {

namespace {

constexpr unsigned relayThreads = 4;
constexpr size_t relayQueue = 64;

struct Transfer
{
    bool allowPrivate = false;
    bool refusedAddress = false;
    bool tooLarge = false;
    const std::atomic<bool> *stopping = nullptr;
    int fd = -1;
    uint64_t written = 0;
};

curl_socket_t openSocket(void *user, curlsocktype purpose, curl_sockaddr *address)
{
    auto *transfer = static_cast<Transfer *>(user);
    if (purpose != CURLSOCKTYPE_IPCXN)
        return CURL_SOCKET_BAD;
    if (!AddressPolicy::allowed(&address->addr, transfer->allowPrivate)) {
        transfer->refusedAddress = true;
        return CURL_SOCKET_BAD;
    }
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

size_t writeBody(char *data, size_t size, size_t count, void *user)
{
    auto *transfer = static_cast<Transfer *>(user);
    const size_t bytes = size * count;
    if (transfer->written + bytes > SubsonicRelay::maxTrackBytes) {
        transfer->tooLarge = true;
        return 0;
    }
    size_t done = 0;
    while (done < bytes) {
        const ssize_t put = ::write(transfer->fd, data + done, bytes - done);
        if (put <= 0)
            return 0;
        done += size_t(put);
    }
    transfer->written += bytes;
    return bytes;
}

int progress(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<Transfer *>(user)->stopping->load() ? 1 : 0;
}

} // namespace

SubsonicRelay::SubsonicRelay(bool allowPrivate, double timeoutSeconds)
    : m_allowPrivate(allowPrivate)
    , m_timeoutSeconds(timeoutSeconds)
    , m_work(relayThreads, relayQueue)
{}

SubsonicRelay::~SubsonicRelay()
{
    stop();
}

void SubsonicRelay::stop()
{
    m_stopping = true;
    m_work.stop();
}

void SubsonicRelay::relay(HttpPending pending, std::string url, std::string range, ErrorReply error)
{
    const bool queued = m_work.submit([this, pending, url, range, error](bool run) {
        if (!run) {
            pending.reply(error("the service is stopping"));
            return;
        }
        pending.reply(fetch(url, range, error));
    });
    if (!queued)
        pending.reply(error("too many tracks from the web are being fetched; try again"));
}

HttpReply SubsonicRelay::fetch(const std::string &url, const std::string &range,
                               const ErrorReply &error)
{
    if (m_stopping)
        return error("the service is stopping");
    Transfer transfer;
    transfer.allowPrivate = m_allowPrivate;
    transfer.stopping = &m_stopping;
    transfer.fd = ::memfd_create("relayed-track", MFD_CLOEXEC);
    if (transfer.fd < 0)
        return error("the track cannot be held for relaying");
    CURL *easy = curl_easy_init();
    if (!easy) {
        ::close(transfer.fd);
        return error("the track cannot be fetched");
    }
    const std::string agent = Crawler::userAgent();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &writeBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &openSocket);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &progress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, 30L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(m_timeoutSeconds * 1000));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L);
    const CURLcode result = curl_easy_perform(easy);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(easy);
    if (result != CURLE_OK || status != 200) {
        ::close(transfer.fd);
        if (transfer.refusedAddress)
            return error("the track's host is at an address the catalogue does not reach");
        if (transfer.tooLarge)
            return error("the track is too large to relay");
        if (status >= 400)
            return error("the track's host answered " + std::to_string(status));
        return error(std::string("the track's host cannot be reached: ")
                     + curl_easy_strerror(result));
    }
    HttpReply reply;
    reply.fileFd = transfer.fd;
    reply.contentType = "audio/mpeg";
    reply.headers.emplace_back("Accept-Ranges", "bytes");
    const uint64_t size = transfer.written;
    const ByteRange part = ByteRange::parse(range, size);
    if (part.kind == ByteRange::Kind::Unsatisfiable) {
        HttpReply refused = error("range not satisfiable");
        refused.status = 416;
        refused.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
        return refused;
    }
    reply.fileLength = size;
    if (part.kind == ByteRange::Kind::Part) {
        reply.status = 206;
        reply.fileOffset = part.first;
        reply.fileLength = part.last - part.first + 1;
        reply.headers.emplace_back("Content-Range", "bytes " + std::to_string(part.first) + "-"
                                                        + std::to_string(part.last) + "/"
                                                        + std::to_string(size));
    }
    return reply;
}

} // namespace catalog
