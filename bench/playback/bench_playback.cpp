// Prints the decoding speed of a growing MP3 file, the processor time taken while a track plays
// in real time, the time to the first sample and the peak memory.

#include "audiodevice.h"
#include "outputstream.h"
#include "samplesource.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDataStream>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <chrono>
#include <cmath>
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

// A few minutes of a changing chord with some noise, so that the encoder has work to do.
bool makeTrack(const QString &wavPath, const QString &mp3Path, int seconds)
{
    const QString lame = QStandardPaths::findExecutable(QStringLiteral("lame"));
    if (lame.isEmpty())
        return false;
    const int rate = 44100;
    QFile wav(wavPath);
    if (!wav.open(QIODevice::WriteOnly))
        return false;
    const quint32 bytes = quint32(seconds) * rate * 4;
    QDataStream out(&wav);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + bytes);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(2) << quint32(rate) << quint32(rate * 4)
        << quint16(4) << quint16(16);
    out.writeRawData("data", 4);
    out << bytes;
    quint32 noise = 1;
    for (int i = 0; i < seconds * rate; ++i) {
        const double t = double(i) / rate;
        const double base = 110.0 * std::pow(2.0, (int(t) % 12) / 12.0);
        noise = noise * 1664525u + 1013904223u;
        const double left = std::sin(2 * M_PI * base * t)
                            + 0.5 * std::sin(2 * M_PI * base * 1.5 * t)
                            + 0.1 * (double(noise >> 16) / 32768.0 - 1.0);
        const double right
            = std::sin(2 * M_PI * base * 2 * t) + 0.3 * std::sin(2 * M_PI * base * 3 * t);
        out << qint16(left * 9000) << qint16(right * 9000);
    }
    wav.close();
    QProcess encoder;
    encoder.start(lame, {QStringLiteral("--quiet"), QStringLiteral("-b"), QStringLiteral("128"),
                         wavPath, mp3Path});
    return encoder.waitForFinished(300000) && encoder.exitCode() == 0;
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
    if (!makeTrack(dir.filePath(QStringLiteral("track.wav")), mp3, seconds)) {
        std::printf("cannot make the test track: is lame installed?\n");
        return 1;
    }
    QFile::remove(dir.filePath(QStringLiteral("track.wav")));
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
