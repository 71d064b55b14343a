#pragma once

#include <cstddef>
#include <deque>
#include <functional>

namespace catalog {

// The queue in front of whatever runs posted work (the HTTP front's event loops, the
// crawler's parser thread): it refuses a job once capacity jobs wait, so a burst is refused
// at once instead of waiting without bound, and it hands back what still waits when it
// closes, for the owner to drop. It has no lock of its own: its owner guards it with the lock
// that guards the rest of its state, so that taking a job and deciding to sleep are one step.
class JobQueue
{
public:
    // A job is called once: with true where it runs, or with false when it is dropped.
    using Job = std::function<void(bool run)>;

    explicit JobQueue(size_t capacity)
        : m_capacity(capacity)
    {}

    // False (and the job is not kept) when the queue is full or closed.
    bool push(Job job);
    // The oldest job; empty when none waits.
    Job take();
    bool empty() const { return m_jobs.empty(); }
    size_t size() const { return m_jobs.size(); }

    // Refuses every later push; returns the jobs that waited, for drop().
    std::deque<Job> close();
    bool closed() const { return m_closed; }
    // Calls each job with false. Call it without the owner's lock: a job may answer a client.
    static void drop(std::deque<Job> &jobs);

private:
    const size_t m_capacity;
    std::deque<Job> m_jobs;
    bool m_closed = false;
};

} // namespace catalog
