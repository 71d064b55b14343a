#include "jobqueue.h"

namespace catalog {

bool JobQueue::push(Job job)
{
    if (m_closed || m_jobs.size() >= m_capacity)
        return false;
    m_jobs.push_back(std::move(job));
    return true;
}

JobQueue::Job JobQueue::take()
{
    if (m_jobs.empty())
        return {};
    Job job = std::move(m_jobs.front());
    m_jobs.pop_front();
    return job;
}

std::deque<JobQueue::Job> JobQueue::close()
{
    m_closed = true;
    std::deque<Job> waiting;
    waiting.swap(m_jobs);
    return waiting;
}

void JobQueue::drop(std::deque<Job> &jobs)
{
    for (auto &job : jobs)
        job(false);
    jobs.clear();
}

} // namespace catalog
