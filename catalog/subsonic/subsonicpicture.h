#pragma once

#include <optional>
#include <string>

namespace catalog {

// The picture in an MP3 file's tags (ID3v2 APIC: the front cover, else the first), read with
// TagLib. Pure, safe on any thread; a file without one, or that cannot be read, gives nothing.
struct SubsonicPicture
{
    std::string mimeType;
    std::string data;

    static std::optional<SubsonicPicture> read(const std::string &path);
};

} // namespace catalog
