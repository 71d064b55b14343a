#pragma once

#include <QString>

// The title and artist a music file's tags give, for the desktop's "now playing" display.
// Either is empty when the file has no such tag, no tags at all, or cannot be read.
class TrackTags
{
public:
    // An ID3v2 tag may claim up to 256 MiB; of a larger one only this much is read (as far as
    // the audio layer feeds its decoder in one go), which holds the text frames that come first.
    static constexpr qint64 maxTagBytes = 256 * 1024;

    QString title;
    QString artist;

    // Reads from the file on the calling thread; safe on any thread.
    static TrackTags read(const QString &path);
};
