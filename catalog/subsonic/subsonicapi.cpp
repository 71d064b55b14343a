#include "subsonicapi.h"

#include "catalogsearch.h"
#include "httprequest.h"
#include "searchquery.h"
#include "subsonicids.h"
#include "subsonicnode.h"
#include "subsonicparams.h"
#include "subsonicpicture.h"
#include "subsonicrelay.h"
#include "texthelpers.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <unordered_map>
#include <unordered_set>

namespace catalog {

namespace {

const char *const apiVersion = "1.16.1";
const char *const serverName = "larkspin-catalog";

enum ErrorCode {
    Generic = 0,
    MissingParameter = 10,
    ClientTooNew = 30,
    NotAuthorized = 50,
    NotFound = 70,
};

std::string lastSegment(const std::string &path)
{
    std::string name = path.substr(6);
    const size_t view = name.size() >= 5 ? name.size() - 5 : std::string::npos;
    if (view != std::string::npos && name.compare(view, 5, ".view") == 0)
        name.erase(view);
    return name;
}

bool isFormBody(const HttpRequest &request)
{
    const std::string type = TextHelpers::lowerAscii(request.header("Content-Type"));
    return type.compare(0, 33, "application/x-www-form-urlencoded") == 0;
}

int64_t epochMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The first letter of a name for the indexes: an ASCII letter in capitals, else "#".
std::string indexLetter(const std::string &name)
{
    const char c = name.empty() ? '#' : name[0];
    if (c >= 'a' && c <= 'z')
        return std::string(1, char(c - 'a' + 'A'));
    if (c >= 'A' && c <= 'Z')
        return std::string(1, c);
    return "#";
}

// Whether every word of query is a word of text, the last also the start of one, as the
// full-text engine matches them.
bool nameMatches(const SearchQuery &query, const std::string &text)
{
    // Most names fail on a plain look first: an ASCII name holds each of its words in lower
    // case as they are, so a word it lacks as a part of it cannot match.
    if (std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; })) {
        const std::string lower = TextHelpers::lowerAscii(text);
        for (const auto &word : query.words()) {
            if (lower.find(word) == std::string::npos)
                return false;
        }
    }
    const SearchQuery words(text);
    const auto &wanted = query.words();
    for (size_t i = 0; i < wanted.size(); ++i) {
        const bool last = i + 1 == wanted.size();
        const bool found
            = std::any_of(words.words().begin(), words.words().end(), [&](const std::string &word) {
                  return word == wanted[i]
                         || (last && word.compare(0, wanted[i].size(), wanted[i]) == 0);
              });
        if (!found)
            return false;
    }
    return true;
}

} // namespace

// One request on its way: its parameters, the format asked for and the shelf it reads.
struct SubsonicApi::Call
{
    const HttpRequest &request;
    SubsonicParams params;
    bool json = false;
    std::string method;
    std::string user;
    std::shared_ptr<const SubsonicShelfData> shelf;

    SubsonicNode root{"subsonic-response"};

    Call(const HttpRequest &request)
        : request(request)
    {}

    HttpReply answer(int status = 200)
    {
        HttpReply reply;
        reply.status = status;
        if (json) {
            reply.contentType = "application/json; charset=utf-8";
            reply.body = root.json();
        } else {
            reply.contentType = "application/xml; charset=utf-8";
            reply.body = root.xml();
        }
        reply.headers.emplace_back("Cache-Control", "no-store");
        return reply;
    }

    HttpReply fail(int code, const std::string &message, int status = 200)
    {
        root.set("status", "failed");
        root.child("error").set("code", code).set("message", message);
        return answer(status);
    }

    std::optional<std::string> required(const char *name) { return params.value(name); }
};

SubsonicApi::SubsonicApi(CatalogSearch &index, SubsonicSettings settings)
    : m_index(index)
    , m_settings(std::move(settings))
    , m_shelf(index, m_settings.musicFolders)
    , m_relay(std::make_unique<SubsonicRelay>(m_settings.relayAllowPrivate,
                                              m_settings.relayTimeoutSeconds))
{}

SubsonicApi::~SubsonicApi()
{
    stop();
}

bool SubsonicApi::open(std::string *error)
{
    if (!m_users.load(m_settings.usersFile, error))
        return false;
    if (!m_settings.playsPath.empty() && !m_plays.open(m_settings.playsPath, error)) {
        *error = "cannot open " + m_settings.playsPath + ": " + *error;
        return false;
    }
    return true;
}

void SubsonicApi::stop()
{
    m_relay->stop();
}

HttpReply SubsonicApi::handle(const HttpRequest &request, const std::string &path)
{
    static const std::unordered_map<std::string, Method> methods = {
        {"ping", &SubsonicApi::ping},
        {"getLicense", &SubsonicApi::getLicense},
        {"getOpenSubsonicExtensions", &SubsonicApi::getOpenSubsonicExtensions},
        {"getMusicFolders", &SubsonicApi::getMusicFolders},
        {"getIndexes", &SubsonicApi::getIndexes},
        {"getArtists", &SubsonicApi::getArtists},
        {"getArtist", &SubsonicApi::getArtist},
        {"getAlbum", &SubsonicApi::getAlbum},
        {"getMusicDirectory", &SubsonicApi::getMusicDirectory},
        {"getSong", &SubsonicApi::getSong},
        {"getAlbumList", &SubsonicApi::getAlbumList},
        {"getAlbumList2", &SubsonicApi::getAlbumList2},
        {"getRandomSongs", &SubsonicApi::getRandomSongs},
        {"search3", &SubsonicApi::search3},
        {"stream", &SubsonicApi::stream},
        {"download", &SubsonicApi::stream},
        {"getCoverArt", &SubsonicApi::getCoverArt},
        {"scrobble", &SubsonicApi::scrobble},
        {"getPlaylists", &SubsonicApi::getPlaylists},
        {"getPlaylist", &SubsonicApi::getPlaylist},
        {"getUser", &SubsonicApi::getUser},
        {"getGenres", &SubsonicApi::getGenres},
        {"getStarred", &SubsonicApi::getStarred},
        {"getStarred2", &SubsonicApi::getStarred2},
        {"getScanStatus", &SubsonicApi::getScanStatus},
        {"getNowPlaying", &SubsonicApi::getNowPlaying},
    };

    Call call(request);
    call.root.set("status", "ok")
        .set("version", apiVersion)
        .set("type", serverName)
        .set("serverVersion", LARKSPIN_VERSION)
        .setFlag("openSubsonic", true);
    const std::string &target = request.target();
    const size_t query = target.find('?');
    bool readable = true;
    if (query != std::string::npos)
        readable = call.params.add(std::string_view(target).substr(query + 1));
    if (readable && request.method() == "POST" && isFormBody(request))
        readable = call.params.add(request.body());
    call.json = call.params.value("f") == std::optional<std::string>("json");
    // Parameters that cannot be read are answered in the format they ask for all the same.
    if (!readable) {
        const std::string pairs = "&" + (query == std::string::npos ? "" : target.substr(query + 1))
                                  + "&" + std::string(request.body()) + "&";
        call.json = pairs.find("&f=json&") != std::string::npos;
    }
    if (request.method() != "GET" && request.method() != "HEAD" && request.method() != "POST") {
        HttpReply refused = call.fail(Generic, "method not allowed", 405);
        refused.headers.emplace_back("Allow", "GET, HEAD, POST");
        return refused;
    }
    if (!readable)
        return call.fail(Generic, "the parameters cannot be read: a broken escape, text that is "
                                  "not UTF-8, or too many of them");

    call.method = lastSegment(path);
    const auto found = methods.find(call.method);
    switch (m_users.check(call.params, request.clientAddress())) {
    case SubsonicUsers::Outcome::Accepted:
        break;
    case SubsonicUsers::Outcome::Missing:
        return call.fail(MissingParameter, "Required parameter is missing: u, and p or t and s");
    case SubsonicUsers::Outcome::Wrong:
        return call.fail(40, "Wrong username or password");
    case SubsonicUsers::Outcome::Unsupported:
        return call.fail(42, "Provided authentication mechanism not supported");
    case SubsonicUsers::Outcome::Conflicting:
        return call.fail(43, "Multiple conflicting authentication mechanisms provided");
    }
    call.user = *call.params.value("u");
    if (!call.params.has("v") || !call.params.has("c"))
        return call.fail(MissingParameter, "Required parameter is missing: v and c");
    const std::string version = *call.params.value("v");
    if (version.compare(0, 2, "1.") != 0)
        return call.fail(version > "1" ? ClientTooNew : 20,
                         version > "1" ? "Incompatible Subsonic REST protocol version. Server "
                                         "must upgrade."
                                       : "Incompatible Subsonic REST protocol version. Client "
                                         "must upgrade.");
    if (found == methods.end())
        return call.fail(Generic, "unknown method", 404);
    call.shelf = m_shelf.current();
    if (!call.shelf)
        return call.fail(Generic, "the catalogue cannot be read", 503);
    return (this->*found->second)(call);
}

std::string SubsonicApi::folderName(uint32_t folder) const
{
    if (folder >= 1 && folder <= m_settings.musicFolders.size()) {
        std::string path = m_settings.musicFolders[folder - 1];
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        const size_t slash = path.rfind('/');
        return slash == std::string::npos || slash + 1 == path.size() ? path
                                                                      : path.substr(slash + 1);
    }
    return folder == 1 ? "Music" : "Web";
}

std::vector<std::pair<uint32_t, TrackRecord>>
SubsonicApi::tracksOf(const SubsonicShelfData &shelf, const std::vector<uint32_t> &songs)
{
    std::vector<std::pair<uint32_t, TrackRecord>> tracks;
    tracks.reserve(songs.size());
    for (const uint32_t song : songs) {
        if (auto track = m_index.track(shelf.songs[song].row))
            tracks.emplace_back(song, std::move(*track));
    }
    return tracks;
}

void SubsonicApi::writeSong(SubsonicNode &node, const SubsonicShelfData &shelf, uint32_t song,
                            const TrackRecord &track) const
{
    const auto &entry = shelf.songs[song];
    const auto &album = shelf.albums[entry.album];
    const std::string creator(TextHelpers::trimmed(track.creator));
    const std::string title(TextHelpers::trimmed(track.title));
    const std::string albumId = SubsonicIds::album(album.key);
    const std::string artistName = creator.empty() ? SubsonicShelf::unknownArtist : creator;
    const std::string &artistKey = shelf.artists[entry.artist].key;
    std::string shownPath = track.path;
    if (entry.folder >= 1 && entry.folder <= m_settings.musicFolders.size()) {
        const size_t slash = track.path.rfind('/');
        const std::string fileName
            = slash == std::string::npos ? track.path : track.path.substr(slash + 1);
        shownPath = artistName + "/" + album.name + "/" + fileName;
    }
    const int64_t bitRate = track.durationMs > 0 ? track.size * 8 / track.durationMs : 0;
    node.set("id", SubsonicIds::song(entry.key))
        .set("parent", albumId)
        .setFlag("isDir", false)
        .set("title", title.empty() ? track.fileName : title)
        .set("album", album.name)
        .set("artist", artistName)
        .set("coverArt", SubsonicIds::song(entry.key))
        .set("size", track.size)
        .set("contentType", "audio/mpeg")
        .set("suffix", "mp3")
        .set("duration", entry.seconds)
        .set("bitRate", bitRate)
        .set("path", shownPath)
        .setFlag("isVideo", false)
        .set("albumId", albumId)
        .set("artistId", SubsonicIds::artist(artistKey))
        .set("type", "music")
        .set("mediaType", "song")
        .set("musicFolderId", int64_t(entry.folder));
}

void SubsonicApi::writeAlbum(SubsonicNode &node, const SubsonicShelfData &shelf, uint32_t index,
                             bool asChild) const
{
    const auto &album = shelf.albums[index];
    const auto &artist = shelf.artists[album.artist];
    const std::string id = SubsonicIds::album(album.key);
    node.set("id", id);
    if (asChild)
        node.set("parent", SubsonicIds::artist(artist.key))
            .setFlag("isDir", true)
            .set("title", album.name);
    node.set("name", album.name)
        .set("album", album.name)
        .set("artist", artist.name)
        .set("artistId", SubsonicIds::artist(artist.key))
        .set("coverArt", id)
        .set("songCount", int64_t(album.songs.size()))
        .set("duration", album.seconds);
}

void SubsonicApi::writeArtist(SubsonicNode &node, const SubsonicShelfData &shelf,
                              uint32_t index) const
{
    const auto &artist = shelf.artists[index];
    node.set("id", SubsonicIds::artist(artist.key))
        .set("name", artist.name)
        .set("albumCount", int64_t(artist.albums.size()));
}

HttpReply SubsonicApi::ping(Call &call)
{
    return call.answer();
}

HttpReply SubsonicApi::getLicense(Call &call)
{
    call.root.child("license").setFlag("valid", true);
    return call.answer();
}

HttpReply SubsonicApi::getOpenSubsonicExtensions(Call &call)
{
    call.root.list("openSubsonicExtensions");
    call.root.item("openSubsonicExtensions")
        .set("name", "formPost")
        .item("versions")
        .setNumberText(1);
    return call.answer();
}

HttpReply SubsonicApi::getMusicFolders(Call &call)
{
    auto &folders = call.root.child("musicFolders");
    folders.list("musicFolder");
    for (uint32_t folder = 1; folder <= m_shelf.webFolder(); ++folder)
        folders.item("musicFolder").set("id", int64_t(folder)).set("name", folderName(folder));
    return call.answer();
}

HttpReply SubsonicApi::getArtists(Call &call)
{
    const auto &shelf = *call.shelf;
    auto &artists = call.root.child("artists").set("ignoredArticles", "");
    artists.list("index");
    SubsonicNode *index = nullptr;
    std::string letter;
    for (const uint32_t artist : shelf.artistsByName) {
        const std::string first = indexLetter(shelf.artists[artist].key);
        if (!index || first != letter) {
            letter = first;
            index = &artists.item("index").set("name", letter);
        }
        writeArtist(index->item("artist"), shelf, artist);
    }
    return call.answer();
}

HttpReply SubsonicApi::getIndexes(Call &call)
{
    const auto &shelf = *call.shelf;
    auto &indexes
        = call.root.child("indexes").set("lastModified", epochMs()).set("ignoredArticles", "");
    indexes.list("index");
    SubsonicNode *index = nullptr;
    std::string letter;
    for (const uint32_t artist : shelf.artistsByName) {
        const std::string first = indexLetter(shelf.artists[artist].key);
        if (!index || first != letter) {
            letter = first;
            index = &indexes.item("index").set("name", letter);
        }
        writeArtist(index->item("artist"), shelf, artist);
    }
    return call.answer();
}

HttpReply SubsonicApi::getArtist(Call &call)
{
    const auto id = call.required("id");
    if (!id)
        return call.fail(MissingParameter, "Required parameter is missing: id");
    const auto key = SubsonicIds::parseArtist(*id);
    const auto found = key ? call.shelf->artistByKey.find(*key) : call.shelf->artistByKey.end();
    if (found == call.shelf->artistByKey.end())
        return call.fail(NotFound, "Artist not found");
    auto &artist = call.root.child("artist");
    writeArtist(artist, *call.shelf, found->second);
    artist.list("album");
    for (const uint32_t album : call.shelf->artists[found->second].albums)
        writeAlbum(artist.item("album"), *call.shelf, album, false);
    return call.answer();
}

HttpReply SubsonicApi::getAlbum(Call &call)
{
    const auto id = call.required("id");
    if (!id)
        return call.fail(MissingParameter, "Required parameter is missing: id");
    const auto key = SubsonicIds::parseAlbum(*id);
    const auto found = key ? call.shelf->albumByKey.find(*key) : call.shelf->albumByKey.end();
    if (found == call.shelf->albumByKey.end())
        return call.fail(NotFound, "Album not found");
    auto &album = call.root.child("album");
    writeAlbum(album, *call.shelf, found->second, false);
    album.list("song");
    for (const auto &[song, track] : tracksOf(*call.shelf, call.shelf->albums[found->second].songs))
        writeSong(album.item("song"), *call.shelf, song, track);
    return call.answer();
}

HttpReply SubsonicApi::getMusicDirectory(Call &call)
{
    const auto id = call.required("id");
    if (!id)
        return call.fail(MissingParameter, "Required parameter is missing: id");
    const auto &shelf = *call.shelf;
    if (const auto artistKey = SubsonicIds::parseArtist(*id)) {
        const auto found = shelf.artistByKey.find(*artistKey);
        if (found != shelf.artistByKey.end()) {
            auto &directory = call.root.child("directory");
            directory.set("id", *id).set("name", shelf.artists[found->second].name);
            directory.list("child");
            for (const uint32_t album : shelf.artists[found->second].albums)
                writeAlbum(directory.item("child"), shelf, album, true);
            return call.answer();
        }
    }
    if (const auto albumKey = SubsonicIds::parseAlbum(*id)) {
        const auto found = shelf.albumByKey.find(*albumKey);
        if (found != shelf.albumByKey.end()) {
            const auto &album = shelf.albums[found->second];
            auto &directory = call.root.child("directory");
            directory.set("id", *id)
                .set("parent", SubsonicIds::artist(shelf.artists[album.artist].key))
                .set("name", album.name);
            directory.list("child");
            for (const auto &[song, track] : tracksOf(shelf, album.songs))
                writeSong(directory.item("child"), shelf, song, track);
            return call.answer();
        }
    }
    return call.fail(NotFound, "Directory not found");
}

HttpReply SubsonicApi::getSong(Call &call)
{
    const auto id = call.required("id");
    if (!id)
        return call.fail(MissingParameter, "Required parameter is missing: id");
    const auto key = SubsonicIds::parseSong(*id);
    const auto song = key ? call.shelf->song(*key) : std::nullopt;
    const auto track = song ? m_index.track(call.shelf->songs[*song].row) : std::nullopt;
    if (!track)
        return call.fail(NotFound, "Song not found");
    writeSong(call.root.child("song"), *call.shelf, *song, *track);
    return call.answer();
}

HttpReply SubsonicApi::getAlbumList(Call &call)
{
    return albumList(call, true);
}

HttpReply SubsonicApi::getAlbumList2(Call &call)
{
    return albumList(call, false);
}

HttpReply SubsonicApi::albumList(Call &call, bool asChildren)
{
    const auto type = call.required("type");
    if (!type)
        return call.fail(MissingParameter, "Required parameter is missing: type");
    const auto size = call.params.number("size", 10, 0, 500);
    const auto offset = call.params.number("offset", 0, 0, INT64_MAX);
    const auto folder = call.params.number("musicFolderId", 0, 0, INT32_MAX);
    if (!size || !offset || !folder)
        return call.fail(Generic, "size, offset and musicFolderId are whole numbers");
    if ((*type == "byYear" && (!call.params.has("fromYear") || !call.params.has("toYear")))
        || (*type == "byGenre" && !call.params.has("genre")))
        return call.fail(MissingParameter, *type == "byYear"
                                               ? "Required parameter is missing: fromYear, toYear"
                                               : "Required parameter is missing: genre");
    const auto &shelf = *call.shelf;
    auto &list = call.root.child(asChildren ? "albumList" : "albumList2");
    list.list("album");
    const auto inFolder = [&](uint32_t album) {
        return *folder == 0 || shelf.albums[album].folder == *folder;
    };
    // Walks an ordered list of albums from offset, keeping those in the folder asked for.
    const auto emit = [&](const std::vector<uint32_t> &order) {
        int64_t skipped = 0;
        int64_t written = 0;
        for (const uint32_t album : order) {
            if (written >= *size)
                break;
            if (!inFolder(album))
                continue;
            if (skipped++ < *offset)
                continue;
            writeAlbum(list.item("album"), shelf, album, asChildren);
            ++written;
        }
    };
    if (*type == "alphabeticalByName") {
        emit(shelf.albumsByName);
    } else if (*type == "alphabeticalByArtist") {
        emit(shelf.albumsByArtist);
    } else if (*type == "newest") {
        emit(shelf.albumsByNewest);
    } else if (*type == "random") {
        std::mt19937_64 random(std::random_device{}());
        std::vector<uint32_t> chosen;
        if (shelf.albums.size() <= 4096) {
            for (uint32_t i = 0; i < shelf.albums.size(); ++i) {
                if (inFolder(i))
                    chosen.push_back(i);
            }
            std::shuffle(chosen.begin(), chosen.end(), random);
            chosen.resize(size_t(std::min<int64_t>(*size, int64_t(chosen.size()))));
        } else {
            // Draws rather than shuffles: there may be hundreds of thousands.
            std::unordered_set<uint32_t> seen;
            std::uniform_int_distribution<uint32_t> pick(0, uint32_t(shelf.albums.size() - 1));
            for (int64_t tries = 0; int64_t(chosen.size()) < *size && tries < *size * 20; ++tries) {
                const uint32_t album = pick(random);
                if (inFolder(album) && seen.insert(album).second)
                    chosen.push_back(album);
            }
        }
        for (const uint32_t album : chosen)
            writeAlbum(list.item("album"), shelf, album, asChildren);
    } else if (*type == "recent" || *type == "frequent") {
        // Albums by the plays of their songs: most played, or played last.
        const auto plays
            = *type == "recent" ? m_plays.lastPlayed(10000) : m_plays.mostPlayed(10000);
        std::vector<uint32_t> order;
        std::unordered_map<uint32_t, int64_t> counts;
        for (const auto &play : plays) {
            const auto song = shelf.song(play.song);
            if (!song)
                continue;
            const uint32_t album = shelf.songs[*song].album;
            if (!inFolder(album))
                continue;
            auto [slot, added] = counts.emplace(album, 0);
            slot->second += play.count;
            if (added)
                order.push_back(album);
        }
        if (*type == "frequent")
            std::stable_sort(order.begin(), order.end(),
                             [&](uint32_t a, uint32_t b) { return counts[a] > counts[b]; });
        emit(order);
    } else if (*type == "starred" || *type == "highest" || *type == "byGenre"
               || *type == "byYear") {
        // Nothing is starred or rated, and the tags read carry no genre or year.
    } else {
        return call.fail(Generic, "unknown list type " + *type);
    }
    return call.answer();
}

HttpReply SubsonicApi::getRandomSongs(Call &call)
{
    const auto size = call.params.number("size", 10, 0, 500);
    const auto folder = call.params.number("musicFolderId", 0, 0, INT32_MAX);
    if (!size || !folder)
        return call.fail(Generic, "size and musicFolderId are whole numbers");
    const auto &shelf = *call.shelf;
    auto &list = call.root.child("randomSongs");
    list.list("song");
    if (call.params.has("genre"))
        return call.answer(); // no genres are read
    std::mt19937_64 random(std::random_device{}());
    std::vector<uint32_t> chosen;
    std::unordered_set<uint32_t> seen;
    // Draws rather than shuffles: the shelf may hold a million songs.
    for (int tries = 0;
         shelf.songs.size() > 0 && int64_t(chosen.size()) < *size && tries < *size * 20; ++tries) {
        std::uniform_int_distribution<uint32_t> pick(0, uint32_t(shelf.songs.size() - 1));
        const uint32_t song = pick(random);
        if ((*folder == 0 || shelf.songs[song].folder == *folder) && seen.insert(song).second)
            chosen.push_back(song);
    }
    for (const auto &[song, track] : tracksOf(shelf, chosen))
        writeSong(list.item("song"), shelf, song, track);
    return call.answer();
}

HttpReply SubsonicApi::search3(Call &call)
{
    const auto text = call.required("query");
    if (!text)
        return call.fail(MissingParameter, "Required parameter is missing: query");
    const auto artistCount = call.params.number("artistCount", 20, 0, 500);
    const auto artistOffset = call.params.number("artistOffset", 0, 0, INT64_MAX);
    const auto albumCount = call.params.number("albumCount", 20, 0, 500);
    const auto albumOffset = call.params.number("albumOffset", 0, 0, INT64_MAX);
    const auto songCount = call.params.number("songCount", 20, 0, 500);
    const auto songOffset = call.params.number("songOffset", 0, 0, INT64_MAX / 2);
    const auto folder = call.params.number("musicFolderId", 0, 0, INT32_MAX);
    if (!artistCount || !artistOffset || !albumCount || !albumOffset || !songCount || !songOffset
        || !folder)
        return call.fail(Generic, "counts, offsets and musicFolderId are whole numbers");
    const auto &shelf = *call.shelf;
    auto &result = call.root.child("searchResult3");
    result.list("artist");
    result.list("album");
    result.list("song");
    const SearchQuery query(*text);

    std::vector<uint32_t> artists;
    std::vector<uint32_t> albums;
    if (query.isEmpty()) {
        // An empty query (or "") lists everything: clients page through it to copy the
        // library.
        artists = shelf.artistsByName;
        albums = shelf.albumsByName;
        std::vector<uint32_t> songs;
        for (int64_t i = *songOffset;
             i < int64_t(shelf.songs.size()) && int64_t(songs.size()) < *songCount; ++i)
            songs.push_back(uint32_t(i));
        for (const auto &[song, track] : tracksOf(shelf, songs))
            writeSong(result.item("song"), shelf, song, track);
    } else {
        // One ranking gives the songs and, from the best of them, the albums and artists
        // whose names match the query.
        const int count = int(std::max<int64_t>(*songCount, 50));
        const int64_t start = *songOffset < 50 ? 0 : *songOffset;
        const SearchPage page = m_index.search(query, start, int(*songOffset - start) + count);
        std::unordered_set<uint32_t> seenAlbums;
        std::unordered_set<uint32_t> seenArtists;
        for (size_t i = 0; i < page.tracks.size(); ++i) {
            const auto &track = page.tracks[i];
            const auto song = shelf.songAt(track.id, SubsonicIds::songKey(track.path));
            if (!song)
                continue;
            const bool inPage = int64_t(i) + start >= *songOffset
                                && int64_t(i) + start < *songOffset + *songCount;
            if (inPage && (*folder == 0 || shelf.songs[*song].folder == *folder))
                writeSong(result.item("song"), shelf, *song, track);
            const uint32_t album = shelf.songs[*song].album;
            if (start == 0 && seenAlbums.insert(album).second
                && nameMatches(query, shelf.albums[album].name))
                albums.push_back(album);
            const uint32_t artist = shelf.songs[*song].artist;
            if (start == 0 && seenArtists.insert(artist).second
                && nameMatches(query, shelf.artists[artist].name))
                artists.push_back(artist);
        }
        result.set("songTotal", page.total);
    }
    for (int64_t i = *artistOffset; i < int64_t(artists.size()) && i < *artistOffset + *artistCount;
         ++i)
        writeArtist(result.item("artist"), shelf, artists[size_t(i)]);
    for (int64_t i = *albumOffset; i < int64_t(albums.size()) && i < *albumOffset + *albumCount;
         ++i)
        writeAlbum(result.item("album"), shelf, albums[size_t(i)], false);
    return call.answer();
}

HttpReply SubsonicApi::stream(Call &call)
{
    const auto id = call.required("id");
    if (!id)
        return call.fail(MissingParameter, "Required parameter is missing: id");
    const auto key = SubsonicIds::parseSong(*id);
    const auto song = key ? call.shelf->song(*key) : std::nullopt;
    const auto track = song ? m_index.track(call.shelf->songs[*song].row) : std::nullopt;
    if (!track)
        return call.fail(NotFound, "Song not found");
    if (track->path.empty() || track->path[0] != '/') {
        const bool json = call.json;
        const std::string range = call.request.header("Range");
        m_relay->relay(
            call.request.defer(), track->path, range, [json](const std::string &message) {
                SubsonicNode root("subsonic-response");
                root.set("status", "failed")
                    .set("version", apiVersion)
                    .set("type", serverName)
                    .set("serverVersion", LARKSPIN_VERSION)
                    .setFlag("openSubsonic", true);
                root.child("error").set("code", int64_t(Generic)).set("message", message);
                HttpReply reply;
                reply.status = 502;
                reply.contentType
                    = json ? "application/json; charset=utf-8" : "application/xml; charset=utf-8";
                reply.body = json ? root.json() : root.xml();
                return reply;
            });
        return {};
    }
    if (!m_fileServer)
        return call.fail(NotFound, "Song not found");
    HttpReply reply = m_fileServer(call.request, *track);
    if (reply.status == 404)
        return call.fail(NotFound, "the song's file cannot be served");
    if (call.method == "download" && reply.status / 100 == 2) {
        const std::string name = TextHelpers::slug(track->creator + " " + track->title) + ".mp3";
        reply.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + name + "\"");
    }
    return reply;
}

HttpReply SubsonicApi::getCoverArt(Call &call)
{
    const auto id = call.required("id");
    if (!id)
        return call.fail(MissingParameter, "Required parameter is missing: id");
    const auto &shelf = *call.shelf;
    std::vector<uint32_t> candidates;
    if (const auto key = SubsonicIds::parseSong(*id)) {
        if (const auto song = shelf.song(*key))
            candidates.push_back(*song);
    } else if (const auto albumKey = SubsonicIds::parseAlbum(*id)) {
        const auto found = shelf.albumByKey.find(*albumKey);
        if (found != shelf.albumByKey.end())
            candidates = shelf.albums[found->second].songs;
    }
    // The first of at most a few songs with a picture; files only, the web's are not fetched.
    int tried = 0;
    for (const uint32_t song : candidates) {
        if (++tried > 8)
            break;
        const auto track = m_index.track(shelf.songs[song].row);
        if (!track || track->path.empty() || track->path[0] != '/')
            continue;
        if (auto picture = SubsonicPicture::read(track->path)) {
            HttpReply reply;
            reply.contentType = picture->mimeType;
            reply.body = std::move(picture->data);
            reply.headers.emplace_back("Cache-Control", "max-age=3600");
            return reply;
        }
    }
    return call.fail(NotFound, "Cover art not found");
}

HttpReply SubsonicApi::scrobble(Call &call)
{
    const auto ids = call.params.values("id");
    if (ids.empty())
        return call.fail(MissingParameter, "Required parameter is missing: id");
    // Only a finished play counts; "now playing" notices (submission=false) do not.
    if (call.params.value("submission") == std::optional<std::string>("false"))
        return call.answer();
    std::vector<uint64_t> songs;
    for (const auto &id : ids) {
        const auto key = SubsonicIds::parseSong(id);
        if (!key || !call.shelf->song(*key))
            return call.fail(NotFound, "Song not found");
        songs.push_back(*key);
    }
    const auto times = call.params.values("time");
    for (size_t i = 0; i < songs.size(); ++i) {
        int64_t when = epochMs();
        if (i < times.size() && !times[i].empty() && times[i].size() < 16
            && std::all_of(times[i].begin(), times[i].end(),
                           [](char c) { return c >= '0' && c <= '9'; }))
            when = std::stoll(times[i]);
        m_plays.played(songs[i], when);
    }
    return call.answer();
}

HttpReply SubsonicApi::getPlaylists(Call &call)
{
    call.root.child("playlists").list("playlist");
    return call.answer();
}

HttpReply SubsonicApi::getPlaylist(Call &call)
{
    if (!call.params.has("id"))
        return call.fail(MissingParameter, "Required parameter is missing: id");
    return call.fail(NotFound, "Playlist not found");
}

HttpReply SubsonicApi::getUser(Call &call)
{
    const auto name = call.required("username");
    if (!name)
        return call.fail(MissingParameter, "Required parameter is missing: username");
    if (*name != call.user)
        return call.fail(NotAuthorized, "User is not authorized for the given operation.");
    auto &user = call.root.child("user");
    user.set("username", *name)
        .setFlag("scrobblingEnabled", true)
        .setFlag("adminRole", false)
        .setFlag("settingsRole", false)
        .setFlag("downloadRole", true)
        .setFlag("uploadRole", false)
        .setFlag("playlistRole", false)
        .setFlag("coverArtRole", true)
        .setFlag("commentRole", false)
        .setFlag("podcastRole", false)
        .setFlag("streamRole", true)
        .setFlag("jukeboxRole", false)
        .setFlag("shareRole", false)
        .setFlag("videoConversionRole", false);
    user.list("folder");
    for (uint32_t folder = 1; folder <= m_shelf.webFolder(); ++folder)
        user.item("folder").setNumberText(folder);
    return call.answer();
}

HttpReply SubsonicApi::getGenres(Call &call)
{
    call.root.child("genres").list("genre");
    return call.answer();
}

HttpReply SubsonicApi::getStarred(Call &call)
{
    call.root.child("starred");
    return call.answer();
}

HttpReply SubsonicApi::getStarred2(Call &call)
{
    call.root.child("starred2");
    return call.answer();
}

HttpReply SubsonicApi::getScanStatus(Call &call)
{
    call.root.child("scanStatus")
        .setFlag("scanning", false)
        .set("count", int64_t(call.shelf->songs.size()));
    return call.answer();
}

HttpReply SubsonicApi::getNowPlaying(Call &call)
{
    call.root.child("nowPlaying").list("entry");
    return call.answer();
}

} // namespace catalog
