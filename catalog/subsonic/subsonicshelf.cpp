#include "subsonicshelf.h"

#include "catalogsearch.h"
#include "subsonicids.h"
#include "texthelpers.h"

#include <algorithm>
#include <filesystem>
#include <thread>

namespace catalog {

namespace {

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool isWithin(const std::string &path, const std::string &folder)
{
    return !folder.empty() && path.size() > folder.size()
           && path.compare(0, folder.size(), folder) == 0
           && (folder.back() == '/' || path[folder.size()] == '/');
}

constexpr int64_t shortestInterval = 2000;

} // namespace

std::optional<uint32_t> SubsonicShelfData::song(uint64_t key) const
{
    const auto found
        = std::lower_bound(songsByKey.begin(), songsByKey.end(), std::make_pair(key, uint32_t(0)));
    if (found == songsByKey.end() || found->first != key)
        return std::nullopt;
    return found->second;
}

std::optional<uint32_t> SubsonicShelfData::songAt(int64_t row, uint64_t key) const
{
    if (row < 0 || uint64_t(row) >= songsByRow.size() || songsByRow[size_t(row)] == noSong
        || songs[songsByRow[size_t(row)]].key != key)
        return song(key);
    return songsByRow[size_t(row)];
}

SubsonicShelf::SubsonicShelf(CatalogSearch &index, std::vector<std::string> folders)
    : m_index(index)
    , m_folders(std::move(folders))
    , m_maker(1, 1)
{}

std::shared_ptr<const SubsonicShelfData> SubsonicShelf::current()
{
    auto shelf = std::atomic_load(&m_shelf);
    const uint64_t generation = m_index.generation();
    if (shelf && generation == m_generation.load())
        return shelf;
    const int64_t interval = std::max(shortestInterval, 10 * m_makingMs.load());
    if (shelf && nowMs() - m_madeAt.load() < interval)
        return shelf;
    bool idle = false;
    if (!m_making.compare_exchange_strong(idle, true)) {
        // Another call makes the first shelf: wait for it rather than make one more.
        while (!shelf && m_making.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            shelf = std::atomic_load(&m_shelf);
        }
        return shelf ? shelf : std::atomic_load(&m_shelf);
    }
    if (!shelf) {
        // The first: every call waits for it.
        remake(generation);
        return std::atomic_load(&m_shelf);
    }
    const bool queued = m_maker.submit([this, generation](bool run) {
        if (run)
            remake(generation);
        else
            m_making = false;
    });
    if (!queued)
        m_making = false;
    return shelf;
}

void SubsonicShelf::remake(uint64_t generation)
{
    const int64_t started = nowMs();
    if (auto made = make()) {
        std::atomic_store(&m_shelf, std::shared_ptr<const SubsonicShelfData>(std::move(made)));
        m_generation = generation;
    }
    m_makingMs = nowMs() - started;
    m_madeAt = nowMs();
    m_making = false;
}

std::shared_ptr<const SubsonicShelfData> SubsonicShelf::make()
{
    auto shelf = std::make_shared<SubsonicShelfData>();
    // The folders as given and as their real paths: the scanner keeps the paths it walked.
    std::vector<std::pair<std::string, uint32_t>> roots;
    for (size_t i = 0; i < m_folders.size(); ++i) {
        roots.emplace_back(m_folders[i], uint32_t(i + 1));
        std::error_code error;
        const auto real = std::filesystem::weakly_canonical(m_folders[i], error);
        if (!error && real.string() != m_folders[i])
            roots.emplace_back(real.string(), uint32_t(i + 1));
    }
    // Per album, the normalised artist of its tracks; "" once they name several.
    std::vector<std::string> albumCreator;
    std::vector<bool> various;
    std::vector<std::string> creatorName;
    // Each track's artist, as an index into the names met (normalised, as artists are keyed).
    std::unordered_map<std::string, uint32_t> creatorIndex;
    std::vector<std::string> creatorKeys;
    std::vector<uint32_t> songCreator;
    const std::string unknownKey = SubsonicIds::normalised(unknownArtist);
    const bool read = m_index.forEachTrack([&](const TrackRecord &track) {
        SubsonicShelfData::Song song;
        song.key = SubsonicIds::songKey(track.path);
        song.row = track.id;
        song.seconds = track.durationMs / 1000;
        song.folder = webFolder();
        if (!track.path.empty() && track.path[0] == '/') {
            song.folder = 1;
            for (const auto &[root, number] : roots) {
                if (isWithin(track.path, root)) {
                    song.folder = number;
                    break;
                }
            }
        }
        const std::string creator = SubsonicIds::normalised(track.creator);
        const std::string &creatorKey = creator.empty() ? unknownKey : creator;
        auto known = creatorIndex.find(creatorKey);
        if (known == creatorIndex.end()) {
            known = creatorIndex.emplace(creatorKey, uint32_t(creatorKeys.size())).first;
            creatorKeys.push_back(creatorKey);
        }
        songCreator.push_back(known->second);
        const std::string albumTitle(TextHelpers::trimmed(track.album));
        const std::string key
            = albumTitle.empty() ? "\n" + creator : SubsonicIds::normalised(albumTitle);
        auto slot = shelf->albumByKey.find(key);
        const bool added = slot == shelf->albumByKey.end();
        if (added) {
            slot = shelf->albumByKey.emplace(key, uint32_t(shelf->albums.size())).first;
            SubsonicShelfData::Album album;
            album.key = key;
            album.name = albumTitle.empty() ? unknownAlbum : albumTitle;
            album.sortName = SubsonicIds::normalised(album.name);
            album.folder = song.folder;
            shelf->albums.push_back(std::move(album));
            albumCreator.push_back(creator);
            various.push_back(false);
            const std::string shown(TextHelpers::trimmed(track.creator));
            creatorName.push_back(shown.empty() ? unknownArtist : shown);
        } else if (albumCreator[slot->second] != creator) {
            various[slot->second] = true;
        }
        auto &album = shelf->albums[slot->second];
        song.album = slot->second;
        album.songs.push_back(uint32_t(shelf->songs.size()));
        album.seconds += song.seconds;
        album.newestRow = std::max(album.newestRow, track.id);
        shelf->songs.push_back(song);
    });
    if (!read)
        return nullptr;

    for (size_t i = 0; i < shelf->albums.size(); ++i) {
        const std::string name = various[i] ? variousArtists : creatorName[i];
        const std::string key = SubsonicIds::normalised(name);
        auto [slot, added] = shelf->artistByKey.emplace(key, uint32_t(shelf->artists.size()));
        if (added)
            shelf->artists.push_back({key, name, {}});
        shelf->albums[i].artist = slot->second;
    }
    shelf->albumsByName.resize(shelf->albums.size());
    for (uint32_t i = 0; i < shelf->albums.size(); ++i)
        shelf->albumsByName[i] = i;
    std::sort(shelf->albumsByName.begin(), shelf->albumsByName.end(), [&](uint32_t a, uint32_t b) {
        const auto &first = shelf->albums[a];
        const auto &second = shelf->albums[b];
        return first.sortName != second.sortName ? first.sortName < second.sortName
                                                 : first.key < second.key;
    });
    for (const uint32_t album : shelf->albumsByName)
        shelf->artists[shelf->albums[album].artist].albums.push_back(album);
    shelf->albumsByArtist = shelf->albumsByName;
    std::stable_sort(shelf->albumsByArtist.begin(), shelf->albumsByArtist.end(),
                     [&](uint32_t a, uint32_t b) {
                         return shelf->artists[shelf->albums[a].artist].key
                                < shelf->artists[shelf->albums[b].artist].key;
                     });
    shelf->albumsByNewest = shelf->albumsByName;
    std::sort(shelf->albumsByNewest.begin(), shelf->albumsByNewest.end(),
              [&](uint32_t a, uint32_t b) {
                  return shelf->albums[a].newestRow > shelf->albums[b].newestRow;
              });
    shelf->artistsByName.resize(shelf->artists.size());
    for (uint32_t i = 0; i < shelf->artists.size(); ++i)
        shelf->artistsByName[i] = i;
    std::sort(
        shelf->artistsByName.begin(), shelf->artistsByName.end(),
        [&](uint32_t a, uint32_t b) { return shelf->artists[a].key < shelf->artists[b].key; });
    // A song's own artist: the one of its name where an album is theirs.
    std::vector<uint32_t> creatorArtist(creatorKeys.size(), SubsonicShelfData::noSong);
    for (size_t i = 0; i < creatorKeys.size(); ++i) {
        const auto found = shelf->artistByKey.find(creatorKeys[i]);
        if (found != shelf->artistByKey.end())
            creatorArtist[i] = found->second;
    }
    int64_t lastRow = 0;
    for (size_t i = 0; i < shelf->songs.size(); ++i) {
        auto &song = shelf->songs[i];
        const uint32_t own = creatorArtist[songCreator[i]];
        song.artist = own != SubsonicShelfData::noSong ? own : shelf->albums[song.album].artist;
        lastRow = std::max(lastRow, song.row);
    }
    // Rows are the table's ids, which count up from 1 and are seldom far apart.
    if (lastRow < int64_t(shelf->songs.size()) * 4 + 1024) {
        shelf->songsByRow.assign(size_t(lastRow + 1), SubsonicShelfData::noSong);
        for (uint32_t i = 0; i < shelf->songs.size(); ++i)
            shelf->songsByRow[size_t(shelf->songs[i].row)] = i;
    }
    shelf->songsByKey.reserve(shelf->songs.size());
    for (uint32_t i = 0; i < shelf->songs.size(); ++i)
        shelf->songsByKey.emplace_back(shelf->songs[i].key, i);
    std::sort(shelf->songsByKey.begin(), shelf->songsByKey.end());
    return shelf;
}

} // namespace catalog
