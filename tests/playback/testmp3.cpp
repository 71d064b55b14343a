#include "testmp3.h"

#include <QDataStream>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <mpg123.h>

#include <cmath>

QString TestMp3::lamePath()
{
    return QStandardPaths::findExecutable(QStringLiteral("lame"));
}

bool TestMp3::makeTone(const QString &path, double seconds, int rate, int channels,
                       double frequency, const QStringList &lameOptions)
{
    const QString lame = lamePath();
    if (lame.isEmpty())
        return false;
    const int frames = int(seconds * rate);
    QByteArray pcm;
    pcm.reserve(frames * channels * 2);
    for (int i = 0; i < frames; ++i) {
        const auto value = qint16(std::lround(12000.0 * std::sin(2 * M_PI * frequency * i / rate)));
        for (int c = 0; c < channels; ++c) {
            pcm.append(char(value & 0xff));
            pcm.append(char((value >> 8) & 0xff));
        }
    }
    QTemporaryDir dir;
    const QString wavPath = dir.filePath(QStringLiteral("tone.wav"));
    QFile wav(wavPath);
    if (!wav.open(QIODevice::WriteOnly))
        return false;
    QDataStream out(&wav);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + pcm.size());
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(channels) << quint32(rate)
        << quint32(rate * channels * 2) << quint16(channels * 2) << quint16(16);
    out.writeRawData("data", 4);
    out << quint32(pcm.size());
    out.writeRawData(pcm.constData(), int(pcm.size()));
    wav.close();

    QStringList arguments{QStringLiteral("--quiet"), QStringLiteral("-b"), QStringLiteral("64")};
    // Keep the rate: at a low bit rate the encoder would otherwise lower it by itself.
    arguments << QStringLiteral("--resample") << QString::number(rate / 1000.0) << lameOptions
              << wavPath << path;
    QProcess encoder;
    encoder.start(lame, arguments);
    return encoder.waitForFinished(60000) && encoder.exitStatus() == QProcess::NormalExit
           && encoder.exitCode() == 0 && QFile::exists(path);
}

std::vector<int16_t> TestMp3::decodeWhole(const QString &path, int *rate)
{
    std::vector<int16_t> samples;
    mpg123_init();
    mpg123_handle *decoder = mpg123_new(nullptr, nullptr);
    if (!decoder)
        return samples;
    mpg123_param(decoder, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0);
    mpg123_format_none(decoder);
    const long *rates = nullptr;
    size_t count = 0;
    mpg123_rates(&rates, &count);
    for (size_t i = 0; i < count; ++i)
        mpg123_format(decoder, rates[i], MPG123_STEREO, MPG123_ENC_SIGNED_16);
    if (mpg123_open(decoder, QFile::encodeName(path).constData()) == MPG123_OK) {
        std::vector<int16_t> buffer(8192);
        for (;;) {
            size_t done = 0;
            const int result
                = mpg123_read(decoder, reinterpret_cast<unsigned char *>(buffer.data()),
                              buffer.size() * sizeof(int16_t), &done);
            samples.insert(samples.end(), buffer.begin(), buffer.begin() + long(done / 2));
            if (result != MPG123_OK && result != MPG123_NEW_FORMAT)
                break;
        }
        long fileRate = 0;
        int channels = 0;
        int encoding = 0;
        mpg123_getformat(decoder, &fileRate, &channels, &encoding);
        if (rate)
            *rate = int(fileRate);
        mpg123_close(decoder);
    }
    mpg123_delete(decoder);
    return samples;
}

QByteArray TestMp3::id3v2Tag(int size)
{
    const QByteArray title = QByteArrayLiteral("\0A test tone");
    QByteArray frame = "TIT2";
    const int frameSize = int(title.size());
    frame.append(char(frameSize >> 24)).append(char(frameSize >> 16));
    frame.append(char(frameSize >> 8)).append(char(frameSize));
    frame.append(2, '\0').append(title);
    const int body = size - 10;
    QByteArray tag = QByteArrayLiteral("ID3\x03\x00\x00");
    tag.append(char((body >> 21) & 0x7f)).append(char((body >> 14) & 0x7f));
    tag.append(char((body >> 7) & 0x7f)).append(char(body & 0x7f));
    tag.append(frame);
    tag.append(size - int(tag.size()), '\0');
    return tag;
}

double TestMp3::dominantFrequency(const std::vector<int16_t> &stereo, int rate)
{
    const size_t frames = std::min<size_t>(stereo.size() / 2, size_t(rate));
    double best = 0;
    double bestPower = -1;
    for (double f = 50; f <= 5000; f += 10) {
        const double coefficient = 2 * std::cos(2 * M_PI * f / rate);
        double s1 = 0;
        double s2 = 0;
        for (size_t i = 0; i < frames; ++i) {
            const double s0 = stereo[2 * i] + coefficient * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
        if (power > bestPower) {
            bestPower = power;
            best = f;
        }
    }
    return best;
}

std::vector<int16_t> TestMp3::withoutSilentFrames(const std::vector<int16_t> &stereo)
{
    std::vector<int16_t> kept;
    kept.reserve(stereo.size());
    for (size_t i = 0; i + 1 < stereo.size(); i += 2) {
        if (stereo[i] != 0 || stereo[i + 1] != 0) {
            kept.push_back(stereo[i]);
            kept.push_back(stereo[i + 1]);
        }
    }
    return kept;
}
