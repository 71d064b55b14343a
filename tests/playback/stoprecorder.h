#pragma once

#include "audiostopcallback.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

// Counts the stop events it receives and lets the test wait for them.
class StopRecorder : public audio::StopCallback
{
public:
    void streamStopped(audio::StopReason reason, uint64_t stream) override;

    int stopsCalled() const;
    int streamsEnded() const;
    std::set<std::thread::id> threads() const;
    // The ids of the sounds the events were for, in their order.
    std::vector<uint64_t> streams() const;

    // True when the count has reached n within the time.
    bool waitForStopsCalled(int n, std::chrono::milliseconds timeout);
    bool waitForStreamsEnded(int n, std::chrono::milliseconds timeout);

    // Runs on the notifier thread after each event is counted.
    void setHook(std::function<void(audio::StopReason)> hook);

private:
    bool waitFor(const int &count, int n, std::chrono::milliseconds timeout);

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    int m_stopsCalled = 0;
    int m_streamsEnded = 0;
    std::set<std::thread::id> m_threads;
    std::vector<uint64_t> m_streams;
    std::function<void(audio::StopReason)> m_hook;
};
