#include "catalogserver.h"

#include "byterange.h"
#include "pagesource.h"
#include "productpages.h"
#include "searchquery.h"
#include "searchrequest.h"
#include "statuspage.h"
#include "texthelpers.h"
#include "xspfwriter.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace catalog {

namespace {

HttpReply errorReply(int status, const std::string &message)
{
    HttpReply reply;
    reply.status = status;
    reply.contentType = "application/xml; charset=utf-8";
    reply.body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root><error>"
                 + TextHelpers::escapeXml(message) + "</error></root>\n";
    return reply;
}

HttpReply contentReply(std::string body, const char *contentType)
{
    HttpReply reply;
    reply.contentType = contentType;
    reply.body = std::move(body);
    return reply;
}

std::string httpDate(time_t when)
{
    char buffer[64];
    struct tm parts;
    gmtime_r(&when, &parts);
    std::strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return buffer;
}

bool isHostHeader(const std::string &host)
{
    if (host.empty() || host.size() > 255)
        return false;
    for (const char c : host) {
        const bool allowed = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')
                             || (c >= 'A' && c <= 'Z') || c == '.' || c == '-' || c == ':'
                             || c == '[' || c == ']';
        if (!allowed)
            return false;
    }
    return true;
}

// The origin-form path of a request target; absolute-form targets ("http://host/path")
// are accepted as well. The query string is dropped.
std::string targetPath(const std::string &target)
{
    std::string path = target.substr(0, target.find_first_of("?#"));
    for (const char *scheme : {"http://", "https://"}) {
        const std::string prefix = scheme;
        if (path.compare(0, prefix.size(), prefix) == 0) {
            const size_t slash = path.find('/', prefix.size());
            path = slash == std::string::npos ? std::string("/") : path.substr(slash);
            break;
        }
    }
    return path;
}

bool isWithin(const std::string &path, const std::string &folder)
{
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0
           && (folder.back() == '/' || path[folder.size()] == '/');
}

// Search pages kept for repeated queries: the popular ones are asked for over and over. About
// 3,200 pages of 50 tracks, more of the shorter pages most searches give. Under a Zipf law
// over 50,000 queries 32 MB answered 60 % of requests and 96 MB 70 %, but 64 MB cost no more
// processor time a search than 96 MB over 150,000 of them. With the shared counts and the kept
// rankings, every cache full, the service stays below 300 MB resident: 242 MB after the search
// benchmark's last rows, where 96 MB ended them at 276 MB.
constexpr size_t pageCacheBytes = 64 * 1024 * 1024;
// A page is kept the second time its search is asked for within the last 64K or so distinct
// searches: most are asked for once, and their pages would only push out the popular ones
// and cost a copy and fresh memory each.
constexpr size_t askedSlots = 64 * 1024;
const char *const xspfType = "application/xspf+xml; charset=utf-8";

// Searches run on the front's event loops, one at a time on each.
HttpLimits frontLimits(const ServerSettings &settings)
{
    HttpLimits limits = settings.limits;
    limits.threads = settings.searchThreads;
    limits.jobQueue = settings.searchQueue;
    // A form's parameters: the API under /rest/ takes them in the body of a POST.
    if (settings.restApi)
        limits.maxFormBody = 16 * 1024;
    return limits;
}

} // namespace

CatalogServer::CatalogServer(PageSource &index, ServerSettings settings, Log log)
    : m_index(index)
    , m_settings(std::move(settings))
    , m_ads(m_settings.adsDir)
    , m_pages(pageCacheBytes)
    , m_asked(askedSlots)
    , m_front(
          frontLimits(m_settings), uint64_t(m_settings.throttleKBps) * 1000,
          [this](const HttpRequest &request) { return handle(request); }, std::move(log))
{
    // A folder may not exist yet (the demo library is made after the service binds).
    for (const auto &folder : m_settings.musicFolders) {
        std::error_code error;
        const auto real = std::filesystem::weakly_canonical(folder, error);
        if (!error)
            m_realFolders.push_back(real.string());
    }
}

CatalogServer::~CatalogServer()
{
    m_front.stop();
}

bool CatalogServer::bind(const std::string &host, int port, std::string *error)
{
    m_host = host;
    return m_front.bind(host, port, error);
}

std::string CatalogServer::boundUrl() const
{
    const bool ipv6 = m_host.find(':') != std::string::npos;
    return "http://" + (ipv6 ? "[" + m_host + "]" : m_host) + ":" + std::to_string(port());
}

bool CatalogServer::run(std::string *error)
{
    std::unique_lock<std::mutex> lock(m_runMutex);
    if (m_stopRequested)
        return true;
    if (!m_front.start(error))
        return false;
    m_runWake.wait(lock, [this] { return m_stopRequested; });
    lock.unlock();
    m_front.stop();
    return true;
}

void CatalogServer::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_runMutex);
        m_stopRequested = true;
    }
    m_runWake.notify_all();
}

std::string CatalogServer::baseUrl(const HttpRequest &request) const
{
    if (!m_settings.publicUrl.empty())
        return m_settings.publicUrl;
    const std::string host = request.header("Host");
    return isHostHeader(host) ? "http://" + host : boundUrl();
}

HttpReply CatalogServer::handle(const HttpRequest &request)
{
    if (m_settings.restApi) {
        std::string path = targetPath(request.target());
        if (path.compare(0, 6, "/rest/") == 0)
            return m_settings.restApi(request, path);
    }
    if (request.method() != "GET" && request.method() != "HEAD") {
        HttpReply reply = errorReply(405, "method not allowed");
        reply.headers.emplace_back("Allow", "GET, HEAD");
        return reply;
    }
    const std::string path = targetPath(request.target());
    if (path.compare(0, 8, "/tracks/") == 0)
        return serveTrack(request, path);
    if (path.compare(0, 10, "/api/v0.2/") == 0)
        return serveSearch(request, path);
    if (path.compare(0, 5, "/1.2/") == 0)
        return serveAd(request, path);
    if (path == "/status" || path == "/status.json") {
        const CrawlStatus status
            = m_settings.crawlStatus ? m_settings.crawlStatus() : CrawlStatus();
        const int64_t tracks = m_index.trackCount();
        const bool hosts = m_settings.statusPublic || request.fromLoopback();
        const std::vector<ShardStatus> shards
            = m_settings.shardStatus ? m_settings.shardStatus() : std::vector<ShardStatus>();
        HttpReply reply = path == "/status"
                              ? contentReply(StatusPage::html(status, tracks, hosts, shards),
                                             "text/html; charset=utf-8")
                              : contentReply(StatusPage::json(status, tracks, hosts, shards),
                                             "application/json");
        reply.headers.emplace_back("Cache-Control", "no-store");
        return reply;
    }
    if (auto page = ProductPages::page(path))
        return contentReply(*page, "text/html; charset=utf-8");
    return errorReply(404, "not found");
}

HttpReply CatalogServer::serveSearch(const HttpRequest &request, const std::string &path)
{
    const SearchRequest search = SearchRequest::parse(path);
    switch (search.outcome()) {
    case SearchRequest::Outcome::NotSearch:
        return errorReply(404, "not found");
    case SearchRequest::Outcome::Invalid:
        return errorReply(400, search.error());
    case SearchRequest::Outcome::Valid:
        break;
    }
    const SearchQuery query(search.query());
    const int64_t start = search.start();
    const int count = search.count();
    const std::string base = baseUrl(request);
    std::string key = base + ' ' + std::to_string(start) + ' ' + std::to_string(count);
    for (const auto &word : query.words())
        key += ' ' + word;
    const uint64_t generation = m_index.generation();
    if (const auto page = m_pages.find(key, generation))
        return contentReply(*page, xspfType);

    // Searches wait their turn on the event loops; the connection waits without a thread.
    const HttpPending pending = request.defer();
    const bool queued
        = m_front.post([this, pending, query, start, count, base, key, generation](bool run) {
              if (!run) {
                  pending.reply(errorReply(503, "the service is stopping"));
                  return;
              }
              const SearchPage page = m_index.search(query, start, count);
              std::string body = XspfWriter::write(page, start, count, base);
              if (page.partial) {
                  HttpReply reply = contentReply(std::move(body), xspfType);
                  reply.headers.emplace_back("X-Larkspin-Partial", "1");
                  pending.reply(std::move(reply));
                  return;
              }
              if (m_asked.seenBefore(key))
                  m_pages.insert(key, generation, std::make_shared<const std::string>(body));
              pending.reply(contentReply(std::move(body), xspfType));
          });
    if (!queued) {
        HttpReply busy = errorReply(503, "too many searches at once; try again");
        busy.headers.emplace_back("Retry-After", "1");
        pending.reply(std::move(busy));
    }
    return {};
}

int CatalogServer::openTrack(const TrackRecord &track, struct stat &info) const
{
    // Only files have absolute paths; a track found on the web is served by its own host.
    if (track.path.empty() || track.path[0] != '/')
        return -1;
    // Non-blocking, so a FIFO put in the file's place cannot hold the event loop; the
    // checks below run on what was opened, so a swap after them changes nothing.
    constexpr int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    // Most tracks lie where the scan found them, with no link on the way: then the path is
    // the real one and needs no further look. Kernels without openat2 take the long way.
    open_how how{};
    how.flags = flags;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    int fd = int(::syscall(SYS_openat2, AT_FDCWD, track.path.c_str(), &how, sizeof how));
    const bool direct = fd >= 0;
    if (!direct && errno != ELOOP && errno != ENOSYS && errno != EPERM && errno != EXDEV)
        return -1;
    if (!direct)
        fd = ::open(track.path.c_str(), flags);
    if (fd < 0)
        return -1;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    if (direct || m_settings.followSymlinks)
        return fd;
    char real[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = ::readlink(link.c_str(), real, sizeof real - 1);
    if (length > 0) {
        const std::string realPath(real, size_t(length));
        // A link within the library still leads to the user's music.
        if (realPath == track.path)
            return fd;
        for (const auto &folder : m_realFolders) {
            if (isWithin(realPath, folder))
                return fd;
        }
    }
    ::close(fd);
    return -1;
}

HttpReply CatalogServer::serveTrack(const HttpRequest &request, const std::string &path)
{
    // /tracks/{id}/{name}.mp3 with a URL-safe name; anything else names no track.
    const auto notFound = [] {
        return errorReply(404, "no such track");
    };
    const size_t idStart = 8;
    const size_t idEnd = path.find('/', idStart);
    if (idEnd == std::string::npos || idEnd == idStart || idEnd - idStart > 18)
        return notFound();
    for (size_t i = idStart; i < idEnd; ++i) {
        if (path[i] < '0' || path[i] > '9')
            return notFound();
    }
    const std::string name = path.substr(idEnd + 1);
    if (name.size() < 5 || name.size() > 200 || name.compare(name.size() - 4, 4, ".mp3") != 0)
        return notFound();
    for (const char c : name) {
        const bool safe = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')
                          || c == '-' || c == '_' || c == '.' || c == '~';
        if (!safe)
            return notFound();
    }
    const auto track = m_index.track(std::stoll(path.substr(idStart, idEnd - idStart)));
    if (!track)
        return notFound();
    return serveTrackFile(request, *track);
}

HttpReply CatalogServer::serveTrackFile(const HttpRequest &request, const TrackRecord &track) const
{
    HttpReply reply;
    struct stat info;
    reply.fileFd = openTrack(track, info);
    if (reply.fileFd < 0)
        return errorReply(404, "no such track");
    const auto size = uint64_t(info.st_size);
    const std::string modified = httpDate(info.st_mtim.tv_sec);

    ByteRange range;
    const std::string ifRange = request.header("If-Range");
    if (ifRange.empty() || ifRange == modified)
        range = ByteRange::parse(request.header("Range"), size);
    if (range.kind == ByteRange::Kind::Unsatisfiable) {
        HttpReply refused = errorReply(416, "range not satisfiable");
        refused.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
        return refused;
    }
    reply.contentType = "audio/mpeg";
    reply.headers.emplace_back("Accept-Ranges", "bytes");
    reply.headers.emplace_back("Last-Modified", modified);
    reply.fileLength = size;
    if (range.kind == ByteRange::Kind::Part) {
        reply.status = 206;
        reply.fileOffset = range.first;
        reply.fileLength = range.last - range.first + 1;
        reply.headers.emplace_back("Content-Range", "bytes " + std::to_string(range.first) + "-"
                                                        + std::to_string(range.last) + "/"
                                                        + std::to_string(size));
    }
    return reply;
}

HttpReply CatalogServer::serveAd(const HttpRequest &request, const std::string &path)
{
    // /1.2/en{1..5}.png and /1.2/en{1..5}.txt
    if (path.size() == 12 && path.compare(0, 7, "/1.2/en") == 0 && path[7] >= '1' && path[7] <= '5'
        && path[8] == '.') {
        const int slot = path[7] - '0';
        const std::string ending = path.substr(9);
        if (ending == "png") {
            if (auto image = m_ads.image(slot))
                return contentReply(*image, "image/png");
        } else if (ending == "txt") {
            if (auto text = m_ads.text(slot, baseUrl(request)))
                return contentReply(*text, "text/plain; charset=utf-8");
        }
    }
    return errorReply(404, "not found");
}

} // namespace catalog
