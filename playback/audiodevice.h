#pragma once

#include "audiostopcallback.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace audio {

class OutputStream;

// The default audio output, opened as 16-bit stereo at 44100 Hz (the system mixer converts if
// the hardware wants something else). It mixes the sounds opened on it and reports their stops
// to the registered callbacks on a notifier thread of its own.
//
// Every sound keeps its device alive, so handles may be released in any order and on any
// thread, a stop callback included. Releasing the last one closes the device and waits for a
// running stop callback to return. The device is held (SDL calls no mixer) while none of its
// sounds plays unpaused, from the pause, stop or release of the last one that did; a sound that
// ends by itself leaves it running, giving silence, until the next such call.
class AudioDevice
{
public:
    static constexpr int sampleRate = 44100;
    static constexpr int channelCount = 2;

    // nullptr when no audio output can be opened (no driver, no device).
    static std::shared_ptr<AudioDevice> open();

    ~AudioDevice();
    AudioDevice(const AudioDevice &) = delete;
    AudioDevice &operator=(const AudioDevice &) = delete;

    // The device keeps the callback until it goes or unregisterCallback(). Registering the same
    // callback twice has no effect. A callback must not own a sound of this device: that would
    // keep both alive for ever.
    void registerCallback(std::shared_ptr<StopCallback> callback);
    void unregisterCallback(const std::shared_ptr<StopCallback> &callback);

    // How long the audio callbacks of this device took, for measurements: a count per
    // bucketMicroseconds-wide bucket, the last bucket for everything longer, and the longest.
    static constexpr int bucketMicroseconds = 5;
    static constexpr int bucketCount = 400;
    struct CallbackTimes
    {
        std::array<uint64_t, bucketCount + 1> buckets{};
        uint64_t count = 0;
        uint64_t longestNanoseconds = 0;
        // Upper bound, in microseconds, of the time that share (0 to 1) of the callbacks kept to.
        double quantileMicroseconds(double share) const;
    };
    CallbackTimes callbackTimes() const;

private:
    friend class OutputStream;
    struct Notifier;

    AudioDevice();

    static void fill(void *device, uint8_t *stream, int bytes);
    void mix(int16_t *out, int frames);

    void attach(OutputStream *stream);
    void detach(OutputStream *stream);
    void lock();
    void unlock();
    // Runs the device while one of its sounds plays unpaused and holds it otherwise, so that
    // SDL's thread stops calling the mixer while a pause lasts. Any thread but the audio thread.
    void updateRunning();
    void post(StopReason reason, uint64_t stream);
    uint64_t newStreamId() { return ++m_lastStreamId; }
    int blockFrames() const { return int(m_mixBuffer.size()) / channelCount; }

    bool m_initialised = false;
    uint32_t m_id = 0;
    std::mutex m_runLock;   // orders updateRunning()'s decisions and SDL's pause calls
    bool m_running = false; // guarded by m_runLock; SDL opens the device held
    std::vector<OutputStream *> m_streams; // guarded by the audio lock
    std::vector<int32_t> m_mixBuffer;      // audio thread only
    std::array<std::atomic<uint64_t>, bucketCount + 1> m_callbackBuckets{};
    std::atomic<uint64_t> m_longestCallback{0};
    std::atomic<uint64_t> m_lastStreamId{0};
    std::shared_ptr<Notifier> m_notifier;
    std::thread m_notifierThread;
};

} // namespace audio
