#include "outputstream.h"

#include "audiodevice.h"
#include "samplesource.h"

#include <SDL.h>

#include <algorithm>
#include <cmath>

namespace audio {

namespace {
constexpr int decodeFrames = 4096;
constexpr int frameBytes = AudioDevice::channelCount * int(sizeof(int16_t));
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
    stream->m_device->attach(stream.get());
    return stream;
}

OutputStream::OutputStream(std::shared_ptr<AudioDevice> device,
                           std::shared_ptr<SampleSource> source)
    : m_device(std::move(device))
    , m_source(std::move(source))
    , m_decoded(size_t(decodeFrames) * SampleSource::channelCount)
    , m_rendered(size_t(m_device->blockFrames()) * AudioDevice::channelCount)
    , m_silence(size_t(1024) * SampleSource::channelCount)
{
    m_tail.reserve(size_t(8192) * AudioDevice::channelCount);
}

OutputStream::~OutputStream()
{
    m_device->detach(this);
    if (m_converter)
        SDL_FreeAudioStream(m_converter);
}

void OutputStream::play()
{
    m_device->lock();
    m_playing = true;
    m_device->unlock();
    m_device->start();
}

void OutputStream::stop()
{
    m_device->lock();
    const bool wasPlaying = m_playing.exchange(false);
    m_device->unlock();
    if (wasPlaying)
        m_device->post(StopReason::STOP_CALLED);
}

void OutputStream::setVolume(float volume)
{
    m_volume = std::isnan(volume) ? 0.0f : std::clamp(volume, 0.0f, 1.0f);
}

void OutputStream::mixInto(int32_t *mix, int frames)
{
    if (!m_playing)
        return;
    const int done = render(m_rendered.data(), frames);
    const int samples = done * AudioDevice::channelCount;
    const float volume = m_volume;
    if (volume == 1.0f) {
        for (int i = 0; i < samples; ++i)
            mix[i] += m_rendered[size_t(i)];
    } else {
        for (int i = 0; i < samples; ++i)
            mix[i] += int32_t(std::lrint(float(m_rendered[size_t(i)]) * volume));
    }
    m_framesPlayed += uint64_t(done);
    // Whatever is left of a cut frame stays in the decoder; the next play() goes on from it.
    if (done < frames && m_playing.exchange(false))
        m_device->post(StopReason::STREAM_ENDED);
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
