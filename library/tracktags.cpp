#include "tracktags.h"

#include <QFile>

#include <taglib/fileref.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tag.h>
#include <taglib/tbytevectorstream.h>

namespace {

constexpr qint64 id3v2HeaderSize = 10;

// The whole size an ID3v2 header at the start of header claims, 0 without one.
qint64 id3v2Size(const QByteArray &header)
{
    if (header.size() < id3v2HeaderSize || !header.startsWith("ID3"))
        return 0;
    const auto byte = [&](int i) {
        return qint64(uchar(header.at(i)) & 0x7f);
    };
    return id3v2HeaderSize + (byte(6) << 21 | byte(7) << 14 | byte(8) << 7 | byte(9));
}

TrackTags fromTag(const TagLib::Tag *tag)
{
    TrackTags tags;
    if (!tag)
        return tags;
    tags.title = QString::fromStdString(tag->title().to8Bit(true)).trimmed();
    tags.artist = QString::fromStdString(tag->artist().to8Bit(true)).trimmed();
    return tags;
}

} // namespace

TrackTags TrackTags::read(const QString &path)
{
    QFile input(path);
    if (input.open(QIODevice::ReadOnly) && id3v2Size(input.peek(id3v2HeaderSize)) > maxTagBytes) {
        // Only the start of an oversized tag, parsed from memory.
        const QByteArray start = input.read(maxTagBytes);
        TagLib::ByteVectorStream stream(TagLib::ByteVector(start.constData(), uint(start.size())));
        TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
        return file.isValid() ? fromTag(file.ID3v2Tag()) : TrackTags();
    }
    input.close();
    // Tags only: the audio properties would make TagLib scan the stream for its length.
    const TagLib::FileRef file(QFile::encodeName(path).constData(), false);
    if (file.isNull())
        return TrackTags();
    return fromTag(file.tag());
}
