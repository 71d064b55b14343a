#include "samplesource.h"

#include <mpg123.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace audio {

namespace {

constexpr size_t readChunk = 16 * 1024;
// Junk skipped before the first frame, after any ID3v2 tag; also how far the probe looks.
constexpr long searchWindow = 64 * 1024;
// What one read() may feed the decoder while it gives no output: a read must stay short
// whatever the file holds. Far more than the few frames a read asks for.
constexpr size_t maxFeedPerRead = 256 * 1024;
// An ID3v2 header of this many bytes tells the tag's size.
constexpr int64_t id3v2HeaderSize = 10;

mpg123_handle *newDecoder()
{
    mpg123_init();
    int error = MPG123_OK;
    mpg123_handle *decoder = mpg123_new(nullptr, &error);
    if (!decoder)
        return nullptr;
    mpg123_param(decoder, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0);
    mpg123_param(decoder, MPG123_RESYNC_LIMIT, searchWindow, 0);
    // Always stereo 16-bit at the file's own rate: mono is doubled by the decoder, the rate is
    // converted on output.
    mpg123_format_none(decoder);
    const long *rates = nullptr;
    size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (size_t i = 0; i < rateCount; ++i)
        mpg123_format(decoder, rates[i], MPG123_STEREO, MPG123_ENC_SIGNED_16);
    if (mpg123_open_feed(decoder) != MPG123_OK) {
        mpg123_delete(decoder);
        return nullptr;
    }
    return decoder;
}

ssize_t readAt(int fd, unsigned char *buffer, size_t size, int64_t offset)
{
    for (;;) {
        const ssize_t n = pread(fd, buffer, size, offset);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

// Size of an ID3v2 tag at the start of the file, 0 without one, -1 while the file is too
// short to tell. The tag is stepped over by its header rather than fed through the decoder:
// a header may claim up to 256 MiB.
int64_t id3v2Size(int fd)
{
    unsigned char header[id3v2HeaderSize];
    if (readAt(fd, header, sizeof header, 0) != ssize_t(sizeof header))
        return -1;
    if (header[0] != 'I' || header[1] != 'D' || header[2] != '3')
        return 0;
    const int64_t body = (int64_t(header[6] & 0x7f) << 21) | (int64_t(header[7] & 0x7f) << 14)
                         | (int64_t(header[8] & 0x7f) << 7) | int64_t(header[9] & 0x7f);
    const bool footer = header[5] & 0x10;
    return 10 + body + (footer ? 10 : 0);
}

// False only when the file holds enough data to be sure there is no MP3 frame in it: a file
// that is still being written may simply not have reached its first frame yet.
bool mayBeMp3(int fd)
{
    struct stat info;
    if (fstat(fd, &info) != 0)
        return false;
    if (info.st_size == 0)
        return true;
    const int64_t start = std::max<int64_t>(id3v2Size(fd), 0);
    const int64_t end = start + searchWindow;
    mpg123_handle *probe = newDecoder();
    if (!probe)
        return false;
    std::vector<unsigned char> buffer(readChunk);
    unsigned char pcm[4608];
    int64_t offset = start;
    bool found = false;
    bool failed = false;
    while (!found && !failed && offset < end) {
        const ssize_t n
            = readAt(fd, buffer.data(), size_t(std::min<int64_t>(readChunk, end - offset)), offset);
        if (n <= 0)
            break;
        offset += n;
        mpg123_feed(probe, buffer.data(), size_t(n));
        size_t done = 0;
        const int result = mpg123_read(probe, pcm, sizeof pcm, &done);
        found = result == MPG123_NEW_FORMAT || result == MPG123_OK || done > 0;
        failed = result == MPG123_ERR;
    }
    mpg123_delete(probe);
    return found || (!failed && offset < end);
}

} // namespace

std::shared_ptr<SampleSource> SampleSource::open(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    std::shared_ptr<SampleSource> source(new SampleSource);
    source->m_fd = fd;
    if (!mayBeMp3(fd))
        return nullptr;
    source->m_decoder = newDecoder();
    if (!source->m_decoder)
        return nullptr;
    source->m_input.resize(readChunk);
    return source;
}

SampleSource::~SampleSource()
{
    if (m_decoder)
        mpg123_delete(m_decoder);
    if (m_fd >= 0)
        ::close(m_fd);
}

bool SampleSource::feed()
{
    if (!m_tagSkipped) {
        const int64_t tag = id3v2Size(m_fd);
        if (tag < 0)
            return false;
        m_offset = tag;
        m_tagSize = tag;
        m_tagSkipped = true;
    }
    const ssize_t n = readAt(m_fd, m_input.data(), m_input.size(), m_offset);
    if (n <= 0)
        return false;
    m_offset += n;
    return mpg123_feed(m_decoder, m_input.data(), size_t(n)) == MPG123_OK;
}

int SampleSource::read(int16_t *frames, int maxFrames)
{
    std::lock_guard<std::mutex> guard(m_decoderLock);
    if (m_nextRate) {
        m_rate = m_nextRate;
        m_nextRate = 0;
    }
    const size_t frameBytes = channelCount * sizeof(int16_t);
    const size_t wanted = size_t(maxFrames) * frameBytes;
    auto *out = reinterpret_cast<unsigned char *>(frames);
    size_t produced = 0;
    const int64_t feedLimit = m_offset + int64_t(maxFeedPerRead);
    while (produced < wanted && !m_failed) {
        size_t done = 0;
        const int result = mpg123_read(m_decoder, out + produced, wanted - produced, &done);
        produced += done;
        if (result == MPG123_OK)
            continue;
        if (result == MPG123_NEED_MORE) {
            // Input that gives no sound is left for later reads, which are as short.
            if ((m_offset >= feedLimit && !m_seeking) || !feed())
                break;
            continue;
        }
        if (result == MPG123_NEW_FORMAT) {
            long rate = 0;
            int channels = 0;
            int encoding = 0;
            mpg123_getformat(m_decoder, &rate, &channels, &encoding);
            if (produced > 0 && rate != m_rate.load()) {
                m_nextRate = int(rate);
                break;
            }
            m_rate = int(rate);
            continue;
        }
        if (result == MPG123_DONE)
            break;
        // A decoder that gave up on its input never gets back in step with it.
        m_failed = true;
    }
    if (produced > 0)
        m_seeking = false;
    return int(produced / frameBytes);
}

void SampleSource::setExpectedSize(int64_t bytes)
{
    std::lock_guard<std::mutex> guard(m_decoderLock);
    if (bytes > 0)
        mpg123_set_filesize(m_decoder, off_t(bytes));
}

int64_t SampleSource::lengthFrames() const
{
    std::lock_guard<std::mutex> guard(m_decoderLock);
    const off_t length = mpg123_length(m_decoder);
    return length > 0 ? int64_t(length) : 0;
}

// Parses the first frame without decoding it, for the rate a seek is counted in and the frame
// size it is estimated by. The seek that follows moves the decoder anyway.
bool SampleSource::findRate()
{
    // The first frame lies within the search window after the tag, or the data is no MP3.
    int feeds = int(searchWindow / long(readChunk)) + 2;
    for (;;) {
        const int result = mpg123_framebyframe_next(m_decoder);
        if (result == MPG123_NEW_FORMAT) {
            long rate = 0;
            int channels = 0;
            int encoding = 0;
            mpg123_getformat(m_decoder, &rate, &channels, &encoding);
            m_rate = int(rate);
        } else if (result == MPG123_OK) {
            if (m_rate.load() > 0)
                return true;
        } else if (result == MPG123_NEED_MORE) {
            if (--feeds < 0 || !feed())
                return false;
        } else {
            m_failed = result == MPG123_ERR;
            return false;
        }
    }
}

// Frames the file holds at fileSize, estimated from the decoder's frame index (exact for a
// constant bit rate) or, before it has one, from the current frame's bit rate.
int64_t SampleSource::framesHeld(int64_t fileSize) const
{
    off_t *offsets = nullptr;
    off_t step = 0;
    size_t fill = 0;
    if (mpg123_index(m_decoder, &offsets, &step, &fill) != MPG123_OK)
        fill = 0;
    const int samplesPerFrame = mpg123_spf(m_decoder);
    if (samplesPerFrame <= 0)
        return 0;
    int64_t knownFrame = 0;
    int64_t knownOffset = m_tagSize;
    double bytesPerFrame = 0;
    if (fill > 0) {
        knownFrame = int64_t(fill - 1) * step;
        knownOffset = m_tagSize + offsets[fill - 1];
        if (knownFrame > 0)
            bytesPerFrame = double(offsets[fill - 1] - offsets[0]) / double(knownFrame);
    }
    if (bytesPerFrame <= 0) {
        mpg123_frameinfo info{};
        if (mpg123_info(m_decoder, &info) != MPG123_OK || info.bitrate <= 0 || info.rate <= 0)
            return knownFrame;
        bytesPerFrame = double(info.bitrate) * 1000 / 8 * samplesPerFrame / double(info.rate);
    }
    return knownFrame
           + int64_t(double(std::max<int64_t>(fileSize - knownOffset, 0)) / bytesPerFrame);
}

int64_t SampleSource::seek(int64_t frame, int frameRate)
{
    std::lock_guard<std::mutex> guard(m_decoderLock);
    if (m_failed || frameRate <= 0)
        return -1;
    if (m_nextRate) {
        m_rate = m_nextRate;
        m_nextRate = 0;
    }
    if ((m_rate.load() == 0 || mpg123_spf(m_decoder) <= 0) && !findRate())
        return -1;
    const int rate = m_rate.load();
    int64_t sample = std::max<int64_t>(frame, 0) * rate / frameRate;
    struct stat info;
    if (fstat(m_fd, &info) != 0)
        return -1;
    // Two frames short of the estimated end: the last frame may be cut, and a variable bit
    // rate makes the estimate only near.
    const int samplesPerFrame = std::max(mpg123_spf(m_decoder), 1);
    const int64_t held = std::max<int64_t>(framesHeld(int64_t(info.st_size)) - 2, 0);
    sample = std::min(sample, held * samplesPerFrame);
    off_t inputOffset = 0;
    off_t landed = mpg123_feedseek(m_decoder, off_t(sample), SEEK_SET, &inputOffset);
    // A seek right after another wants the first frame of the new place before it can move.
    for (int feeds = 0; landed == MPG123_NEED_MORE && feeds < 64 && feed(); ++feeds)
        landed = mpg123_feedseek(m_decoder, off_t(sample), SEEK_SET, &inputOffset);
    if (landed < 0 || inputOffset < 0)
        return -1;
    // The decoder then walks from the frame it goes back to up to the very sample asked for,
    // but tells 0 when that frame is the first one it indexed.
    if (landed == 0)
        landed = off_t(sample);
    m_offset = m_tagSize + int64_t(inputOffset);
    m_seeking = true;
    return int64_t(landed) * frameRate / rate;
}

} // namespace audio
