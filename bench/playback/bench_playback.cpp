// Prints the decoding speed of a growing MP3 file; for a track played in real time the audio
// callback's durations, the buffers that went short and the processor time; the same while the
// file grows at 1.2 times real time (a slow disk or transfer); the time from a track change to
// its first sample, with a new device per track and with one kept open; pause to silence,
// resume and seek to the first sample, and the processor time while paused; and the peak memory.
//
// Arguments: seconds of whole-track playing (default 180), seconds of slow-disk playing
// (default 60), seconds paused for the processor time (default 20).

#include "audiodevice.h"
#include "outputstream.h"
#include "samplesource.h"

#include "benchtrack.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

double processorSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peakKilobytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Appends the track to an empty file in pieces and decodes what is there after each piece.
void decodeInPieces(const QByteArray &track, const QString &path, int piece, double trackSeconds)
{
    QFile::remove(path);
    QFile out(path);
    out.open(QIODevice::WriteOnly);
    const auto source = audio::SampleSource::open(QFile::encodeName(path).toStdString());
    std::vector<int16_t> buffer(2 * 4096);
    long frames = 0;
    QElapsedTimer wall;
    wall.start();
    const double cpuStart = processorSeconds();
    for (qsizetype at = 0; at < track.size(); at += piece) {
        out.write(track.constData() + at, std::min<qsizetype>(piece, track.size() - at));
        out.flush();
        while (const int n = source->read(buffer.data(), 4096))
            frames += n;
    }
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    const double cpu = processorSeconds() - cpuStart;
    // Wall time includes writing the pieces and waiting for a shared processor.
    std::printf("decode in %5d-byte pieces: %.2f s of audio in %.3f s wall (%.0fx real time), "
                "%.3f s processor (%.0fx real time)\n",
                piece, double(frames) / 44100, seconds, trackSeconds / seconds, cpu,
                trackSeconds / cpu);
}

// A file of 200 MB whose ID3v2 header claims a 256 MiB tag, with the track right after it:
// opening it and the first read must stay short whatever the header says.
void openCraftedFile(const QByteArray &track, const QString &path)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    const char header[10] = {'I', 'D', '3', 3, 0, 0, 0x7f, 0x7f, 0x7f, 0x7f};
    file.write(header, sizeof header);
    file.write(track);
    file.resize(200 * 1000 * 1000);
    file.close();
    QElapsedTimer clock;
    clock.start();
    const auto source = audio::SampleSource::open(QFile::encodeName(path).toStdString());
    const double opened = double(clock.nsecsElapsed()) / 1e6;
    std::vector<int16_t> buffer(2 * 4096);
    clock.restart();
    const int frames = source ? source->read(buffer.data(), 4096) : 0;
    std::printf("200 MB file claiming a 256 MiB tag: opened in %.2f ms, first read %.2f ms "
                "(%d frames); peak resident memory %ld kB\n",
                opened, double(clock.nsecsElapsed()) / 1e6, frames, peakKilobytes());
    QFile::remove(path);
}

struct Recorder : audio::StopCallback
{
    std::atomic<int> ended{0};
    std::atomic<int> stopped{0};
    void streamStopped(audio::StopReason reason, uint64_t) override
    {
        ++(reason == audio::StopReason::STREAM_ENDED ? ended : stopped);
    }
};

void printCallbackTimes(const audio::AudioDevice &device)
{
    const audio::AudioDevice::CallbackTimes times = device.callbackTimes();
    std::printf("  audio callback over %llu buffers: p50 <= %.0f us, p99.9 <= %.0f us, longest "
                "%.1f us\n",
                (unsigned long long)times.count, times.quantileMicroseconds(0.5),
                times.quantileMicroseconds(0.999), double(times.longestNanoseconds) / 1000);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Waits until the stream has handed its first frames to the device; milliseconds since start.
double firstSampleAfter(const audio::OutputStream &stream, const QElapsedTimer &clock)
{
    while (stream.framesPlayed() == 0 && clock.elapsed() < 5000)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    return double(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("SDL_AUDIODRIVER"))
        qputenv("SDL_AUDIODRIVER", "dummy");
    QTemporaryDir dir;
    const QString mp3 = dir.filePath(QStringLiteral("track.mp3"));
    const int seconds = 190;
    if (!BenchTrack::make(mp3, seconds)) {
        std::printf("cannot make the test track: is lame installed?\n");
        return 1;
    }
    QFile in(mp3);
    in.open(QIODevice::ReadOnly);
    const QByteArray track = in.readAll();
    std::printf("track: %.2f MB, %d s at 128 kbit/s\n", double(track.size()) / 1e6, seconds);

    const long rssBefore = peakKilobytes();
    for (const int piece : {37, 4096, 65536})
        decodeInPieces(track, dir.filePath(QStringLiteral("growing")), piece, seconds);
    openCraftedFile(track, dir.filePath(QStringLiteral("crafted.mp3")));

    const int playSeconds = argc > 1 ? std::max(1, atoi(argv[1])) : 180;
    const int slowSeconds = argc > 2 ? std::max(1, atoi(argv[2])) : 60;
    const std::string mp3Path = QFile::encodeName(mp3).toStdString();

    // 1. The whole track in real time.
    {
        const auto device = audio::AudioDevice::open();
        if (!device) {
            std::printf("no audio device (SDL_AUDIODRIVER=%s)\n",
                        qgetenv("SDL_AUDIODRIVER").constData());
            return 1;
        }
        const auto stream
            = audio::OutputStream::open(device, audio::SampleSource::open(mp3Path), true);
        QElapsedTimer wall;
        wall.start();
        const double cpuStart = processorSeconds();
        stream->play();
        const double firstSample = firstSampleAfter(*stream, wall);
        while (stream->isPlaying() && wall.elapsed() < qint64(playSeconds) * 1000)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const double playWall = double(wall.nsecsElapsed()) / 1e9;
        const double playCpu = processorSeconds() - cpuStart;
        std::printf("playing %.0f s (%s driver): first sample %.2f ms after play(); %.2f s of "
                    "audio; processor %.3f s = %.2f %% of one core; %llu short buffers\n",
                    playWall, qgetenv("SDL_AUDIODRIVER").constData(), firstSample,
                    double(stream->framesPlayed()) / audio::AudioDevice::sampleRate, playCpu,
                    100 * playCpu / playWall, (unsigned long long)stream->underruns());
        printCallbackTimes(*device);
        stream->stop();
    }

    // 2. The file grows at 1.2 times real time while it plays, as from a slow disk; like the
    // window, playing starts at 5 % and is asked for again after every piece.
    {
        const QString growing = dir.filePath(QStringLiteral("slow.mp3"));
        QFile::remove(growing);
        QFile out(growing);
        out.open(QIODevice::WriteOnly);
        const auto device = audio::AudioDevice::open();
        auto recorder = std::make_shared<Recorder>();
        device->registerCallback(recorder);
        const auto stream = audio::OutputStream::open(
            device, audio::SampleSource::open(QFile::encodeName(growing).toStdString()), true);
        const double bytesPerSecond = 1.2 * double(track.size()) / seconds;
        const qsizetype piece = 4096;
        const qsizetype end
            = std::min<qsizetype>(track.size(), qsizetype(bytesPerSecond * slowSeconds / 1.2));
        QElapsedTimer wall;
        wall.start();
        qsizetype at = 0;
        while (at < end) {
            const qsizetype due = qsizetype(bytesPerSecond * double(wall.nsecsElapsed()) / 1e9);
            if (due < at + piece) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            out.write(track.constData() + at, std::min<qsizetype>(piece, end - at));
            out.flush();
            at += piece;
            if (at >= std::min<qsizetype>(track.size(), end) / 20)
                stream->play();
        }
        while (stream->isPlaying())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::printf("file growing at 1.2x real time for %.0f s: %.2f s of audio, %llu short "
                    "buffers, %d stops for lack of data (the last at its end)\n",
                    double(wall.nsecsElapsed()) / 1e9,
                    double(stream->framesPlayed()) / audio::AudioDevice::sampleRate,
                    (unsigned long long)stream->underruns(), recorder->ended.load());
        printCallbackTimes(*device);
    }

    // 3. Track change: from a playing track to the first sample of the next, as "next" on the
    // music folder page does it (a new device), and with the device kept open.
    {
        std::vector<double> opening, fresh, kept;
        auto device = audio::AudioDevice::open();
        auto stream = audio::OutputStream::open(device, audio::SampleSource::open(mp3Path), true);
        stream->play();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (int run = 0; run < 10; ++run) {
            QElapsedTimer clock;
            clock.start();
            stream.reset();
            device.reset();
            device = audio::AudioDevice::open();
            opening.push_back(double(clock.nsecsElapsed()) / 1e6);
            stream = audio::OutputStream::open(device, audio::SampleSource::open(mp3Path), true);
            stream->play();
            fresh.push_back(firstSampleAfter(*stream, clock));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        for (int run = 0; run < 10; ++run) {
            QElapsedTimer clock;
            clock.start();
            stream.reset();
            stream = audio::OutputStream::open(device, audio::SampleSource::open(mp3Path), true);
            stream->play();
            kept.push_back(firstSampleAfter(*stream, clock));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        std::printf("track change to first sample, new device: median %.1f ms, longest %.1f ms "
                    "(opening the device: median %.2f ms, longest %.2f ms)\n",
                    median(fresh), *std::max_element(fresh.begin(), fresh.end()), median(opening),
                    *std::max_element(opening.begin(), opening.end()));
        std::printf("track change to first sample, device kept: median %.1f ms, longest %.1f ms\n",
                    median(kept), *std::max_element(kept.begin(), kept.end()));
    }

    // 4. Pause, resume and seek on a playing local file; the processor while paused.
    {
        const int pausedSeconds = argc > 3 ? std::max(1, atoi(argv[3])) : 20;
        const auto device = audio::AudioDevice::open();
        const auto stream
            = audio::OutputStream::open(device, audio::SampleSource::open(mp3Path), true);
        stream->play();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto nextFrame = [&](const QElapsedTimer &clock) {
            const uint64_t from = stream->framesPlayed();
            while (stream->framesPlayed() == from && clock.elapsed() < 5000)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            return double(clock.nsecsElapsed()) / 1e6;
        };
        std::vector<double> pausing, resuming, seeking;
        for (int run = 0; run < 20; ++run) {
            QElapsedTimer clock;
            clock.start();
            stream->pause(); // no frame is taken once it returns
            pausing.push_back(double(clock.nsecsElapsed()) / 1e6);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            clock.restart();
            stream->resume();
            resuming.push_back(nextFrame(clock));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            clock.restart();
            // Back and forth across the track, within and beyond what was decoded before.
            stream->seek(int64_t((run * 37 % 150) + 5) * audio::AudioDevice::sampleRate);
            seeking.push_back(nextFrame(clock));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        const auto longest = [](const std::vector<double> &v) {
            return *std::max_element(v.begin(), v.end());
        };
        std::printf("pause to silence: median %.3f ms, longest %.3f ms (then at most the device's "
                    "own buffer of 2048 frames, 46 ms, plays out)\n",
                    median(pausing), longest(pausing));
        std::printf("resume to first sample: median %.1f ms, longest %.1f ms\n", median(resuming),
                    longest(resuming));
        std::printf("seek to first sample: median %.1f ms, longest %.1f ms\n", median(seeking),
                    longest(seeking));
        stream->pause();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        QElapsedTimer wall;
        wall.start();
        const double cpuStart = processorSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(pausedSeconds));
        const double cpu = processorSeconds() - cpuStart;
        const double share = 100 * cpu / (double(wall.nsecsElapsed()) / 1e9);
        std::printf("paused %d s: processor %.4f s = %.3f %% of one core   aim: at most 0.05 %%   "
                    "%s\n",
                    pausedSeconds, cpu, share, share <= 0.05 ? "[MET]" : "[MISSED]");
    }
    // The floor under that: SDL's own thread of a held device, whose sound is stopped. A paused
    // sound holds its device too, so the two figures differ only by noise: what is left is the
    // thread SDL keeps waking for every buffer's worth of time while its device is open.
    {
        const int pausedSeconds = argc > 3 ? std::max(1, atoi(argv[3])) : 20;
        const auto device = audio::AudioDevice::open();
        const auto stream
            = audio::OutputStream::open(device, audio::SampleSource::open(mp3Path), true);
        stream->play();
        stream->stop();
        stream->pause();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        QElapsedTimer wall;
        wall.start();
        const double cpuStart = processorSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(pausedSeconds));
        const double cpu = processorSeconds() - cpuStart;
        std::printf("stopped, the device open and held, %d s: processor %.3f %% of one core\n",
                    pausedSeconds, 100 * cpu / (double(wall.nsecsElapsed()) / 1e9));
    }

    std::printf("peak resident memory: %ld kB (%ld kB before decoding, track held in memory)\n",
                peakKilobytes(), rssBefore);
    return 0;
}
