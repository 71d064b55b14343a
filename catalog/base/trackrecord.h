#pragma once

#include <cstdint>
#include <string>

namespace catalog {

// One indexed track: a file, or a track found on the web. Text fields are UTF-8; path is the
// file's absolute path as bytes, or the track's address. Plain data, filled by the folder
// scanner, the crawler's track read and TrackRow.
struct TrackRecord
{
    int64_t id = 0;
    std::string path;
    std::string fileName; // without directory and ending; searchable
    std::string title;
    std::string creator;
    std::string album;
    int64_t durationMs = 0;
    int64_t size = 0;
    int64_t mtimeNs = 0;
};

} // namespace catalog
