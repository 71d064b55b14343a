#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct mpg123_handle_struct;

namespace audio {

// An MP3 file read through a handle of its own, decoded as the data is asked for. The file may
// still be growing: read() decodes what has been written so far, keeps an incomplete frame for
// later, and goes on from exactly there once more has been written.
//
// Shared by whoever opened it and the one OutputStream that plays it; read() and seek() run on
// that sound's decoder thread (never the audio callback's), setExpectedSize() and lengthFrames()
// on any thread. A failure shows as a read() of 0 frames or a seek() of -1.
class SampleSource
{
public:
    static constexpr int channelCount = 2;

    // Opens the file by path (bytes as the file system takes them). The format is found from the
    // content; an empty file is taken as MP3. nullptr when the file cannot be opened or holds
    // enough data to tell that it is no MP3.
    static std::shared_ptr<SampleSource> open(const std::string &path);

    ~SampleSource();
    SampleSource(const SampleSource &) = delete;
    SampleSource &operator=(const SampleSource &) = delete;

    // Decodes up to maxFrames interleaved 16-bit stereo frames (mono is doubled), all at
    // sampleRate(). Returns fewer when the written data runs out or the rate changes next; 0 when
    // nothing more can be decoded now, or when 256 KiB of input gave nothing (the next read goes
    // on from there). An ID3v2 tag at the start is stepped over, never read. Data that is no MP3
    // ends the source for good.
    int read(int16_t *frames, int maxFrames);

    // The rate of the frames the last read() returned; 0 before the first frame.
    int sampleRate() const { return m_rate.load(); }

    // The file size once complete, when known: lets the decoder estimate the length of a file
    // without a length header.
    void setExpectedSize(int64_t bytes);

    // Frames in the whole file at sampleRate() as far as known now (counts decoded frames only
    // when the file has no length header and no expected size); 0 when unknown.
    int64_t lengthFrames() const;

    // Makes the next read() start at `frame`, counted at frameRate, or as near to it as the file
    // holds so far: a file still being written is sought only within what it holds, a little
    // short of its end. Frame-accurate within the part decoded before; beyond it, the frames up
    // to the target are parsed (not decoded) by the next read(). Returns the frame it lands on,
    // at frameRate; -1 when the file holds no frame yet or the data is no MP3.
    int64_t seek(int64_t frame, int frameRate);

private:
    friend class OutputStream;

    SampleSource() = default;
    bool feed();
    bool findRate();
    int64_t framesHeld(int64_t fileSize) const;
    bool claim() { return !m_claimed.exchange(true); }

    // read() and seek() run on the sound's decoder thread; the length calls may come from any
    // other.
    mutable std::mutex m_decoderLock;
    int m_fd = -1;
    mpg123_handle_struct *m_decoder = nullptr;
    int64_t m_offset = 0;
    int64_t m_tagSize = 0; // the decoder's input offsets start after the tag
    bool m_tagSkipped = false;
    // Set by seek(): the next read() walks to the target without the per-read input bound.
    bool m_seeking = false;
    std::atomic<int> m_rate{0};
    int m_nextRate = 0;
    bool m_failed = false;
    std::vector<unsigned char> m_input;
    std::atomic<bool> m_claimed{false};
};

} // namespace audio
