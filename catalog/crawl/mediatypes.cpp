#include "mediatypes.h"

#include "texthelpers.h"
#include "weblink.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace catalog {

namespace {

bool hasEnding(const std::string &url, std::initializer_list<const char *> endings)
{
    std::string path = TextHelpers::lowerAscii(WebLink::target(url));
    path = path.substr(0, path.find('?'));
    for (const char *ending : endings) {
        const size_t length = std::strlen(ending);
        if (path.size() >= length && path.compare(path.size() - length, length, ending) == 0)
            return true;
    }
    return false;
}

const std::initializer_list<const char *> playlistEndings = {".m3u", ".m3u8", ".pls", ".xspf"};

} // namespace

std::string MediaTypes::of(const char *header, std::string *charset)
{
    const std::string text = header ? TextHelpers::lowerAscii(header) : std::string();
    const size_t semicolon = text.find(';');
    std::string type = text.substr(0, semicolon);
    while (!type.empty() && type.back() == ' ')
        type.pop_back();
    if (charset && semicolon != std::string::npos) {
        const size_t at = text.find("charset=", semicolon);
        if (at != std::string::npos) {
            std::string value = text.substr(at + 8);
            value = value.substr(0, value.find(';'));
            value.erase(std::remove(value.begin(), value.end(), '"'), value.end());
            value.erase(std::remove(value.begin(), value.end(), ' '), value.end());
            *charset = value;
        }
    }
    return type;
}

MediaTypes::PageKind MediaTypes::pageKind(const std::string &type, const std::string &url,
                                          std::string_view body)
{
    static const char *const playlistTypes[]
        = {"audio/x-mpegurl",       "audio/mpegurl", "application/vnd.apple.mpegurl",
           "application/x-mpegurl", "audio/x-scpls", "application/xspf+xml",
           "application/pls+xml"};
    for (const char *playlist : playlistTypes) {
        if (type == playlist)
            return PageKind::Playlist;
    }
    if (type == "application/rss+xml" || type == "application/atom+xml")
        return PageKind::Feed;
    if (type == "text/html" || type == "application/xhtml+xml")
        return PageKind::Html;
    if (hasEnding(url, playlistEndings))
        return PageKind::Playlist;
    // Servers label feeds and playlists loosely: look at how the text begins.
    const std::string start = TextHelpers::lowerAscii(std::string(body.substr(0, 2048)));
    if (start.find("<rss") != std::string::npos || start.find("<feed") != std::string::npos
        || start.find("<rdf:rdf") != std::string::npos || start.find("<urlset") != std::string::npos
        || start.find("<sitemapindex") != std::string::npos)
        return PageKind::Feed; // sitemaps too: FeedLinks reads them
    if (start.find("<playlist") != std::string::npos || start.find("#extm3u") == 0
        || start.find("[playlist]") != std::string::npos)
        return PageKind::Playlist;
    if (start.find("<html") != std::string::npos
        || start.find("<!doctype html") != std::string::npos)
        return PageKind::Html;
    return PageKind::Other;
}

bool MediaTypes::isPage(const std::string &type, const std::string &url)
{
    if (type.empty() || type.compare(0, 5, "text/") == 0 || type.find("xml") != std::string::npos
        || type.find("mpegurl") != std::string::npos || type == "audio/x-scpls")
        return true;
    return type == "application/octet-stream" && hasEnding(url, playlistEndings);
}

bool MediaTypes::isSurelyNoPage(const std::string &url)
{
    return hasEnding(url,
                     {".jpg",  ".jpeg", ".png", ".gif",  ".webp", ".svg", ".ico",  ".bmp",
                      ".css",  ".js",   ".pdf", ".zip",  ".rar",  ".7z",  ".tar",  ".gz",
                      ".tgz",  ".bz2",  ".xz",  ".iso",  ".exe",  ".dmg", ".deb",  ".rpm",
                      ".flac", ".ogg",  ".oga", ".opus", ".wav",  ".aac", ".m4a",  ".wma",
                      ".mp2",  ".mp4",  ".m4v", ".mkv",  ".avi",  ".mov", ".webm", ".torrent"});
}

bool MediaTypes::isAudio(const std::string &type)
{
    return type.compare(0, 6, "audio/") == 0 || type == "application/octet-stream";
}

} // namespace catalog
