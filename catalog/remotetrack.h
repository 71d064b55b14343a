#pragma once

#include "pagelinks.h"
#include "trackrecord.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace catalog {

// A track on another host, known from a few of its bytes: the first 64 KiB (ID3v2 tags and
// the first MPEG frame, with its Xing or VBRI header) and the last 128 (an ID3v1 tag).
// TagLib reads both joined in memory; the duration comes from the frame count of a Xing or
// VBRI header, else from the bit rate and the file's length.
class RemoteTrack
{
public:
    static constexpr int64_t headBytes = 64 * 1024;
    static constexpr int64_t tailBytes = 128;

    // head: the file's first bytes (the whole file when it is short); tail: its last bytes,
    // empty when head holds the whole file; size: the file's length. Nothing when the bytes
    // hold no MPEG audio, with the reason in *why. Where tags say nothing, the title and
    // creator come from what the page said of the link, then from a file name of the form
    // "Artist - Title.mp3".
    static std::optional<TrackRecord> read(const FoundTrack &found, std::string_view head,
                                           std::string_view tail, int64_t size,
                                           std::string *why = nullptr);

    // The last segment of the URL's path, percent-decoded (Latin-1 read as such), without
    // ".mp3".
    static std::string fileName(const std::string &url);
};

} // namespace catalog
