#include "httpfront.h"

#include <microhttpd.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace catalog {

namespace {

using Clock = std::chrono::steady_clock;

// Per-connection pool: the request line and header fields are read into it, so it bounds
// what one connection can make us hold. Room for the largest request the limits allow.
constexpr size_t connectionMemory = 64 * 1024;
constexpr auto timerTick = std::chrono::milliseconds(250);
// Access-log lines wait at most this long, and go out at once when their loop falls idle.
constexpr auto logDelay = std::chrono::milliseconds(100);
// A pipe takes a write up to 4,096 bytes whole, so batches of lines from different threads
// never mix.
constexpr size_t logBatchBytes = 4000;
// The library stops accepting at its own limit and leaves later connections waiting in the
// listen queue; with room above ours, connections past our limit are taken and closed.
constexpr unsigned refusalRoom = 512;

int64_t ticks(Clock::time_point when)
{
    return when.time_since_epoch().count();
}

// The response takes the body over instead of copying it.
MHD_Response *bodyResponse(std::string &&body)
{
    auto *owned = new std::string(std::move(body));
    MHD_Response *response = MHD_create_response_from_buffer_with_free_callback_cls(
        owned->size(), owned->data(), [](void *text) { delete static_cast<std::string *>(text); },
        owned);
    if (!response)
        delete owned;
    return response;
}

MHD_Result countHeader(void *count, MHD_ValueKind, const char *, const char *)
{
    ++*static_cast<int *>(count);
    return MHD_YES;
}

// The client's address without its port: connections are counted per address.
std::string clientAddress(MHD_Connection *connection)
{
    const auto *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr)
        return {};
    const sockaddr *address = info->client_addr;
    if (address->sa_family == AF_INET6) {
        const auto &bytes = reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr;
        return std::string(reinterpret_cast<const char *>(&bytes), sizeof bytes);
    }
    const auto &bytes = reinterpret_cast<const sockaddr_in *>(address)->sin_addr;
    return std::string(reinterpret_cast<const char *>(&bytes), sizeof bytes);
}

} // namespace

struct HttpFront::Connection
{
    int fd = -1;
    // Set while a request is being answered; otherwise the next request's header is due by
    // headerDue (steady clock ticks).
    std::atomic<bool> answering{false};
    std::atomic<int64_t> headerDue{0};
    bool closedByTimer = false;
    bool refused = false;
    std::string client;
};

struct HttpFront::Loop
{
    ~Loop()
    {
        if (epoll >= 0)
            ::close(epoll);
        if (wake >= 0)
            ::close(wake);
    }

    MHD_Daemon *daemon = nullptr;
    int epoll = -1; // the daemon's own epoll descriptor and wake
    int wake = -1;  // an eventfd: a job for this loop, or stop()
    std::thread thread;
    // Access-log lines of this loop's requests not yet written, one write for many.
    std::string log;
    Clock::time_point logSince;
};

struct HttpFront::Exchange
{
    Clock::time_point started = Clock::now();
    std::string target;
    size_t targetLength = 0;
    std::string method;
    bool checked = false;
    bool answered = false;
    bool deferred = false;
    std::unique_ptr<HttpReply> later; // the deferred reply, once given
    uint64_t bodyBytes = 0;
    bool readingBody = false; // a form body is being read before the request is answered
    std::string requestBody;
};

struct HttpFront::PacedBody
{
    ~PacedBody() { ::close(fd); }

    HttpFront *front = nullptr;
    MHD_Connection *connection = nullptr;
    int fd = -1;
    uint64_t offset = 0;
    uint64_t length = 0;
    uint64_t rate = 0;
    Clock::time_point started = Clock::now();
};

// libmicrohttpd's C callbacks, with the front as their closure.
struct HttpFrontCallbacks
{
    static void *uriLog(void *self, const char *uri, MHD_Connection *)
    {
        auto *exchange = new HttpFront::Exchange;
        // A target too long to serve is refused; only its start is kept, for the log.
        exchange->targetLength = uri ? std::strlen(uri) : 0;
        exchange->target.assign(uri ? uri : "",
                                std::min(exchange->targetLength,
                                         static_cast<HttpFront *>(self)->m_limits.maxRequestLine));
        return exchange;
    }

    static MHD_Result access(void *self, MHD_Connection *connection, const char *,
                             const char *method, const char *, const char *uploadData,
                             size_t *uploadDataSize, void **context)
    {
        auto *exchange = static_cast<HttpFront::Exchange *>(*context);
        if (!exchange) // not reached: the URI callback makes one for every request
            return MHD_NO;
        if (exchange->answered) {
            // Body bytes of a request answered early: the connection closes after the reply.
            *uploadDataSize = 0;
            return MHD_YES;
        }
        auto *front = static_cast<HttpFront *>(self);
        if (!exchange->checked) {
            // The first call comes with the header. A reply queued now makes the library
            // close the connection after it, so only refusals are answered here.
            exchange->checked = true;
            exchange->method = method;
            front->check(connection, *exchange);
            return MHD_YES;
        }
        if (exchange->readingBody && *uploadDataSize > 0) {
            // Its declared length was checked against the limit before any of it was read.
            exchange->requestBody.append(uploadData, *uploadDataSize);
            *uploadDataSize = 0;
            return MHD_YES;
        }
        front->answer(connection, *exchange);
        return MHD_YES;
    }

    static void completed(void *self, MHD_Connection *connection, void **context,
                          MHD_RequestTerminationCode reason)
    {
        auto *front = static_cast<HttpFront *>(self);
        std::unique_ptr<HttpFront::Exchange> exchange(static_cast<HttpFront::Exchange *>(*context));
        *context = nullptr;
        if (const auto *info
            = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT)) {
            if (auto *state = static_cast<HttpFront::Connection *>(info->socket_context)) {
                state->headerDue = ticks(
                    Clock::now() + std::chrono::seconds(front->m_limits.headerTimeoutSeconds));
                state->answering = false;
            }
        }
        if (!exchange)
            return;
        unsigned status = 0;
        if (const auto *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_HTTP_STATUS))
            status = info->http_status;
        const double ms
            = std::chrono::duration<double, std::milli>(Clock::now() - exchange->started).count();
        std::string target = exchange->target;
        if (target.size() > 300)
            target = target.substr(0, 300) + "...";
        for (char &c : target) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                c = '?';
        }
        const std::string method = exchange->method.empty() ? "-" : exchange->method;
        char line[512];
        std::snprintf(line, sizeof line, "%s %s %u %llu %.1fms%s", method.c_str(), target.c_str(),
                      status, static_cast<unsigned long long>(exchange->bodyBytes), ms,
                      reason == MHD_REQUEST_TERMINATED_COMPLETED_OK ? "" : " (cut)");
        front->logLine(connection, line);
    }

    static void connectionEvent(void *self, MHD_Connection *connection, void **socketContext,
                                MHD_ConnectionNotificationCode event)
    {
        auto *front = static_cast<HttpFront *>(self);
        if (event == MHD_CONNECTION_NOTIFY_STARTED) {
            auto *state = new HttpFront::Connection;
            if (const auto *info
                = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD))
                state->fd = info->connect_fd;
            state->headerDue
                = ticks(Clock::now() + std::chrono::seconds(front->m_limits.headerTimeoutSeconds));
            state->client = clientAddress(connection);
            *socketContext = state;
            std::lock_guard<std::mutex> lock(front->m_mutex);
            front->m_connections.insert(state);
            unsigned &fromClient = front->m_clients[state->client];
            if (front->m_open >= front->m_limits.maxConnections
                || fromClient >= front->m_limits.maxPerClient) {
                state->refused = true;
                if (fromClient == 0)
                    front->m_clients.erase(state->client);
                ::shutdown(state->fd, SHUT_RDWR);
            } else {
                ++front->m_open;
                ++fromClient;
            }
            return;
        }
        // Called before the socket is closed, so the timer never shuts down a reused number.
        auto *state = static_cast<HttpFront::Connection *>(*socketContext);
        *socketContext = nullptr;
        if (!state)
            return;
        {
            std::lock_guard<std::mutex> lock(front->m_mutex);
            front->m_connections.erase(state);
            if (!state->refused) {
                --front->m_open;
                const auto client = front->m_clients.find(state->client);
                if (client != front->m_clients.end() && --client->second == 0)
                    front->m_clients.erase(client);
            }
        }
        delete state;
    }

    static ssize_t readPaced(void *closure, uint64_t position, char *buffer, size_t max)
    {
        auto *body = static_cast<HttpFront::PacedBody *>(closure);
        HttpFront *front = body->front;
        const double elapsed = std::chrono::duration<double>(Clock::now() - body->started).count();
        // A twentieth of a second's worth at once, so a transfer moves in small, even steps.
        // Only whole steps (or the rest of the file) go out: a body that has caught up with its
        // rate would otherwise send the few bytes the clock allows at every call, a wake-up
        // and a packet for each.
        const uint64_t step = std::max<uint64_t>(body->rate / 20, 512);
        const uint64_t want = std::min(step, body->length - std::min(position, body->length));
        const auto allowed = uint64_t(elapsed * double(body->rate)) + step;
        if (allowed < position + std::max<uint64_t>(want, 1)) {
            {
                std::lock_guard<std::mutex> lock(front->m_mutex);
                if (front->m_stopping)
                    return MHD_CONTENT_READER_END_WITH_ERROR;
            }
            const double due = (double(position + std::max<uint64_t>(want, 1)) - double(step))
                               / double(body->rate);
            MHD_suspend_connection(body->connection);
            front->resumeLater(body->connection, body->started
                                                     + std::chrono::duration_cast<Clock::duration>(
                                                         std::chrono::duration<double>(due)));
            return 0;
        }
        const size_t chunk = size_t(std::min<uint64_t>({max, allowed - position, step}));
        const ssize_t got = ::pread(body->fd, buffer, chunk, off_t(body->offset + position));
        // A file that shrank under us ends the transfer; the client sees it cut.
        return got > 0 ? got : MHD_CONTENT_READER_END_WITH_ERROR;
    }

    static void freePaced(void *closure) { delete static_cast<HttpFront::PacedBody *>(closure); }
};

HttpFront::HttpFront(HttpLimits limits, uint64_t throttleBytesPerSecond, Handler handler, Log log)
    : m_limits(limits)
    , m_throttle(throttleBytesPerSecond)
    , m_handler(std::move(handler))
    , m_log(std::move(log))
    , m_jobs(m_limits.jobQueue)
{}

HttpFront::~HttpFront()
{
    stop();
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

bool HttpFront::bind(const std::string &host, int port, std::string *error)
{
    const auto fail = [&](const std::string &why) {
        if (error)
            *error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + why;
        return false;
    };
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const std::string service = std::to_string(port);
    if (const int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found))
        return fail(::gai_strerror(status));
    std::string why = "no address";
    for (addrinfo *address = found; address; address = address->ai_next) {
        const int fd
            = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                       address->ai_protocol);
        if (fd < 0)
            continue;
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, address->ai_addr, address->ai_addrlen) == 0
            && ::listen(fd, SOMAXCONN) == 0) {
            m_listenFd = fd;
            break;
        }
        why = std::strerror(errno);
        ::close(fd);
    }
    ::freeaddrinfo(found);
    if (m_listenFd < 0)
        return fail(why);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&bound), &length);
    m_port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port
                                               : reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
    return true;
}

bool HttpFront::start(std::string *error)
{
    if (m_listenFd < 0) {
        if (error)
            *error = "not bound";
        return false;
    }
    unsigned threads = m_limits.threads;
    if (threads == 0)
        threads = std::max(1u, std::thread::hardware_concurrency());
    // The library stops accepting on a loop at its limit; together the loops take no more
    // descriptors than the limits allow.
    const unsigned perLoop = (m_limits.maxConnections + refusalRoom + threads - 1) / threads;
    for (unsigned i = 0; i < threads; ++i) {
        const int fd = i == 0 ? m_listenFd : ::fcntl(m_listenFd, F_DUPFD_CLOEXEC, 0);
        auto loop = std::make_unique<Loop>();
        const bool started = fd >= 0 && startLoop(*loop, fd, perLoop);
        if (!loop->daemon && i > 0 && fd >= 0)
            ::close(fd);
        // The first daemon, once made, owns the socket itself.
        const bool socketTaken = !m_loops.empty() || loop->daemon;
        m_loops.push_back(std::move(loop));
        if (!started) {
            if (socketTaken)
                m_listenFd = -1;
            stop();
            if (error)
                *error = "cannot start the HTTP server";
            return false;
        }
    }
    // The daemons own the socket and its copies now and close them when stopped.
    m_listenFd = -1;
    {
        // A loop takes its jobs under the mutex, so its thread sees every loop's thread in
        // place before a job can resume a connection.
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto &loop : m_loops)
            loop->thread = std::thread([this, &loop = *loop] { runLoop(loop); });
    }
    m_timers = std::thread([this] { runTimers(); });
    return true;
}

bool HttpFront::startLoop(Loop &loop, int listenFd, unsigned connectionLimit)
{
    // Without a thread of the library's: the loop runs the daemon itself, so that it can
    // run jobs between rounds.
    const unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_TURBO;
    loop.daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &HttpFrontCallbacks::access, this, MHD_OPTION_LISTEN_SOCKET,
        listenFd, MHD_OPTION_CONNECTION_LIMIT, connectionLimit, MHD_OPTION_CONNECTION_TIMEOUT,
        unsigned(m_limits.idleTimeoutSeconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT, connectionMemory,
        MHD_OPTION_URI_LOG_CALLBACK, &HttpFrontCallbacks::uriLog, this, MHD_OPTION_NOTIFY_COMPLETED,
        &HttpFrontCallbacks::completed, this, MHD_OPTION_NOTIFY_CONNECTION,
        &HttpFrontCallbacks::connectionEvent, this, MHD_OPTION_SIGPIPE_HANDLED_BY_APP, 1,
        MHD_OPTION_END);
    const MHD_DaemonInfo *info
        = loop.daemon ? MHD_get_daemon_info(loop.daemon, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
    loop.epoll = ::epoll_create1(EPOLL_CLOEXEC);
    loop.wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    bool ready = info && loop.epoll >= 0 && loop.wake >= 0;
    for (const int fd : {info ? info->epoll_fd : -1, loop.wake}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        ready = ready && ::epoll_ctl(loop.epoll, EPOLL_CTL_ADD, fd, &event) == 0;
    }
    return ready;
}

void HttpFront::stop()
{
    if (m_loops.empty())
        return;
    std::deque<Job> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        dropped = m_jobs.close();
    }
    m_wake.notify_all();
    if (m_timers.joinable())
        m_timers.join();
    for (auto &loop : m_loops) {
        if (loop->wake >= 0)
            wake(*loop);
        if (loop->thread.joinable())
            loop->thread.join();
    }
    // Replies to the dropped jobs go out with the replies already given, where they can.
    JobQueue::drop(dropped);
    std::vector<MHD_Connection *> suspended;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto &[when, connection] : m_resumes)
            suspended.push_back(connection);
        m_resumes.clear();
        suspended.insert(suspended.end(), m_waiting.begin(), m_waiting.end());
        m_waiting.clear();
    }
    // The daemons refuse to stop while connections are suspended.
    for (MHD_Connection *connection : suspended)
        MHD_resume_connection(connection);
    for (auto &loop : m_loops) {
        if (loop->daemon) {
            MHD_run(loop->daemon);
            MHD_stop_daemon(loop->daemon);
        }
        flushLog(*loop);
    }
    m_loops.clear();
}

bool HttpFront::post(Job job)
{
    Loop *sleeper = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping || m_loops.empty() || !m_jobs.push(std::move(job)))
            return false;
        // A loop that is awake takes a job at the end of its round; a sleeping one is woken
        // only for work beyond that, so a job posted from a loop mostly runs on it.
        if (!m_sleeping.empty() && m_jobs.size() > m_loops.size() - m_sleeping.size()) {
            sleeper = m_sleeping.back();
            m_sleeping.pop_back();
        }
    }
    if (sleeper)
        wake(*sleeper);
    return true;
}

void HttpFront::runLoop(Loop &loop)
{
    for (;;) {
        MHD_run(loop.daemon);
        if (!loop.log.empty() && Clock::now() - loop.logSince >= logDelay)
            flushLog(loop);
        MHD_UNSIGNED_LONG_LONG due = 0;
        const bool timed = MHD_get_timeout(loop.daemon, &due) == MHD_YES;
        Job job;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping)
                break;
            if (!m_jobs.empty()) {
                job = m_jobs.take();
            } else if (timed && due == 0) {
                continue; // the library has more to do at once, such as a body to send on
            } else {
                m_sleeping.push_back(&loop);
            }
        }
        if (job) {
            job(true);
            continue;
        }
        flushLog(loop);
        epoll_event events[2];
        const int ready
            = ::epoll_wait(loop.epoll, events, 2,
                           timed ? int(std::min<MHD_UNSIGNED_LONG_LONG>(due, INT_MAX)) : -1);
        for (int i = 0; i < ready; ++i) {
            if (events[i].data.fd == loop.wake) {
                uint64_t count = 0;
                [[maybe_unused]] const auto got = ::read(loop.wake, &count, sizeof count);
            }
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto self = std::find(m_sleeping.begin(), m_sleeping.end(), &loop);
        if (self != m_sleeping.end())
            m_sleeping.erase(self);
    }
    flushLog(loop);
}

HttpFront::Loop *HttpFront::loopOf(MHD_Connection *connection) const
{
    const auto *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_DAEMON);
    for (const auto &loop : m_loops) {
        if (info && loop->daemon == info->daemon)
            return loop.get();
    }
    return nullptr;
}

void HttpFront::logLine(MHD_Connection *connection, const std::string &line)
{
    // A connection's requests complete on its loop's thread, or on stop()'s once the loops
    // have ended; either way only one thread touches a loop's lines at a time.
    Loop *loop = loopOf(connection);
    if (!loop) {
        m_log(line);
        return;
    }
    if (!loop->log.empty() && loop->log.size() + 1 + line.size() > logBatchBytes)
        flushLog(*loop);
    if (loop->log.empty())
        loop->logSince = Clock::now();
    else
        loop->log += '\n';
    loop->log += line;
}

void HttpFront::flushLog(Loop &loop)
{
    if (loop.log.empty())
        return;
    m_log(loop.log);
    loop.log.clear();
}

void HttpFront::resumeLater(MHD_Connection *connection, Clock::time_point when)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) {
            MHD_resume_connection(connection);
            return;
        }
        m_resumes.emplace_back(when, connection);
        std::push_heap(m_resumes.begin(), m_resumes.end(), std::greater<>());
    }
    m_wake.notify_all();
}

void HttpFront::runTimers()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    auto nextCheck = Clock::now();
    while (!m_stopping) {
        const auto now = Clock::now();
        while (!m_resumes.empty() && m_resumes.front().first <= now) {
            std::pop_heap(m_resumes.begin(), m_resumes.end(), std::greater<>());
            resume(m_resumes.back().second);
            m_resumes.pop_back();
        }
        if (now >= nextCheck) {
            // A request that trickles in keeps the connection active, so the idle timeout
            // never ends it; shutting the socket down lets its event loop close it.
            const int64_t nowTicks = ticks(now);
            for (Connection *connection : m_connections) {
                if (!connection->answering && !connection->closedByTimer && !connection->refused
                    && connection->headerDue < nowTicks) {
                    ::shutdown(connection->fd, SHUT_RDWR);
                    connection->closedByTimer = true;
                }
            }
            nextCheck = now + timerTick;
        }
        auto wakeAt = nextCheck;
        if (!m_resumes.empty())
            wakeAt = std::min(wakeAt, m_resumes.front().first);
        m_wake.wait_until(lock, wakeAt);
    }
}

void HttpFront::check(MHD_Connection *connection, Exchange &exchange)
{
    if (const auto *info
        = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT)) {
        if (auto *state = static_cast<Connection *>(info->socket_context))
            state->answering = true;
    }
    const char *method = exchange.method.c_str();
    size_t headerBytes = 0;
    if (const auto *info
        = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE))
        headerBytes = info->header_size;
    // The request line is method, target and version with two blanks and CRLF.
    const size_t requestLine = exchange.method.size() + exchange.targetLength + 12;
    int headerLines = 0;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &countHeader, &headerLines);
    const bool hasBody
        = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH)
          || MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                         MHD_HTTP_HEADER_TRANSFER_ENCODING);
    const bool bodiless = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0
                          || std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    const auto refuse = [&](int status, const char *text) {
        HttpReply reply;
        reply.status = status;
        reply.contentType = "text/plain; charset=utf-8";
        reply.body = text;
        send(connection, exchange, reply, true);
    };
    if (requestLine > m_limits.maxRequestLine) {
        refuse(MHD_HTTP_URI_TOO_LONG, "request line too long\n");
    } else if (headerLines > m_limits.maxHeaderLines
               || headerBytes > requestLine + m_limits.maxHeaderBytes) {
        refuse(MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE, "header fields too large\n");
    } else if (bodiless && hasBody) {
        // Reading the body would let it pass for the next request behind a proxy that
        // reads it differently; refuse the request and the rest of the connection.
        refuse(MHD_HTTP_BAD_REQUEST, "a GET or HEAD request carries no body\n");
    } else if (hasBody && formBodyFits(connection, method)) {
        exchange.readingBody = true; // answered once the body is in
    } else if (hasBody) {
        // No other request of ours takes a body: answer at once, unread, and close.
        HttpReply reply = m_handler(
            HttpRequest(*this, connection, &exchange, exchange.method, exchange.target, {}));
        if (!exchange.deferred)
            send(connection, exchange, reply, true);
    }
}

bool HttpFront::formBodyFits(MHD_Connection *connection, const char *method) const
{
    if (m_limits.maxFormBody == 0 || std::strcmp(method, MHD_HTTP_METHOD_POST) != 0
        || MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                       MHD_HTTP_HEADER_TRANSFER_ENCODING))
        return false;
    const char *length
        = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (!length || *length < '0' || *length > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long bytes = std::strtoull(length, &end, 10);
    return errno == 0 && *end == '\0' && bytes <= m_limits.maxFormBody;
}

void HttpFront::answer(MHD_Connection *connection, Exchange &exchange)
{
    if (exchange.deferred) {
        // Resumed: by the reply, or by stop() without one.
        std::unique_ptr<HttpReply> later;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            later = std::move(exchange.later);
        }
        if (!later) {
            later = std::make_unique<HttpReply>();
            later->status = MHD_HTTP_SERVICE_UNAVAILABLE;
            later->contentType = "text/plain; charset=utf-8";
            later->body = "the service is stopping\n";
        }
        send(connection, exchange, *later, false);
        return;
    }
    HttpReply reply = m_handler(HttpRequest(*this, connection, &exchange, exchange.method,
                                            exchange.target, exchange.requestBody));
    if (!exchange.deferred)
        send(connection, exchange, reply, false);
}

void HttpFront::defer(MHD_Connection *connection, void *exchange)
{
    suspend(connection, *static_cast<Exchange *>(exchange));
}

void HttpFront::complete(MHD_Connection *connection, void *exchange, HttpReply reply)
{
    complete(connection, *static_cast<Exchange *>(exchange), std::move(reply));
}

void HttpFront::suspend(MHD_Connection *connection, Exchange &exchange)
{
    exchange.deferred = true;
    MHD_suspend_connection(connection);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_waiting.insert(connection);
}

void HttpFront::complete(MHD_Connection *connection, Exchange &exchange, HttpReply reply)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_waiting.erase(connection))
            return; // already resumed by stop()
        exchange.later = std::make_unique<HttpReply>(std::move(reply));
    }
    resume(connection);
}

void HttpFront::resume(MHD_Connection *connection)
{
    // Found before the connection is resumed: from then on its loop may close it.
    Loop *loop = loopOf(connection);
    MHD_resume_connection(connection);
    // The library tells no loop of its own: a loop runs it again only when woken.
    if (loop && loop->thread.get_id() != std::this_thread::get_id())
        wake(*loop);
}

void HttpFront::wake(Loop &loop)
{
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(loop.wake, &one, sizeof one);
}

void HttpFront::send(MHD_Connection *connection, Exchange &exchange, HttpReply &reply,
                     bool closeAfter)
{
    exchange.answered = true;
    const uint64_t bodyBytes = reply.fileFd >= 0 ? reply.fileLength : reply.body.size();
    MHD_Response *response = makeResponse(connection, reply, closeAfter);
    if (!response) {
        reply = HttpReply();
        reply.status = MHD_HTTP_INTERNAL_SERVER_ERROR;
        response = makeResponse(connection, reply, true);
    }
    if (exchange.method != MHD_HTTP_METHOD_HEAD)
        exchange.bodyBytes = bodyBytes;
    MHD_queue_response(connection, unsigned(reply.status), response);
    MHD_destroy_response(response);
}

MHD_Response *HttpFront::makeResponse(MHD_Connection *connection, HttpReply &reply, bool closeAfter)
{
    MHD_Response *response = nullptr;
    if (reply.fileFd < 0) {
        response = bodyResponse(std::move(reply.body));
    } else if (m_throttle > 0) {
        auto *body = new PacedBody;
        body->front = this;
        body->connection = connection;
        body->fd = std::exchange(reply.fileFd, -1);
        body->offset = reply.fileOffset;
        body->length = reply.fileLength;
        body->rate = m_throttle;
        response = MHD_create_response_from_callback(reply.fileLength, 64 * 1024,
                                                     &HttpFrontCallbacks::readPaced, body,
                                                     &HttpFrontCallbacks::freePaced);
        if (!response)
            delete body;
        reply.fileFd = -1;
    } else {
        // The response takes the descriptor; the body goes out with sendfile.
        response = MHD_create_response_from_fd_at_offset64(reply.fileLength, reply.fileFd,
                                                           reply.fileOffset);
        if (response)
            reply.fileFd = -1;
    }
    if (!response)
        return nullptr;
    if (!reply.contentType.empty())
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.c_str());
    for (const auto &[name, value] : reply.headers)
        MHD_add_response_header(response, name.c_str(), value.c_str());
    if (closeAfter)
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    return response;
}

} // namespace catalog
