#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

// MP3 test material made with the lame encoder, and the reference decoding it is checked
// against.
class TestMp3
{
public:
    // Empty when the encoder is missing; callers skip then.
    static QString lamePath();

    // A sine tone as an MP3 file at path; false if encoding failed.
    static bool makeTone(const QString &path, double seconds, int rate = 44100, int channels = 1,
                         double frequency = 440.0, const QStringList &lameOptions = {});

    // The whole file decoded in one go, the way the player is meant to hear it (16-bit stereo
    // at the file's own rate, gapless). rate receives the rate.
    static std::vector<int16_t> decodeWhole(const QString &path, int *rate = nullptr);

    // An ID3v2.3 tag of exactly size bytes (a title frame and padding).
    static QByteArray id3v2Tag(int size);

    // Strongest frequency of the left channel between 50 and 5000 Hz, by Goertzel in 10 Hz steps.
    static double dominantFrequency(const std::vector<int16_t> &stereo, int rate);

    // Frames that are not all zero; silence the device adds between sounds disappears.
    static std::vector<int16_t> withoutSilentFrames(const std::vector<int16_t> &stereo);
};
