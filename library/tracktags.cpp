#include "tracktags.h"

#include <QFile>

#include <taglib/fileref.h>
#include <taglib/tag.h>

TrackTags TrackTags::read(const QString &path)
{
    TrackTags tags;
    // Tags only: the audio properties would make TagLib scan the stream for its length.
    const TagLib::FileRef file(QFile::encodeName(path).constData(), false);
    if (file.isNull() || !file.tag())
        return tags;
    tags.title = QString::fromStdString(file.tag()->title().to8Bit(true)).trimmed();
    tags.artist = QString::fromStdString(file.tag()->artist().to8Bit(true)).trimmed();
    return tags;
}
