#pragma once

#include "jobqueue.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace catalog {

// A fixed set of worker threads behind a JobQueue: the crawler parses pages on one beside its
// transfer thread. Work that finds the queue full is refused at once, and the caller does it
// itself. The queue owns its threads; submit() and stop() are safe from any thread.
class WorkQueue
{
public:
    // Called once: with true on a worker thread, or with false when dropped at stop(), on the
    // thread that calls stop().
    using Job = JobQueue::Job;

    WorkQueue(unsigned threads, size_t capacity);
    ~WorkQueue();
    WorkQueue(const WorkQueue &) = delete;
    WorkQueue &operator=(const WorkQueue &) = delete;

    // False (and the job is not called) when the queue is full or stopped.
    bool submit(Job job);
    // Finishes the running jobs, drops the waiting ones and joins the threads. Idempotent.
    void stop();

private:
    void work();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    JobQueue m_jobs;
    std::vector<std::thread> m_threads;
};

} // namespace catalog
