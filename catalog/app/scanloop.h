#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace catalog {

// The thread that rescans the folders when asked (SIGHUP), one scan at a time, until
// stopped. Owns its thread; rescan() and stop() are safe from any thread.
class ScanLoop
{
public:
    // scan is called on the loop's thread for each request.
    explicit ScanLoop(std::function<void()> scan);
    ~ScanLoop();
    ScanLoop(const ScanLoop &) = delete;
    ScanLoop &operator=(const ScanLoop &) = delete;

    void rescan();
    // Waits for a scan under way to end (the scan itself watches the service's stopping
    // flag) and joins the thread. Idempotent.
    void stop();

private:
    void run();

    const std::function<void()> m_scan;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_requested = false;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace catalog
