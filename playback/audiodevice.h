#pragma once

#include "audiostopcallback.h"

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
// running stop callback to return.
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
    void start();
    void post(StopReason reason);
    int blockFrames() const { return int(m_mixBuffer.size()) / channelCount; }

    bool m_initialised = false;
    uint32_t m_id = 0;
    std::once_flag m_started;
    std::vector<OutputStream *> m_streams; // guarded by the audio lock
    std::vector<int32_t> m_mixBuffer;      // audio thread only
    std::shared_ptr<Notifier> m_notifier;
    std::thread m_notifierThread;
};

} // namespace audio
