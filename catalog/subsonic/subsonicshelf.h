#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "workqueue.h"

namespace catalog {

class CatalogSearch;

// The catalogue as the API browses it: every track's song id, album and folder, the albums
// grouped from the album tags (a tag naming no album groups the artist's loose tracks), each
// under its artist or under "Various Artists" when its tracks name several, and the artists
// of those albums. Read-only once made; shared between the event loops.
struct SubsonicShelfData
{
    struct Song
    {
        uint64_t key = 0;   // SubsonicIds::songKey of the path
        int64_t row = 0;    // the tracks table's id
        uint32_t album = 0; // index into albums
        uint32_t folder = 0;
        uint32_t artist = 0; // the track's own artist where that is an album's, else its album's
        int64_t seconds = 0;
    };
    struct Album
    {
        std::string key; // normalised album name, or "\n" + normalised artist for no album
        std::string name;
        std::string sortName; // normalised name
        uint32_t artist = 0;  // index into artists
        std::vector<uint32_t> songs;
        int64_t seconds = 0;
        int64_t newestRow = 0;
        uint32_t folder = 0;
    };
    struct Artist
    {
        std::string key;
        std::string name;
        std::vector<uint32_t> albums; // by name
    };

    std::vector<Song> songs; // in the table's order
    std::vector<Album> albums;
    std::vector<Artist> artists;
    std::vector<uint32_t> albumsByName;
    std::vector<uint32_t> albumsByArtist;
    std::vector<uint32_t> albumsByNewest; // by their newest track, newest first
    std::vector<uint32_t> artistsByName;
    std::vector<std::pair<uint64_t, uint32_t>> songsByKey; // sorted
    std::vector<uint32_t> songsByRow;                      // noSong where no track has the row
    std::unordered_map<std::string, uint32_t> albumByKey;
    std::unordered_map<std::string, uint32_t> artistByKey;

    static constexpr uint32_t noSong = ~uint32_t(0);

    std::optional<uint32_t> song(uint64_t key) const;
    // The song of a track read from the index: found by its row, and only if its path is the
    // one the shelf knows there.
    std::optional<uint32_t> songAt(int64_t row, uint64_t key) const;
};

// Keeps a SubsonicShelfData in step with the catalogue. current() is called on every event
// loop: it gives the shelf made last; the first call makes one, and a call after the catalogue
// changed has a new one made on a thread of the shelf's own, not more often than every few
// seconds (ten times as long as the last took), while the calls go on with the old. It owns
// that thread and borrows the index, which outlives it.
class SubsonicShelf
{
public:
    // folders: the music folders in order (folder i + 1; a file under none of them, indexed
    // from a folder no longer given, counts as the first's, and without folders there is one
    // all the same); tracks found on the web are in the web folder, the last.
    SubsonicShelf(CatalogSearch &index, std::vector<std::string> folders);

    std::shared_ptr<const SubsonicShelfData> current();
    uint32_t webFolder() const { return uint32_t(std::max<size_t>(m_folders.size(), 1) + 1); }

    // Makes a shelf from the tracks as they are now; null when they cannot be read.
    std::shared_ptr<const SubsonicShelfData> make();

    static constexpr const char *variousArtists = "Various Artists";
    static constexpr const char *unknownArtist = "Unknown Artist";
    static constexpr const char *unknownAlbum = "Unknown Album";

private:
    // Makes a shelf and keeps it as the current one, for the catalogue's generation.
    void remake(uint64_t generation);

    CatalogSearch &m_index;
    const std::vector<std::string> m_folders;
    std::shared_ptr<const SubsonicShelfData> m_shelf; // through std::atomic_load/store
    std::atomic<uint64_t> m_generation{~uint64_t(0)};
    std::atomic<bool> m_making{false};
    std::atomic<int64_t> m_madeAt{0};   // steady clock, milliseconds
    std::atomic<int64_t> m_makingMs{0}; // how long the last one took
    WorkQueue m_maker;                  // last: stopped first, while the rest still stands
};

} // namespace catalog
