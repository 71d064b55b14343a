#include "workqueue.h"

namespace catalog {

WorkQueue::WorkQueue(unsigned threads, size_t capacity)
    : m_jobs(capacity)
{
    for (unsigned i = 0; i < threads; ++i)
        m_threads.emplace_back([this] { work(); });
}

WorkQueue::~WorkQueue()
{
    stop();
}

bool WorkQueue::submit(Job job)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_jobs.push(std::move(job)))
            return false;
    }
    m_wake.notify_one();
    return true;
}

void WorkQueue::stop()
{
    std::deque<Job> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        dropped = m_jobs.close();
    }
    m_wake.notify_all();
    for (auto &thread : m_threads) {
        if (thread.joinable())
            thread.join();
    }
    JobQueue::drop(dropped);
}

void WorkQueue::work()
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_jobs.closed() || !m_jobs.empty(); });
            if (m_jobs.closed())
                return;
            job = m_jobs.take();
        }
        job(true);
    }
}

} // namespace catalog
