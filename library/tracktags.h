#pragma once

#include <QString>

// The title and artist a music file's tags give, for the desktop's "now playing" display.
// Either is empty when the file has no such tag, no tags at all, or cannot be read.
class TrackTags
{
public:
    QString title;
    QString artist;

    static TrackTags read(const QString &path);
};
