#pragma once

#include <QString>
#include <QStringList>

// Music-like benchmark material: a changing chord with some noise, stereo at 44.1 kHz, encoded
// at 128 kbit/s by the lame encoder, so that encoder and decoder have real work to do.
class BenchTrack
{
public:
    // Writes the track to mp3Path (only once it is complete); lameOptions go to the encoder,
    // e.g. tags. False if lame is missing or fails.
    static bool make(const QString &mp3Path, int seconds, const QStringList &lameOptions = {});
};
