#include "benchtrack.h"

#include <QDataStream>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QtEndian>

#include <cmath>
#include <vector>

bool BenchTrack::make(const QString &mp3Path, int seconds, const QStringList &lameOptions)
{
    const QString lame = QStandardPaths::findExecutable(QStringLiteral("lame"));
    if (lame.isEmpty())
        return false;
    const int rate = 44100;
    const QString wavPath = mp3Path + QStringLiteral(".wav");
    QFile wav(wavPath);
    if (!wav.open(QIODevice::WriteOnly))
        return false;
    const quint32 bytes = quint32(seconds) * rate * 4;
    {
        QDataStream header(&wav);
        header.setByteOrder(QDataStream::LittleEndian);
        header.writeRawData("RIFF", 4);
        header << quint32(36 + bytes);
        header.writeRawData("WAVEfmt ", 8);
        header << quint32(16) << quint16(1) << quint16(2) << quint32(rate) << quint32(rate * 4)
               << quint16(4) << quint16(16);
        header.writeRawData("data", 4);
        header << bytes;
    }
    std::vector<qint16> block(size_t(rate) * 2);
    quint32 noise = 1;
    for (int second = 0; second < seconds; ++second) {
        const double base = 110.0 * std::pow(2.0, (second % 12) / 12.0);
        for (int i = 0; i < rate; ++i) {
            const double t = second + double(i) / rate;
            noise = noise * 1664525u + 1013904223u;
            const double left = std::sin(2 * M_PI * base * t)
                                + 0.5 * std::sin(2 * M_PI * base * 1.5 * t)
                                + 0.1 * (double(noise >> 16) / 32768.0 - 1.0);
            const double right
                = std::sin(2 * M_PI * base * 2 * t) + 0.3 * std::sin(2 * M_PI * base * 3 * t);
            block[size_t(2 * i)] = qToLittleEndian(qint16(left * 9000));
            block[size_t(2 * i + 1)] = qToLittleEndian(qint16(right * 9000));
        }
        wav.write(reinterpret_cast<const char *>(block.data()), qint64(block.size() * 2));
    }
    wav.close();
    const QString partial = mp3Path + QStringLiteral(".part");
    QProcess encoder;
    encoder.start(
        lame, QStringList{QStringLiteral("--quiet"), QStringLiteral("-b"), QStringLiteral("128")}
                  + lameOptions + QStringList{wavPath, partial});
    const bool encoded = encoder.waitForFinished(600000)
                         && encoder.exitStatus() == QProcess::NormalExit && encoder.exitCode() == 0;
    QFile::remove(wavPath);
    // Renamed only when complete, so that an interrupted run leaves no half track behind.
    return encoded && QFile::rename(partial, mp3Path);
}
