#pragma once

#include "trackrecord.h"

#include <optional>
#include <string>

namespace catalog {

// What a search page shows of a track, kept in its full-text document's data, so that a
// front searching shards needs no tracks table: id, title, creator, album, path (a file's or
// the track's address) and length. Pure functions, safe on any thread.
class TrackData
{
public:
    static std::string encode(const TrackRecord &track);
    // Nothing for data of another format (an older index, or none).
    static std::optional<TrackRecord> decode(const std::string &data);
};

} // namespace catalog
