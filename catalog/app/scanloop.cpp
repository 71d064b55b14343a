#include "scanloop.h"

namespace catalog {

ScanLoop::ScanLoop(std::function<void()> scan)
    : m_scan(std::move(scan))
    , m_thread([this] { run(); })
{}

ScanLoop::~ScanLoop()
{
    stop();
}

void ScanLoop::rescan()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requested = true;
    m_wake.notify_all();
}

void ScanLoop::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_wake.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
}

void ScanLoop::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_requested || m_stopping; });
        if (m_stopping)
            return;
        m_requested = false;
        lock.unlock();
        m_scan();
        lock.lock();
    }
}

} // namespace catalog
