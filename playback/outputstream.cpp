#include "outputstream.h"

#include "audiodevice.h"
#include "samplesource.h"

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace audio {

namespace {
constexpr int decodeFrames = 4096;
constexpr int frameBytes = AudioDevice::channelCount * int(sizeof(int16_t));
// About 0.74 s: enough to ride out a slow disk or a busy processor, little to throw away.
constexpr uint64_t ringFrames = 32768;
constexpr int chunkFrames = 2048;
// How often an idle decoder looks at the file again, and at a stop to report, while the sound
// plays; a stopped sound is woken by play(), and looks now and then only for a late stop.
constexpr std::chrono::milliseconds idleWait(10);
constexpr std::chrono::milliseconds stoppedWait(250);
constexpr uint64_t notDry = ~uint64_t(0);
} // namespace

std::shared_ptr<OutputStream> OutputStream::open(std::shared_ptr<AudioDevice> device,
                                                 std::shared_ptr<SampleSource> source,
                                                 bool streaming)
{
    // A sound held in memory would not see the file grow; decoding while playing serves both.
    (void)streaming;
    if (!device || !source || !source->claim())
        return nullptr;
    std::shared_ptr<OutputStream> stream(new OutputStream(std::move(device), std::move(source)));
    stream->m_decoder = std::thread(&OutputStream::decodeLoop, stream.get());
    stream->m_device->attach(stream.get());
    return stream;
}

OutputStream::OutputStream(std::shared_ptr<AudioDevice> device,
                           std::shared_ptr<SampleSource> source)
    : m_device(std::move(device))
    , m_source(std::move(source))
    , m_id(m_device->newStreamId())
    , m_ring(size_t(ringFrames) * AudioDevice::channelCount)
    , m_decoded(size_t(decodeFrames) * SampleSource::channelCount)
    , m_chunk(size_t(chunkFrames) * AudioDevice::channelCount)
    , m_silence(size_t(1024) * SampleSource::channelCount)
{
    m_tail.reserve(size_t(8192) * AudioDevice::channelCount);
}

OutputStream::~OutputStream()
{
    // Out of the device first: from then on no callback reads the ring.
    m_device->detach(this);
    m_device->updateRunning();
    {
        std::lock_guard<std::mutex> guard(m_wakeLock);
        m_quit = true;
    }
    m_wakeUp.notify_all();
    if (m_decoder.joinable())
        m_decoder.join();
    if (m_converter)
        SDL_FreeAudioStream(m_converter);
}

void OutputStream::wake()
{
    {
        std::lock_guard<std::mutex> guard(m_wakeLock);
    }
    m_wakeUp.notify_all();
}

void OutputStream::play()
{
    m_playCount.fetch_add(1, std::memory_order_acq_rel);
    m_device->lock();
    m_playing = true;
    m_paused = false;
    m_device->unlock();
    wake();
    m_device->updateRunning();
}

void OutputStream::stop()
{
    m_device->lock();
    const bool wasPlaying = m_playing.exchange(false);
    m_paused = false;
    m_device->unlock();
    m_device->updateRunning();
    if (wasPlaying)
        m_device->post(StopReason::STOP_CALLED, m_id);
}

void OutputStream::pause()
{
    // Under the audio lock: once this returns, no callback takes another frame.
    m_device->lock();
    m_paused = true;
    m_device->unlock();
    m_device->updateRunning();
}

void OutputStream::resume()
{
    m_paused = false;
    wake();
    m_device->updateRunning();
}

int64_t OutputStream::seek(int64_t frame)
{
    std::unique_lock<std::mutex> guard(m_wakeLock);
    const uint64_t ticket = ++m_seeksAsked;
    m_seekTarget = std::max<int64_t>(frame, 0);
    m_seekPending = true;
    m_wakeUp.notify_all();
    m_seekDone.wait(guard, [this, ticket] { return m_seeksDone >= ticket || m_quit; });
    return m_seeksDone >= ticket ? m_seekLanded : -1;
}

// Decoder thread: the source moves, the converter and what the ring holds are dropped, and the
// position restarts from where the source landed.
int64_t OutputStream::seekSource(int64_t frame)
{
    const int64_t landed = m_source->seek(frame, AudioDevice::sampleRate);
    if (landed < 0)
        return -1;
    if (m_converter) {
        SDL_FreeAudioStream(m_converter);
        m_converter = nullptr;
    }
    m_tail.clear();
    m_tailAt = 0;
    m_device->lock();
    m_read.store(m_written.load(std::memory_order_relaxed), std::memory_order_release);
    m_dryAt.store(notDry, std::memory_order_release);
    m_position = landed;
    m_device->unlock();
    return landed;
}

void OutputStream::setVolume(float volume)
{
    m_volume = std::isnan(volume) ? 0.0f : std::clamp(volume, 0.0f, 1.0f);
}

// The audio thread: copies from the ring, nothing else. No lock, no allocation, no file.
void OutputStream::mixInto(int32_t *mix, int frames)
{
    if (!m_playing || m_paused || m_seekPending)
        return;
    const uint64_t read = m_read.load(std::memory_order_relaxed);
    const uint64_t available = m_written.load(std::memory_order_acquire) - read;
    const int done = int(std::min<uint64_t>(available, uint64_t(frames)));
    const float volume = m_volume;
    int copied = 0;
    while (copied < done) {
        const uint64_t at = (read + uint64_t(copied)) % ringFrames;
        const int run = int(std::min<uint64_t>(uint64_t(done - copied), ringFrames - at));
        const int16_t *from = m_ring.data() + at * AudioDevice::channelCount;
        int32_t *to = mix + copied * AudioDevice::channelCount;
        const int samples = run * AudioDevice::channelCount;
        if (volume == 1.0f) {
            for (int i = 0; i < samples; ++i)
                to[i] += from[i];
        } else {
            for (int i = 0; i < samples; ++i)
                to[i] += int32_t(std::lrint(float(from[i]) * volume));
        }
        copied += run;
    }
    m_read.store(read + uint64_t(done), std::memory_order_release);
    m_framesPlayed += uint64_t(done);
    m_position += int64_t(done);
    if (done == frames)
        return;
    // The decoder marks the end of the data only after it has put every frame before it into
    // the ring; what was appended to the file before the latest play() is never cut off.
    const uint64_t dryAt = m_dryAt.load(std::memory_order_acquire);
    const bool ended = dryAt == m_playCount.load(std::memory_order_acquire)
                       && m_written.load(std::memory_order_acquire) == read + uint64_t(done);
    if (!ended) {
        m_underruns.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // Whatever is left of a cut frame stays in the decoder; the next play() goes on from it.
    if (m_playing.exchange(false))
        m_endPending.store(true, std::memory_order_release);
}

void OutputStream::decodeLoop()
{
    std::unique_lock<std::mutex> guard(m_wakeLock);
    while (!m_quit) {
        if (m_seeksDone != m_seeksAsked) {
            const uint64_t ticket = m_seeksAsked;
            const int64_t target = m_seekTarget;
            guard.unlock();
            const int64_t landed = seekSource(target);
            guard.lock();
            m_seekLanded = landed;
            m_seeksDone = ticket;
            if (m_seeksDone == m_seeksAsked)
                m_seekPending = false;
            m_seekDone.notify_all();
        }
        guard.unlock();
        if (m_endPending.exchange(false, std::memory_order_acq_rel))
            m_device->post(StopReason::STREAM_ENDED, m_id);
        bool idle = true;
        auto wait = m_playing && !m_paused ? idleWait : stoppedWait;
        const uint64_t written = m_written.load(std::memory_order_relaxed);
        const uint64_t queued = written - m_read.load(std::memory_order_acquire);
        if (ringFrames - queued < uint64_t(chunkFrames)) {
            // Full: sleep until half of it has played rather than waking for every chunk.
            const auto halfPlayed = std::chrono::milliseconds((queued - ringFrames / 2) * 1000
                                                              / AudioDevice::sampleRate);
            wait = std::clamp<std::chrono::milliseconds>(halfPlayed, idleWait, stoppedWait);
        } else {
            const uint64_t seen = m_playCount.load(std::memory_order_acquire);
            const int got = render(m_chunk.data(), chunkFrames);
            if (got > 0) {
                idle = false;
                const uint64_t at = written % ringFrames;
                const uint64_t first = std::min<uint64_t>(uint64_t(got), ringFrames - at);
                std::copy_n(m_chunk.begin(), first * AudioDevice::channelCount,
                            m_ring.begin() + long(at * AudioDevice::channelCount));
                std::copy_n(m_chunk.begin() + long(first * AudioDevice::channelCount),
                            (uint64_t(got) - first) * AudioDevice::channelCount, m_ring.begin());
                m_dryAt.store(notDry, std::memory_order_release);
                m_written.store(written + uint64_t(got), std::memory_order_release);
            } else {
                m_dryAt.store(seen, std::memory_order_release);
            }
        }
        guard.lock();
        if (idle && !m_quit && m_seeksDone == m_seeksAsked)
            m_wakeUp.wait_for(guard, wait);
    }
    m_seekDone.notify_all();
}

int OutputStream::render(int16_t *out, int frames)
{
    int done = 0;
    while (done < frames) {
        if (m_tailAt < m_tail.size()) {
            const size_t samples = std::min(m_tail.size() - m_tailAt,
                                            size_t(frames - done) * AudioDevice::channelCount);
            std::copy_n(m_tail.begin() + long(m_tailAt), samples, out + done * 2);
            m_tailAt += samples;
            done += int(samples / AudioDevice::channelCount);
            continue;
        }
        if (m_converter) {
            const int available = SDL_AudioStreamAvailable(m_converter) / frameBytes;
            if (available > 0) {
                const int wanted = std::min(available, frames - done);
                const int got
                    = SDL_AudioStreamGet(m_converter, out + done * 2, wanted * frameBytes);
                if (got <= 0)
                    break;
                done += got / frameBytes;
                m_convertedOut += got / frameBytes;
                continue;
            }
        }
        const int decoded = m_source->read(m_decoded.data(), decodeFrames);
        if (decoded <= 0) {
            if (!m_converter)
                break;
            // This may be the end of the track: let out what the converter holds back.
            drainConverter();
            continue;
        }
        const int rate = m_source->sampleRate();
        if (m_converter && rate != m_converterRate)
            drainConverter();
        if (!m_converter) {
            m_converter
                = SDL_NewAudioStream(AUDIO_S16SYS, SampleSource::channelCount, rate, AUDIO_S16SYS,
                                     AudioDevice::channelCount, AudioDevice::sampleRate);
            if (!m_converter)
                break;
            m_converterRate = rate;
            m_convertedIn = 0;
            m_convertedOut = 0;
        }
        if (SDL_AudioStreamPut(m_converter, m_decoded.data(), decoded * frameBytes) != 0)
            break;
        m_convertedIn += decoded;
    }
    return done;
}

// The rate converter keeps back the frames its filter still needs to look ahead at, and SDL's
// flush does not let them out: feed it silence until it has given every frame it owes for its
// input, keep exactly those, and start a new converter with the next data.
void OutputStream::drainConverter()
{
    const int64_t owed
        = (m_convertedIn * AudioDevice::sampleRate + m_converterRate / 2) / m_converterRate
          - m_convertedOut;
    m_tail.clear();
    m_tailAt = 0;
    const size_t owedSamples = size_t(std::max<int64_t>(owed, 0)) * AudioDevice::channelCount;
    for (int round = 0; m_tail.size() < owedSamples && round < 64; ++round) {
        if (SDL_AudioStreamPut(m_converter, m_silence.data(), int(m_silence.size() * 2)) != 0)
            break;
        const size_t available = size_t(SDL_AudioStreamAvailable(m_converter)) / 2;
        const size_t take = std::min(available, owedSamples - m_tail.size());
        const size_t at = m_tail.size();
        m_tail.resize(at + take);
        SDL_AudioStreamGet(m_converter, m_tail.data() + at, int(take * 2));
    }
    SDL_FreeAudioStream(m_converter);
    m_converter = nullptr;
}

} // namespace audio
