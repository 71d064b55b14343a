#include "stoprecorder.h"

void StopRecorder::streamStopped(audio::StopReason reason, uint64_t stream)
{
    std::function<void(audio::StopReason)> hook;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ++(reason == audio::StopReason::STOP_CALLED ? m_stopsCalled : m_streamsEnded);
        m_threads.insert(std::this_thread::get_id());
        m_streams.push_back(stream);
        hook = m_hook;
    }
    m_changed.notify_all();
    if (hook)
        hook(reason);
}

int StopRecorder::stopsCalled() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_stopsCalled;
}

std::vector<uint64_t> StopRecorder::streams() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_streams;
}

int StopRecorder::streamsEnded() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_streamsEnded;
}

std::set<std::thread::id> StopRecorder::threads() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_threads;
}

bool StopRecorder::waitForStopsCalled(int n, std::chrono::milliseconds timeout)
{
    return waitFor(m_stopsCalled, n, timeout);
}

bool StopRecorder::waitForStreamsEnded(int n, std::chrono::milliseconds timeout)
{
    return waitFor(m_streamsEnded, n, timeout);
}

void StopRecorder::setHook(std::function<void(audio::StopReason)> hook)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_hook = std::move(hook);
}

bool StopRecorder::waitFor(const int &count, int n, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(m_lock);
    return m_changed.wait_for(guard, timeout, [&] { return count >= n; });
}
