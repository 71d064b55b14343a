#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct _SDL_AudioStream;

namespace audio {

class AudioDevice;
class SampleSource;

// A sound: a SampleSource played on an AudioDevice. A decoder thread of its own reads and
// decodes the file into a ring of frames ahead of the device; the audio callback only copies
// from that ring. Data appended to the file after a STREAM_ENDED stop is heard on the next
// play(), from exactly where the sound stopped.
//
// play(), stop(), pause(), resume(), setVolume() may be called from any thread, including a
// stop callback; seek() from any thread but a stop callback. The sound keeps its device and its
// source alive; releasing it ends its decoder thread.
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

    // Holds a playing sound where it is: the device gets silence, no frame is taken from the
    // ring, no stop is reported and no underrun counted, and the decoder sleeps once the ring is
    // full. resume() and play() go on from the same frame; stop() ends the pause too.
    void pause();
    void resume();
    bool isPaused() const { return m_paused; }

    // Where the sound is in its track, in frames at AudioDevice::sampleRate: the frames handed to
    // the device since the start or the last seek, from where that seek landed.
    int64_t position() const { return m_position; }
    // Moves to `frame` (AudioDevice::sampleRate) and returns the frame it landed on, within one
    // MP3 frame of it; a file still being written is sought only within what it holds. Playing,
    // paused or stopped stays so. Waits for the decoder thread, which does the seek; -1 when the
    // source cannot seek (no frame in it yet, not an MP3), and then nothing changed.
    int64_t seek(int64_t frame);

    // 0.0 to 1.0; other values are clamped.
    void setVolume(float volume);
    float getVolume() const { return m_volume; }

    // Tells the sounds of a device apart in stop events; never 0.
    uint64_t id() const { return m_id; }

    // Frames handed to the device so far, at AudioDevice::sampleRate.
    uint64_t framesPlayed() const { return m_framesPlayed; }
    // Device buffers that got silence in part because decoding lagged behind while the file
    // held the data (not counting the end of the data, which stops the sound).
    uint64_t underruns() const { return m_underruns; }

private:
    friend class AudioDevice;

    OutputStream(std::shared_ptr<AudioDevice> device, std::shared_ptr<SampleSource> source);
    void mixInto(int32_t *mix, int frames);
    void decodeLoop();
    int render(int16_t *out, int frames);
    void drainConverter();
    void wake();
    int64_t seekSource(int64_t frame);

    std::shared_ptr<AudioDevice> m_device;
    std::shared_ptr<SampleSource> m_source;
    const uint64_t m_id;

    // Single producer (the decoder thread), single consumer (the audio callback). The counts
    // only grow; a frame is at index count % ring size.
    std::vector<int16_t> m_ring;
    std::atomic<uint64_t> m_written{0};
    std::atomic<uint64_t> m_read{0};
    // play() counts its calls; the decoder notes the count it had seen when the file last had
    // nothing more. Only a ring that is empty with both equal is the end of the data: data
    // written before a play() is always decoded before the sound may end.
    std::atomic<uint64_t> m_playCount{0};
    std::atomic<uint64_t> m_dryAt{~uint64_t(0)};
    // Set by the callback, posted by the decoder thread: the callback never takes a lock.
    std::atomic<bool> m_endPending{false};

    // Decoder thread only:
    _SDL_AudioStream *m_converter = nullptr;
    int m_converterRate = 0;
    int64_t m_convertedIn = 0;  // frames at m_converterRate
    int64_t m_convertedOut = 0; // frames at the device's rate
    std::vector<int16_t> m_tail;
    size_t m_tailAt = 0;
    std::vector<int16_t> m_decoded;
    std::vector<int16_t> m_chunk;
    std::vector<int16_t> m_silence;

    std::mutex m_wakeLock;
    std::condition_variable m_wakeUp;
    bool m_quit = false; // guarded by m_wakeLock
    // Seeks asked for and done, the latest target and where the last one landed; guarded by
    // m_wakeLock. The callback plays nothing while one is pending.
    uint64_t m_seeksAsked = 0;
    uint64_t m_seeksDone = 0;
    int64_t m_seekTarget = 0;
    int64_t m_seekLanded = -1;
    std::condition_variable m_seekDone;
    std::atomic<bool> m_seekPending{false};
    std::thread m_decoder;

    std::atomic<bool> m_playing{false};
    std::atomic<bool> m_paused{false};
    std::atomic<int64_t> m_position{0};
    std::atomic<float> m_volume{1.0f};
    std::atomic<uint64_t> m_framesPlayed{0};
    std::atomic<uint64_t> m_underruns{0};
};

} // namespace audio
