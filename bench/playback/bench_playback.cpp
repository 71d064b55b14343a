// Prints the decoding speed of a growing MP3 file, the processor time taken while a track plays
// in real time, the time to the first sample and the peak memory.

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

#include <chrono>
#include <cstdio>
#include <thread>

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

    const auto device = audio::AudioDevice::open();
    if (!device) {
        std::printf("no audio device (SDL_AUDIODRIVER=%s)\n",
                    qgetenv("SDL_AUDIODRIVER").constData());
        return 1;
    }
    const auto stream = audio::OutputStream::open(
        device, audio::SampleSource::open(QFile::encodeName(mp3).toStdString()), true);
    QElapsedTimer wall;
    wall.start();
    const double cpuStart = processorSeconds();
    stream->play();
    while (stream->framesPlayed() == 0)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    const double firstSample = double(wall.nsecsElapsed()) / 1e6;
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double playWall = double(wall.nsecsElapsed()) / 1e9;
    const double playCpu = processorSeconds() - cpuStart;
    std::printf("play() to first sample handed to the device: %.2f ms\n", firstSample);
    std::printf("playing (%s driver) for %.2f s: %.2f s of audio handed over, processor %.3f s = "
                "%.2f %% of one core\n",
                qgetenv("SDL_AUDIODRIVER").constData(), playWall,
                double(stream->framesPlayed()) / audio::AudioDevice::sampleRate, playCpu,
                100 * playCpu / playWall);
    stream->stop();
    std::printf("peak resident memory: %ld kB (%ld kB before decoding, track held in memory)\n",
                peakKilobytes(), rssBefore);
    return 0;
}
