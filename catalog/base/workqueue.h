#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace catalog {

// A fixed set of threads and a short queue in front of them: work that finds the queue full
// is refused at once, so a burst is answered "busy" instead of waiting without bound.
class WorkQueue
{
public:
    // A job is called once: with true on a worker thread, or with false when it is dropped
    // at stop(), on the thread that calls stop().
    using Job = std::function<void(bool run)>;

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

    const size_t m_capacity;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

} // namespace catalog
