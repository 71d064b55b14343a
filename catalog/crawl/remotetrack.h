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
// VBRI header, else from the bit rate and the file's length. Keeps no state; the crawl thread
// calls it.
class RemoteTrack
{
public:
    static constexpr int64_t headBytes = 64 * 1024;
    static constexpr int64_t tailBytes = 128;
    // Bytes read where the audio starts when an ID3v2 tag (cover art) fills the first ones.
    static constexpr int64_t audioBytes = 16 * 1024;
    static constexpr int64_t maxTagBytes = 16 * 1024 * 1024;
    // What is read of a file whose server ignores ranges and sends all of it: a file this
    // short is read whole (its ID3v1 tag with it); of a longer one, its tag and first frames,
    // as far as this.
    static constexpr int64_t maxStreamBytes = 1024 * 1024;

    // head: the file's first bytes (the whole file when it is short); tail: its last bytes,
    // empty when head holds the whole file; size: the file's length. Nothing when the bytes
    // hold no MPEG audio, with the reason in *why. Where tags say nothing, the title and
    // creator come from what the page said of the link, then from a file name of the form
    // "Artist - Title.mp3".
    // audio: bytes read from audioOffset on, where a large ID3v2 tag ends (see audioStart).
    static std::optional<TrackRecord> read(const FoundTrack &found, std::string_view head,
                                           std::string_view tail, int64_t size,
                                           std::string *why = nullptr, std::string_view audio = {},
                                           int64_t audioOffset = 0);

    // Where the audio begins when the file starts with an ID3v2 tag too large for head to
    // reach its first frames, else 0.
    static int64_t audioStart(std::string_view head);

    // How many bytes of a file of size, sent whole by a server that ignored the range asked
    // for, to read before the transfer is cut: all of a short file; else past the ID3v2 tag
    // that head (the first bytes, 10 are enough) announces, by audioBytes, and at least
    // headBytes, at most maxStreamBytes.
    static int64_t streamBytes(std::string_view head, int64_t size);

    // The last segment of the URL's path, percent-decoded (Latin-1 read as such), without
    // ".mp3".
    static std::string fileName(const std::string &url);
};

} // namespace catalog
