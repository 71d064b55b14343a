#include "shardserver.h"

#include <xapian.h>

#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace catalog {

namespace {

const char *const program = "xapian-tcpsrv";

} // namespace

ShardServer::ShardServer(std::string address, std::string index, Log log)
    : m_address(std::move(address))
    , m_index(std::move(index))
    , m_log(std::move(log))
{}

ShardServer::~ShardServer()
{
    stop();
}

bool ShardServer::start(std::string *error)
{
    const size_t colon = m_address.rfind(':');
    const char *end = m_address.data() + m_address.size();
    if (colon == std::string::npos || colon == 0
        || std::from_chars(m_address.data() + colon + 1, end, m_port).ptr != end || m_port <= 0
        || m_port > 65535) {
        *error = "bad --serve-shard address \"" + m_address + "\" (expected HOST:PORT)";
        return false;
    }
    m_host = m_address.substr(0, colon);
    if (m_host.size() > 2 && m_host.front() == '[' && m_host.back() == ']')
        m_host = m_host.substr(1, m_host.size() - 2);
    const pid_t child = spawn(error);
    if (child < 0)
        return false;
    // It binds after it has started; a port taken ends it at once.
    for (int waited = 0; waited < 5000; waited += 50) {
        if (::waitpid(child, nullptr, WNOHANG) == child) {
            *error = std::string(program) + " could not serve " + m_index + " on " + m_address
                     + " (is the port taken?)";
            return false;
        }
        if (accepts(50)) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_child = child;
            m_watcher = std::thread([this] { watch(); });
            return true;
        }
        ::usleep(50000);
    }
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
    *error = std::string(program) + " did not listen on " + m_address;
    return false;
}

pid_t ShardServer::spawn(std::string *error)
{
    const std::string port = std::to_string(m_port);
    std::vector<std::string> arguments
        = {program, "--quiet", "--interface", m_host, "--port", port, m_index};
    std::vector<char *> argv;
    for (auto &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        *error = std::string("cannot start ") + program + ": " + std::strerror(errno);
        return -1;
    }
    // The server forks a process for every connection, and those outlive it. So a keeper
    // process leads a process group of its own with the server in it, and ends the whole group
    // when the service ends (however it ends: PR_SET_PDEATHSIG), when asked to, or when the
    // server ends. Only async-signal-safe calls happen between fork and exec.
    const pid_t parent = ::getpid();
    const pid_t keeper = ::fork();
    if (keeper == 0) {
        ::setpgid(0, 0);
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGCHLD);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGHUP);
        ::sigprocmask(SIG_BLOCK, &signals, nullptr);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(1);
        const pid_t server = ::fork();
        if (server == 0) {
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execvp(program, argv.data());
            const int failure = errno;
            [[maybe_unused]] const ssize_t written = ::write(ready[1], &failure, sizeof failure);
            ::_exit(127);
        }
        ::close(ready[1]);
        int signal = 0;
        ::sigwait(&signals, &signal);
        ::kill(-::getpid(), SIGKILL);
        ::_exit(0);
    }
    ::close(ready[1]);
    int failure = 0;
    const bool execFailed
        = keeper > 0 && ::read(ready[0], &failure, sizeof failure) == ssize_t(sizeof failure);
    ::close(ready[0]);
    if (keeper < 0 || execFailed) {
        if (keeper > 0)
            ::waitpid(keeper, nullptr, 0);
        *error = std::string("cannot start ") + program
                 + " (Debian package xapian-tools): " + std::strerror(keeper < 0 ? errno : failure);
        return -1;
    }
    return keeper;
}

bool ShardServer::accepts(int milliseconds) const
{
    // A whole exchange of the remote protocol: a bare connect and close makes the server log a
    // broken pipe.
    try {
        Xapian::Remote::open(m_host, unsigned(m_port), unsigned(milliseconds),
                             unsigned(milliseconds));
        return true;
    } catch (const Xapian::Error &) {
        return false;
    }
}

void ShardServer::watch()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        const pid_t child = m_child;
        lock.unlock();
        int status = 0;
        const pid_t ended = ::waitpid(child, &status, 0);
        lock.lock();
        if (m_stopping)
            break;
        if (ended == child)
            m_log(std::string(program) + " on " + m_address + " ended; starting it again");
        m_wake.wait_for(lock, std::chrono::seconds(1), [this] { return m_stopping; });
        if (m_stopping)
            break;
        std::string error;
        m_child = spawn(&error);
        if (m_child < 0) {
            m_log(error);
            m_wake.wait_for(lock, std::chrono::seconds(10), [this] { return m_stopping; });
            if (m_stopping)
                break;
            m_child = spawn(&error);
            if (m_child < 0)
                break;
        }
    }
}

void ShardServer::stop()
{
    pid_t child = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            return;
        m_stopping = true;
        child = m_child;
    }
    m_wake.notify_all();
    // The watcher reaps the child once it ends.
    if (child > 0)
        ::kill(child, SIGTERM);
    if (m_watcher.joinable())
        m_watcher.join();
}

} // namespace catalog
