#include "signalwatcher.h"

#include <chrono>
#include <pthread.h>

namespace catalog {

SignalWatcher::SignalWatcher()
{
    sigemptyset(&m_signals);
    sigaddset(&m_signals, SIGINT);
    sigaddset(&m_signals, SIGTERM);
    sigaddset(&m_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

SignalWatcher::~SignalWatcher()
{
    finish();
}

void SignalWatcher::start(std::function<void()> hangup, std::function<void()> stop)
{
    m_hangup = std::move(hangup);
    m_stop = std::move(stop);
    m_thread = std::thread([this] {
        for (;;) {
            int received = 0;
            if (sigwait(&m_signals, &received) != 0)
                continue;
            if (received == SIGHUP) {
                m_hangup();
                continue;
            }
            m_stopping = true;
            while (!m_finished) {
                m_stop();
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            return;
        }
    });
}

void SignalWatcher::finish()
{
    if (!m_thread.joinable())
        return;
    m_finished = true;
    if (!m_stopping)
        pthread_kill(m_thread.native_handle(), SIGTERM);
    m_thread.join();
}

} // namespace catalog
