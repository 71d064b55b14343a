#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace catalog {

// The API's ids, which outlive the catalogue's own row numbers: a song's is a hash of its
// path (or address), so it stays while the file stays where it is, across restarts, rescans
// and a rebuilt index; an album's and an artist's carry their normalised names, so they need
// no table to be found again. Pure functions, safe on any thread; a text that is no such id
// gives nothing.
class SubsonicIds
{
public:
    // Letter case of ASCII letters, blanks at either end and runs of blanks do not tell names
    // apart.
    static std::string normalised(std::string_view name);

    static uint64_t songKey(std::string_view path);
    static std::string song(uint64_t key);
    static std::optional<uint64_t> parseSong(std::string_view id);

    static std::string album(std::string_view key);
    static std::optional<std::string> parseAlbum(std::string_view id);
    static std::string artist(std::string_view key);
    static std::optional<std::string> parseArtist(std::string_view id);
};

} // namespace catalog
