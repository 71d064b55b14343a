#include "mp3check.h"

#include "fuzzcheck.h"

#include "samplesource.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

// Takes the file from the front of the input and the choices from its back, so that a seed
// that is a plain MP3 file is written mostly whole.
class Input
{
public:
    Input(const uint8_t *data, size_t size)
        : data(data)
        , front(0)
        , back(size)
    {}

    size_t remaining() const { return back - front; }

    unsigned choice(unsigned limit)
    {
        unsigned value = 0;
        for (unsigned range = 1; range < limit && back > front; range <<= 8)
            value = (value << 8) | data[--back];
        return limit ? value % limit : 0;
    }

    const uint8_t *take(size_t count, size_t *taken)
    {
        *taken = std::min(count, remaining());
        const uint8_t *chunk = data + front;
        front += *taken;
        return chunk;
    }

private:
    const uint8_t *data;
    size_t front;
    size_t back;
};

bool writeAll(int fd, const uint8_t *bytes, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= size_t(n);
    }
    return true;
}

void drain(audio::SampleSource &source, Input &input, std::vector<int16_t> &frames)
{
    // Bounded: a call that keeps returning frames is still stopped after enough of them.
    for (int calls = 0; calls < 64; ++calls) {
        const int wanted = 1 + int(input.choice(4096));
        frames.assign(size_t(wanted) * audio::SampleSource::channelCount, 0);
        const int got = source.read(frames.data(), wanted);
        FUZZ_CHECK(got >= 0 && got <= wanted);
        if (got > 0)
            FUZZ_CHECK(source.sampleRate() > 0);
        if (got == 0)
            return;
    }
}

} // namespace

void Mp3Check::run(const uint8_t *data, size_t size)
{
    // An anonymous memory file stands in for the download's temporary file; the source opens
    // it by path like any other.
    const int writer = ::memfd_create("larkspin-fuzz-mp3", MFD_CLOEXEC);
    FUZZ_CHECK(writer >= 0);
    const std::string path = "/proc/self/fd/" + std::to_string(writer);

    Input input(data, size);
    // Opened while still empty as the player does, or after the first chunk; with or without
    // the size announced for the complete file.
    const unsigned mode = input.choice(4);
    const bool openEarly = mode & 1;
    const bool announceSize = mode & 2;
    std::shared_ptr<audio::SampleSource> source;
    if (openEarly) {
        source = audio::SampleSource::open(path);
        FUZZ_CHECK(source); // an empty file is taken as MP3
        if (announceSize)
            source->setExpectedSize(int64_t(size));
    }
    std::vector<int16_t> frames;
    bool opened = openEarly;
    while (input.remaining() > 0) {
        size_t taken = 0;
        const uint8_t *chunk = input.take(1 + input.choice(8192), &taken);
        FUZZ_CHECK(writeAll(writer, chunk, taken));
        if (!opened) {
            source = audio::SampleSource::open(path);
            opened = true;
            if (source && announceSize)
                source->setExpectedSize(int64_t(size));
        }
        if (!source)
            break;
        drain(*source, input, frames);
        FUZZ_CHECK(source->lengthFrames() >= 0);
    }
    if (source) {
        drain(*source, input, frames);
        source->lengthFrames();
    }
    source.reset();
    ::close(writer);
}
