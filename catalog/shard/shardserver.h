#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>

namespace catalog {

// Serves a node's full-text index to fronts over Xapian's remote protocol: runs Debian's
// xapian-tcpsrv on it (read-only; it opens the newest revision for every connection, and the
// node goes on indexing), and starts it again should it exit. The child dies with the service
// (PR_SET_PDEATHSIG), and stop() ends it. It owns the child and a thread that waits for it.
class ShardServer
{
public:
    using Log = std::function<void(const std::string &line)>;

    // address: "host:port"; index: the full-text index's folder.
    ShardServer(std::string address, std::string index, Log log);
    ~ShardServer();
    ShardServer(const ShardServer &) = delete;
    ShardServer &operator=(const ShardServer &) = delete;

    // Starts the server and waits until it accepts connections; false with *error when the
    // address is bad, the program is missing or it cannot listen there.
    bool start(std::string *error);
    void stop();

private:
    pid_t spawn(std::string *error);
    // Whether the server accepts a connection within the time given.
    bool accepts(int milliseconds) const;
    void watch();

    const std::string m_address;
    const std::string m_index;
    const Log m_log;
    std::string m_host;
    int m_port = 0;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    pid_t m_child = -1;
    std::thread m_watcher;
};

} // namespace catalog
