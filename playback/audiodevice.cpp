#include "audiodevice.h"

#include "outputstream.h"

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>

namespace audio {

// Stop events wait here for the notifier thread, so that callbacks never run on the audio
// thread, inside the audio lock. Shared with the thread, which may outlive the device when the
// device is released from within a callback.
struct AudioDevice::Notifier
{
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::pair<StopReason, uint64_t>> events;
    std::vector<std::shared_ptr<StopCallback>> callbacks;
    bool quit = false;

    void run()
    {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            wake.wait(guard, [this] { return quit || !events.empty(); });
            if (quit)
                return;
            const auto [reason, stream] = events.front();
            events.pop_front();
            const auto receivers = callbacks;
            guard.unlock();
            for (const auto &receiver : receivers)
                receiver->streamStopped(reason, stream);
            guard.lock();
        }
    }
};

namespace {

// SDL's audio subsystem and its device table are process-wide and not safe to open and close
// from two threads at once; a device released inside a stop callback closes on the notifier
// thread.
std::mutex &sdlAudioLock()
{
    static std::mutex lock;
    return lock;
}

} // namespace

AudioDevice::AudioDevice()
    : m_notifier(std::make_shared<Notifier>())
{}

std::shared_ptr<AudioDevice> AudioDevice::open()
{
    std::unique_lock<std::mutex> sdlGuard(sdlAudioLock());
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHintWithPriority(SDL_HINT_AUDIO_DEVICE_APP_NAME, "Larkspin", SDL_HINT_DEFAULT);
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
        return nullptr;
    std::shared_ptr<AudioDevice> device(new AudioDevice);
    device->m_initialised = true;
    SDL_AudioSpec wanted{};
    wanted.freq = sampleRate;
    wanted.format = AUDIO_S16SYS;
    wanted.channels = channelCount;
    wanted.samples = 2048;
    wanted.callback = &AudioDevice::fill;
    wanted.userdata = device.get();
    SDL_AudioSpec obtained{};
    device->m_id = SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0);
    if (device->m_id == 0) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        device->m_initialised = false;
        sdlGuard.unlock(); // the destructor takes it
        return nullptr;
    }
    // Allocated before the device starts, so that it never changes while the callback runs.
    device->m_mixBuffer.resize(size_t(std::max<int>(obtained.samples, 256)) * channelCount);
    device->m_notifierThread = std::thread(&Notifier::run, device->m_notifier);
    return device;
}

AudioDevice::~AudioDevice()
{
    {
        // Closing waits for a running audio callback; no stop event is posted after that.
        std::lock_guard<std::mutex> sdlGuard(sdlAudioLock());
        if (m_id != 0)
            SDL_CloseAudioDevice(m_id);
        if (m_initialised)
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
    {
        std::lock_guard<std::mutex> guard(m_notifier->lock);
        m_notifier->quit = true;
        m_notifier->events.clear();
        m_notifier->callbacks.clear();
    }
    m_notifier->wake.notify_all();
    if (m_notifierThread.joinable()) {
        if (m_notifierThread.get_id() == std::this_thread::get_id())
            m_notifierThread.detach();
        else
            m_notifierThread.join();
    }
}

void AudioDevice::registerCallback(std::shared_ptr<StopCallback> callback)
{
    if (!callback)
        return;
    std::lock_guard<std::mutex> guard(m_notifier->lock);
    auto &callbacks = m_notifier->callbacks;
    if (std::find(callbacks.begin(), callbacks.end(), callback) == callbacks.end())
        callbacks.push_back(std::move(callback));
}

void AudioDevice::unregisterCallback(const std::shared_ptr<StopCallback> &callback)
{
    std::lock_guard<std::mutex> guard(m_notifier->lock);
    auto &callbacks = m_notifier->callbacks;
    callbacks.erase(std::remove(callbacks.begin(), callbacks.end(), callback), callbacks.end());
}

void AudioDevice::fill(void *device, uint8_t *stream, int bytes)
{
    auto *self = static_cast<AudioDevice *>(device);
    const auto start = std::chrono::steady_clock::now();
    self->mix(reinterpret_cast<int16_t *>(stream), bytes / int(channelCount * sizeof(int16_t)));
    const auto took = uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count());
    const uint64_t bucket = std::min<uint64_t>(took / (bucketMicroseconds * 1000), bucketCount);
    self->m_callbackBuckets[bucket].fetch_add(1, std::memory_order_relaxed);
    if (took > self->m_longestCallback.load(std::memory_order_relaxed))
        self->m_longestCallback.store(took, std::memory_order_relaxed);
}

AudioDevice::CallbackTimes AudioDevice::callbackTimes() const
{
    CallbackTimes times;
    for (int i = 0; i <= bucketCount; ++i) {
        times.buckets[size_t(i)] = m_callbackBuckets[size_t(i)].load(std::memory_order_relaxed);
        times.count += times.buckets[size_t(i)];
    }
    times.longestNanoseconds = m_longestCallback.load(std::memory_order_relaxed);
    return times;
}

double AudioDevice::CallbackTimes::quantileMicroseconds(double share) const
{
    const auto wanted = uint64_t(std::ceil(share * double(count)));
    uint64_t seen = 0;
    for (int i = 0; i <= bucketCount; ++i) {
        seen += buckets[size_t(i)];
        if (seen >= wanted)
            return i == bucketCount ? double(longestNanoseconds) / 1000
                                    : double((i + 1) * bucketMicroseconds);
    }
    return double(longestNanoseconds) / 1000;
}

void AudioDevice::mix(int16_t *out, int frames)
{
    while (frames > 0) {
        const int block = std::min(frames, blockFrames());
        const int samples = block * channelCount;
        std::fill_n(m_mixBuffer.begin(), samples, 0);
        for (OutputStream *stream : m_streams)
            stream->mixInto(m_mixBuffer.data(), block);
        for (int i = 0; i < samples; ++i)
            out[i] = int16_t(std::clamp<int32_t>(m_mixBuffer[size_t(i)], -32768, 32767));
        out += samples;
        frames -= block;
    }
}

void AudioDevice::attach(OutputStream *stream)
{
    lock();
    m_streams.push_back(stream);
    unlock();
}

void AudioDevice::detach(OutputStream *stream)
{
    lock();
    m_streams.erase(std::remove(m_streams.begin(), m_streams.end(), stream), m_streams.end());
    unlock();
}

void AudioDevice::lock()
{
    SDL_LockAudioDevice(m_id);
}

void AudioDevice::unlock()
{
    SDL_UnlockAudioDevice(m_id);
}

void AudioDevice::updateRunning()
{
    // The audio thread must not pause its own device, so a sound that ends there leaves it
    // running until the next call from another thread.
    std::lock_guard<std::mutex> guard(m_runLock);
    lock();
    const bool wanted = std::any_of(m_streams.begin(), m_streams.end(), [](OutputStream *stream) {
        return stream->m_playing && !stream->m_paused;
    });
    unlock();
    if (wanted == m_running)
        return;
    SDL_PauseAudioDevice(m_id, wanted ? 0 : 1);
    m_running = wanted;
}

void AudioDevice::post(StopReason reason, uint64_t stream)
{
    {
        std::lock_guard<std::mutex> guard(m_notifier->lock);
        m_notifier->events.emplace_back(reason, stream);
    }
    m_notifier->wake.notify_one();
}

} // namespace audio
