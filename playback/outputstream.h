#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

struct _SDL_AudioStream;

namespace audio {

class AudioDevice;
class SampleSource;

// A sound: a SampleSource played on an AudioDevice. It decodes from the file while it plays, so
// data appended to the file after a STREAM_ENDED stop is heard on the next play().
//
// play(), stop(), setVolume() may be called from any thread, including a stop callback. The
// sound keeps its device and its source alive.
class OutputStream
{
public:
    // nullptr when device or source is null, or the source already belongs to another sound.
    // The sound is always decoded while it plays; streaming = false is taken as true.
    static std::shared_ptr<OutputStream> open(std::shared_ptr<AudioDevice> device,
                                              std::shared_ptr<SampleSource> source, bool streaming);

    ~OutputStream();
    OutputStream(const OutputStream &) = delete;
    OutputStream &operator=(const OutputStream &) = delete;

    // Starts, or goes on from where the sound stopped. No effect while it plays.
    void play();
    // Stops (keeping the position); reported as STOP_CALLED if the sound was playing.
    void stop();
    bool isPlaying() const { return m_playing; }

    // 0.0 to 1.0; other values are clamped.
    void setVolume(float volume);
    float getVolume() const { return m_volume; }

    // Frames handed to the device so far, at AudioDevice::sampleRate.
    uint64_t framesPlayed() const { return m_framesPlayed; }

private:
    friend class AudioDevice;

    OutputStream(std::shared_ptr<AudioDevice> device, std::shared_ptr<SampleSource> source);
    void mixInto(int32_t *mix, int frames);
    int render(int16_t *out, int frames);
    void drainConverter();

    std::shared_ptr<AudioDevice> m_device;
    std::shared_ptr<SampleSource> m_source;
    // Audio thread only:
    _SDL_AudioStream *m_converter = nullptr;
    int m_converterRate = 0;
    int64_t m_convertedIn = 0;  // frames at m_converterRate
    int64_t m_convertedOut = 0; // frames at the device's rate
    std::vector<int16_t> m_tail;
    size_t m_tailAt = 0;
    std::vector<int16_t> m_decoded;
    std::vector<int16_t> m_rendered;
    std::vector<int16_t> m_silence;

    std::atomic<bool> m_playing{false};
    std::atomic<float> m_volume{1.0f};
    std::atomic<uint64_t> m_framesPlayed{0};
};

} // namespace audio
