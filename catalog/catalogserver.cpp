#include "catalogserver.h"

#include "catalogindex.h"
#include "productpages.h"
#include "searchquery.h"
#include "searchrequest.h"
#include "textcodec.h"
#include "tunedhttpserver.h"
#include "xspfwriter.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace catalog {

namespace {

using Clock = std::chrono::steady_clock;

// httplib runs the routing handler and the logger of one request on the same worker
// thread, so the start time can wait there without touching the shared request.
thread_local Clock::time_point requestStarted;

void setError(httplib::Response &response, int status, const std::string &message)
{
    response.status = status;
    response.set_content("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root><error>"
                             + TextCodec::escapeXml(message) + "</error></root>\n",
                         "application/xml; charset=utf-8");
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

// Ranges only make sense for track files; everything else is answered whole.
void dropRanges(const httplib::Request &request)
{
    // The request object is the server's own, non-const; the handler just sees it const.
    const_cast<httplib::Request &>(request).ranges.clear();
}

struct OpenTrack
{
    explicit OpenTrack(int descriptor)
        : fd(descriptor)
    {}
    ~OpenTrack() { ::close(fd); }
    OpenTrack(const OpenTrack &) = delete;
    OpenTrack &operator=(const OpenTrack &) = delete;

    const int fd;
    Clock::time_point started = Clock::now();
    size_t sent = 0;
};

} // namespace

CatalogServer::CatalogServer(CatalogIndex &index, ServerSettings settings, Log log)
    : m_index(index)
    , m_settings(std::move(settings))
    , m_ads(m_settings.adsDir)
    , m_log(std::move(log))
    , m_server(std::make_unique<TunedHttpServer>())
{
    const int threads = m_settings.workerThreads;
    m_server->new_task_queue = [threads] {
        return new httplib::ThreadPool(size_t(threads));
    };
    m_server->set_tcp_nodelay(true);
    m_server->set_keep_alive_max_count(10000);
    m_server->set_keep_alive_timeout(5);
    m_server->set_pre_routing_handler(
        [this](const httplib::Request &request, httplib::Response &response) {
            handle(request, response);
            return httplib::Server::HandlerResponse::Handled;
        });
    m_server->set_logger(
        [this](const httplib::Request &request, const httplib::Response &response) {
            logRequest(request, response);
        });
}

CatalogServer::~CatalogServer() = default;

bool CatalogServer::bind(const std::string &host, int port, std::string *error)
{
    m_host = host;
    if (port == 0) {
        m_port = m_server->bind_to_any_port(host);
    } else {
        m_port = m_server->bind_to_port(host, port) ? port : -1;
    }
    if (m_port <= 0) {
        if (error)
            *error = "cannot listen on " + host + ":" + std::to_string(port);
        return false;
    }
    m_server->setListenBacklog(SOMAXCONN);
    return true;
}

std::string CatalogServer::boundUrl() const
{
    const bool ipv6 = m_host.find(':') != std::string::npos;
    return "http://" + (ipv6 ? "[" + m_host + "]" : m_host) + ":" + std::to_string(m_port);
}

bool CatalogServer::run()
{
    return m_server->listen_after_bind();
}

void CatalogServer::stop()
{
    m_server->stop();
}

std::string CatalogServer::baseUrl(const httplib::Request &request) const
{
    if (!m_settings.publicUrl.empty())
        return m_settings.publicUrl;
    const std::string host = request.get_header_value("Host");
    return isHostHeader(host) ? "http://" + host : boundUrl();
}

void CatalogServer::handle(const httplib::Request &request, httplib::Response &response)
{
    requestStarted = Clock::now();
    if (request.method != "GET" && request.method != "HEAD") {
        dropRanges(request);
        response.set_header("Allow", "GET, HEAD");
        setError(response, 405, "method not allowed");
        return;
    }
    const std::string path = targetPath(request.target);
    if (path.compare(0, 8, "/tracks/") == 0) {
        serveTrack(request, response, path);
        return;
    }
    dropRanges(request);
    if (path.compare(0, 10, "/api/v0.2/") == 0) {
        serveSearch(request, response, path);
    } else if (path.compare(0, 5, "/1.2/") == 0) {
        serveAd(request, response, path);
    } else if (auto page = ProductPages::page(path)) {
        response.status = 200;
        response.set_content(*page, "text/html; charset=utf-8");
    } else {
        setError(response, 404, "not found");
    }
}

void CatalogServer::serveSearch(const httplib::Request &request, httplib::Response &response,
                                const std::string &path)
{
    const SearchRequest search = SearchRequest::parse(path);
    switch (search.outcome()) {
    case SearchRequest::Outcome::NotSearch:
        setError(response, 404, "not found");
        return;
    case SearchRequest::Outcome::Invalid:
        setError(response, 400, search.error());
        return;
    case SearchRequest::Outcome::Valid:
        break;
    }
    const SearchPage page
        = m_index.search(SearchQuery(search.query()), search.start(), search.count());
    response.status = 200;
    response.set_content(XspfWriter::write(page, search.start(), search.count(), baseUrl(request)),
                         "application/xspf+xml; charset=utf-8");
}

void CatalogServer::serveTrack(const httplib::Request &request, httplib::Response &response,
                               const std::string &path)
{
    // /tracks/{id}/{name}.mp3 with a URL-safe name; anything else names no track.
    const auto notFound = [&] {
        dropRanges(request);
        setError(response, 404, "no such track");
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
    const int fd = ::open(track->path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return notFound();
    auto file = std::make_shared<OpenTrack>(fd);
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return notFound();

    const auto size = size_t(info.st_size);
    for (const auto &range : request.ranges) {
        // A range that starts past the end cannot be served (RFC 9110 416).
        if (range.first >= 0 && size_t(range.first) >= size) {
            dropRanges(request);
            response.set_header("Content-Range", "bytes */" + std::to_string(size));
            setError(response, 416, "range not satisfiable");
            return;
        }
    }
    response.set_header("Accept-Ranges", "bytes");
    response.set_header("Last-Modified", httpDate(info.st_mtim.tv_sec));
    const size_t rate = size_t(m_settings.throttleKBps) * 1000;
    response.set_content_provider(
        size, "audio/mpeg", [file, rate](size_t offset, size_t length, httplib::DataSink &sink) {
            char buffer[16384];
            size_t chunk = std::min(length, sizeof buffer);
            if (rate > 0) {
                chunk = std::min(chunk, std::max<size_t>(rate / 20, 512));
                const double due = double(file->sent) / double(rate);
                const double elapsed
                    = std::chrono::duration<double>(Clock::now() - file->started).count();
                if (due > elapsed)
                    std::this_thread::sleep_for(std::chrono::duration<double>(due - elapsed));
            }
            const ssize_t got = ::pread(file->fd, buffer, chunk, off_t(offset));
            if (got <= 0)
                return false; // the file shrank under us; end the transfer
            file->sent += size_t(got);
            return sink.write(buffer, size_t(got));
        });
}

void CatalogServer::serveAd(const httplib::Request &request, httplib::Response &response,
                            const std::string &path)
{
    // /1.2/en{1..5}.png and /1.2/en{1..5}.txt
    if (path.size() == 12 && path.compare(0, 7, "/1.2/en") == 0 && path[7] >= '1' && path[7] <= '5'
        && path[8] == '.') {
        const int slot = path[7] - '0';
        const std::string ending = path.substr(9);
        if (ending == "png") {
            if (auto image = m_ads.image(slot)) {
                response.status = 200;
                response.set_content(*image, "image/png");
                return;
            }
        } else if (ending == "txt") {
            if (auto text = m_ads.text(slot, baseUrl(request))) {
                response.status = 200;
                response.set_content(*text, "text/plain; charset=utf-8");
                return;
            }
        }
    }
    setError(response, 404, "not found");
}

void CatalogServer::logRequest(const httplib::Request &request, const httplib::Response &response)
{
    // Requests that httplib rejects itself never reach handle(), so they have no start time.
    const double ms
        = requestStarted == Clock::time_point()
              ? 0.0
              : std::chrono::duration<double, std::milli>(Clock::now() - requestStarted).count();
    requestStarted = Clock::time_point();
    std::string target = request.target.empty() ? request.path : request.target;
    if (target.size() > 300)
        target = target.substr(0, 300) + "...";
    for (char &c : target) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    size_t bytes = 0;
    if (request.method != "HEAD") {
        const std::string length = response.get_header_value("Content-Length");
        bytes = length.empty() ? response.body.size()
                               : size_t(std::strtoull(length.c_str(), nullptr, 10));
    }
    char line[512];
    std::snprintf(line, sizeof line, "%s %s %d %zu %.1fms", request.method.c_str(), target.c_str(),
                  response.status, bytes, ms);
    m_log(line);
}

} // namespace catalog
