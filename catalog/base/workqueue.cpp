#include "workqueue.h"

namespace catalog {

WorkQueue::WorkQueue(unsigned threads, size_t capacity)
    : m_capacity(capacity)
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
        if (m_stopping || m_jobs.size() >= m_capacity)
            return false;
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_one();
    return true;
}

void WorkQueue::stop()
{
    std::deque<Job> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        dropped.swap(m_jobs);
    }
    m_wake.notify_all();
    for (auto &thread : m_threads) {
        if (thread.joinable())
            thread.join();
    }
    for (auto &job : dropped)
        job(false);
}

void WorkQueue::work()
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_stopping)
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job(true);
    }
}

} // namespace catalog
