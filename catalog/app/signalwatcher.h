#pragma once

#include <atomic>
#include <csignal>
#include <functional>
#include <thread>

namespace catalog {

// Takes SIGINT, SIGTERM and SIGHUP on a thread of its own with sigwait(), so that no other
// thread is ever interrupted by them. Make it before any other thread starts: the threads
// made after it inherit the blocked mask. Owns its thread; finish() joins it.
class SignalWatcher
{
public:
    // Blocks the signals in the calling thread and ignores SIGPIPE (a peer that goes away
    // mid-transfer is an error on that connection only).
    SignalWatcher();
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher &) = delete;
    SignalWatcher &operator=(const SignalWatcher &) = delete;

    // Starts the thread: hangup is called on SIGHUP, stop on SIGINT or SIGTERM, and again
    // every 50 ms until finish(), since stop may reach a server that has not started yet.
    void start(std::function<void()> hangup, std::function<void()> stop);
    // Whether SIGINT or SIGTERM came.
    bool stopping() const { return m_stopping; }
    // Ends the thread: the caller no longer needs stop to be called.
    void finish();

private:
    sigset_t m_signals{};
    std::function<void()> m_hangup;
    std::function<void()> m_stop;
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_finished{false};
    std::thread m_thread;
};

} // namespace catalog
