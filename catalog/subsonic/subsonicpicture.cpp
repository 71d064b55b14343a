#include "subsonicpicture.h"

#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>

namespace catalog {

std::optional<SubsonicPicture> SubsonicPicture::read(const std::string &path)
{
    TagLib::MPEG::File file(path.c_str(), false);
    if (!file.isValid() || !file.hasID3v2Tag())
        return std::nullopt;
    const auto &frames = file.ID3v2Tag()->frameListMap()["APIC"];
    const TagLib::ID3v2::AttachedPictureFrame *chosen = nullptr;
    for (auto *frame : frames) {
        const auto *picture = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame *>(frame);
        if (!picture || picture->picture().isEmpty())
            continue;
        if (!chosen || picture->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover) {
            const bool front
                = chosen && chosen->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover;
            if (!front)
                chosen = picture;
        }
    }
    if (!chosen)
        return std::nullopt;
    SubsonicPicture picture;
    const std::string mime = chosen->mimeType().to8Bit(true);
    // Only picture types a client shows; an odd or missing type is told by the bytes.
    const auto &bytes = chosen->picture();
    picture.data.assign(bytes.data(), bytes.size());
    if (mime == "image/jpeg" || mime == "image/png" || mime == "image/gif" || mime == "image/webp")
        picture.mimeType = mime;
    else if (picture.data.compare(0, 4, "\x89PNG") == 0)
        picture.mimeType = "image/png";
    else
        picture.mimeType = "image/jpeg";
    return picture;
}

} // namespace catalog
