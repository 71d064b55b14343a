#pragma once

#include "httpreply.h"
#include "httprequest.h"
#include "jobqueue.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

struct MHD_Connection;
struct MHD_Daemon;
struct MHD_Response;

namespace catalog {

// What the front allows a client. Plain data, in ServerSettings.
struct HttpLimits
{
    size_t maxRequestLine = 8 * 1024;  // longer: 414
    size_t maxHeaderBytes = 32 * 1024; // header fields after the request line; more: 431
    int maxHeaderLines = 100;          // more: 431
    int headerTimeoutSeconds = 10;     // a request whose header is not complete by then: closed
    int idleTimeoutSeconds = 5;        // a connection with nothing to do: closed
    unsigned maxConnections = 10000;   // further connections are closed at once (needs 512
                                       // descriptors beyond it)
    unsigned maxPerClient = 256;       // per client address
    unsigned threads = 0;              // event loops; 0: one per core
    size_t jobQueue = 64;              // posted jobs waiting for a loop; more are refused
    size_t maxFormBody = 0;            // a POST body of a declared length up to this is read
                                       // and handed to the handler; 0: bodies are not read
};

// The event-driven HTTP/1.1 server under the catalogue, on libmicrohttpd: a few event-loop
// threads (epoll) serve every connection, so a connection that waits costs memory, never a
// thread. Enforces the limits above; pipelined requests are answered in order; a GET or HEAD
// that declares a body is answered 400 and the connection closed. One access-log line per
// request, written a few at a time. The handler runs on the event-loop threads and must not
// block for long: longer work is posted, and the loops run it between their rounds of I/O.
// The front owns the listening socket, the loops and a timer thread, which stop() (or the
// destructor) ends; the log is called on the loops. A request past a limit is answered 400,
// 414 or 431, a connection past one closed, and a deferred request still waiting at stop()
// answered 503.
class HttpFront
{
public:
    using Handler = std::function<HttpReply(const HttpRequest &request)>;
    // Called with one or more lines, newline between them, none after the last.
    using Log = std::function<void(const std::string &lines)>;
    // Called once: with true on an event loop, or with false when dropped at stop().
    using Job = JobQueue::Job;

    // throttleBytesPerSecond > 0 paces every file body at that rate, without a thread.
    HttpFront(HttpLimits limits, uint64_t throttleBytesPerSecond, Handler handler, Log log);
    ~HttpFront();
    HttpFront(const HttpFront &) = delete;
    HttpFront &operator=(const HttpFront &) = delete;

    // Listens on host:port (port 0 picks a free port). False with *error on failure.
    bool bind(const std::string &host, int port, std::string *error);
    int port() const { return m_port; }

    // Starts the event loops; false with *error when they cannot start.
    bool start(std::string *error);
    // Stops serving and closes every connection; jobs still waiting are dropped. Idempotent.
    void stop();

    // Queues a job for the event loops. Each loop runs one job after each round of I/O, so at
    // most one job per loop runs at once and a loop's connections wait for one job at most.
    // Jobs are taken in order by whichever loop is free first, most often the one that posted
    // them. False (the job is not called) when limits.jobQueue jobs wait already or the front
    // is stopping.
    bool post(Job job);

private:
    friend struct HttpFrontCallbacks;
    friend class HttpPending;
    friend class HttpRequest;
    struct Connection;
    struct Exchange;
    struct Loop;
    struct PacedBody;

    // For HttpRequest::defer() and HttpPending::reply(), whose exchange is an Exchange.
    void defer(MHD_Connection *connection, void *exchange);
    void complete(MHD_Connection *connection, void *exchange, HttpReply reply);
    void check(MHD_Connection *connection, Exchange &exchange);
    void answer(MHD_Connection *connection, Exchange &exchange);
    // Whether the request is a POST whose body the front reads for the handler.
    bool formBodyFits(MHD_Connection *connection, const char *method) const;
    void send(MHD_Connection *connection, Exchange &exchange, HttpReply &reply, bool closeAfter);
    MHD_Response *makeResponse(MHD_Connection *connection, HttpReply &reply, bool closeAfter);
    void resumeLater(MHD_Connection *connection, std::chrono::steady_clock::time_point when);
    void suspend(MHD_Connection *connection, Exchange &exchange);
    void complete(MHD_Connection *connection, Exchange &exchange, HttpReply reply);
    // Resumes a suspended connection from any thread and wakes its loop to serve it.
    void resume(MHD_Connection *connection);
    void wake(Loop &loop);
    // The loop whose daemon serves the connection, or null.
    Loop *loopOf(MHD_Connection *connection) const;
    void logLine(MHD_Connection *connection, const std::string &line);
    void flushLog(Loop &loop);
    void runTimers();
    void runLoop(Loop &loop);
    bool startLoop(Loop &loop, int listenFd, unsigned connectionLimit);

    const HttpLimits m_limits;
    const uint64_t m_throttle;
    const Handler m_handler;
    const Log m_log;
    int m_listenFd = -1;
    int m_port = 0;
    // One libmicrohttpd daemon per loop, each on its own copy of the listening socket.
    std::vector<std::unique_ptr<Loop>> m_loops;

    // Shared by the event loops and the timer thread, which closes connections whose header
    // is overdue and resumes paced bodies that were suspended until their next piece is due.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::unordered_set<Connection *> m_connections;
    unsigned m_open = 0;                                 // connections not refused
    std::unordered_map<std::string, unsigned> m_clients; // open connections by address
    std::unordered_set<MHD_Connection *> m_waiting;      // for a deferred reply
    JobQueue m_jobs;
    std::vector<Loop *> m_sleeping; // loops waiting for the network, a job or stop()

    std::vector<std::pair<std::chrono::steady_clock::time_point, MHD_Connection *>> m_resumes;
    std::thread m_timers;
};

} // namespace catalog
