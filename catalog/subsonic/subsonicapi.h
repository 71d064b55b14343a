#pragma once

#include "httpreply.h"
#include "subsonicplays.h"
#include "subsonicshelf.h"
#include "subsonicusers.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace catalog {

class CatalogSearch;
class HttpRequest;
class SubsonicNode;
class SubsonicParams;
class SubsonicRelay;
struct TrackRecord;

// What the API is given. Plain data, made by CatalogOptions.
struct SubsonicSettings
{
    std::string usersFile;                 // "name:password" lines; readable by its owner only
    std::string playsPath;                 // the database of plays
    std::vector<std::string> musicFolders; // one music folder each, then "Web"
    bool relayAllowPrivate = false;        // relayed tracks may come from private addresses
    double relayTimeoutSeconds = 300;
};

// The catalogue as the Subsonic API (1.16.1, with the OpenSubsonic extensions it lists)
// serves it under /rest/: answers in XML, or JSON with f=json, to GET and form POST, after
// the login each request carries. Runs on the front's event loops, several at once. It borrows
// the index, which outlives it, and owns its users, plays, shelf of albums and artists, and the
// relay of tracks found on the web. Every failure is an answer of the API: an error element
// with its code (10 a missing parameter, 40 a failed login, 70 an unknown id, and so on).
class SubsonicApi
{
public:
    // Serves a track's file as the service's own track URLs do; set before serving.
    using FileServer
        = std::function<HttpReply(const HttpRequest &request, const TrackRecord &track)>;

    SubsonicApi(CatalogSearch &index, SubsonicSettings settings);
    ~SubsonicApi();
    SubsonicApi(const SubsonicApi &) = delete;
    SubsonicApi &operator=(const SubsonicApi &) = delete;

    // Reads the users and opens the plays; false with *error when the service must not start.
    bool open(std::string *error);
    void setFileServer(FileServer server) { m_fileServer = std::move(server); }

    // path starts with "/rest/".
    HttpReply handle(const HttpRequest &request, const std::string &path);

    // Stops the relay's transfers; requests relayed from then on fail. Idempotent.
    void stop();

private:
    struct Call;
    using Method = HttpReply (SubsonicApi::*)(Call &call);

    HttpReply ping(Call &call);
    HttpReply getLicense(Call &call);
    HttpReply getOpenSubsonicExtensions(Call &call);
    HttpReply getMusicFolders(Call &call);
    HttpReply getIndexes(Call &call);
    HttpReply getArtists(Call &call);
    HttpReply getArtist(Call &call);
    HttpReply getAlbum(Call &call);
    HttpReply getMusicDirectory(Call &call);
    HttpReply getSong(Call &call);
    HttpReply getAlbumList(Call &call);
    HttpReply getAlbumList2(Call &call);
    HttpReply getRandomSongs(Call &call);
    HttpReply search3(Call &call);
    HttpReply stream(Call &call);
    HttpReply getCoverArt(Call &call);
    HttpReply scrobble(Call &call);
    HttpReply getPlaylists(Call &call);
    HttpReply getPlaylist(Call &call);
    HttpReply getUser(Call &call);
    HttpReply getGenres(Call &call);
    HttpReply getStarred(Call &call);
    HttpReply getStarred2(Call &call);
    HttpReply getScanStatus(Call &call);
    HttpReply getNowPlaying(Call &call);

    HttpReply albumList(Call &call, bool asChildren);
    void writeSong(SubsonicNode &node, const SubsonicShelfData &shelf, uint32_t song,
                   const TrackRecord &track) const;
    void writeAlbum(SubsonicNode &node, const SubsonicShelfData &shelf, uint32_t album,
                    bool asChild) const;
    void writeArtist(SubsonicNode &node, const SubsonicShelfData &shelf, uint32_t artist) const;
    // The songs' tracks, in order; a song whose row is gone is left out.
    std::vector<std::pair<uint32_t, TrackRecord>> tracksOf(const SubsonicShelfData &shelf,
                                                           const std::vector<uint32_t> &songs);
    std::string folderName(uint32_t folder) const;

    CatalogSearch &m_index;
    const SubsonicSettings m_settings;
    SubsonicUsers m_users;
    SubsonicPlays m_plays;
    SubsonicShelf m_shelf;
    std::unique_ptr<SubsonicRelay> m_relay;
    FileServer m_fileServer;
};

} // namespace catalog
