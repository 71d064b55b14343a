#include "playlistlinks.h"

#include "linkresolver.h"
#include "texthelpers.h"
#include "weblink.h"
#include "xmlnodes.h"

#include <libxml/parser.h>

#include <climits>
#include <cstdlib>
#include <map>

namespace catalog {

namespace {

template<typename Line>
void eachLine(std::string_view body, Line line)
{
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find('\n', start);
        if (end == std::string_view::npos)
            end = body.size();
        line(TextHelpers::trimmed(body.substr(start, end - start)));
        start = end + 1;
    }
}

void addTrack(PageLinks &links, const LinkResolver &base, std::string_view reference,
              std::string_view title, std::string_view creator)
{
    if (links.tracks.size() >= PageLinks::maxTracks)
        return;
    const std::string href = base.resolve(reference);
    if (!href.empty() && WebLink::isMp3(href))
        links.tracks.push_back(
            {href, TextHelpers::bounded(title), TextHelpers::bounded(creator), {}});
}

PageLinks readM3u(std::string_view body, const std::string &url)
{
    const LinkResolver base(url);
    PageLinks links;
    if (body.find("#EXT-X-TARGETDURATION") != std::string_view::npos
        || body.find("#EXT-X-MEDIA-SEQUENCE") != std::string_view::npos)
        return links;
    std::string_view title, creator;
    eachLine(body, [&](std::string_view line) {
        if (line.empty())
            return;
        if (line.compare(0, 8, "#EXTINF:") == 0) {
            const size_t comma = line.find(',');
            const std::string_view name = comma == std::string_view::npos
                                              ? std::string_view()
                                              : TextHelpers::trimmed(line.substr(comma + 1));
            const size_t dash = name.find(" - ");
            creator = dash == std::string_view::npos ? std::string_view()
                                                     : TextHelpers::trimmed(name.substr(0, dash));
            title = dash == std::string_view::npos ? name
                                                   : TextHelpers::trimmed(name.substr(dash + 3));
            return;
        }
        if (line.front() == '#')
            return;
        addTrack(links, base, line, title, creator);
        title = creator = std::string_view();
    });
    return links;
}

PageLinks readPls(std::string_view body, const std::string &url)
{
    const LinkResolver base(url);
    std::map<long, std::pair<std::string_view, std::string_view>> entries; // file, title
    eachLine(body, [&](std::string_view line) {
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            return;
        const std::string key(TextHelpers::trimmed(line.substr(0, equals)));
        const std::string_view value = TextHelpers::trimmed(line.substr(equals + 1));
        for (const char *prefix : {"File", "Title"}) {
            const size_t length = std::char_traits<char>::length(prefix);
            if (key.size() > length && key.compare(0, length, prefix) == 0) {
                char *end = nullptr;
                const long number = std::strtol(key.c_str() + length, &end, 10);
                if (*end == '\0' && entries.size() < 100000) {
                    auto &entry = entries[number];
                    (length == 4 ? entry.first : entry.second) = value;
                }
            }
        }
    });
    PageLinks links;
    for (const auto &[number, entry] : entries)
        addTrack(links, base, entry.first, entry.second, {});
    return links;
}

PageLinks readXspf(std::string_view body, const std::string &url)
{
    const LinkResolver base(url);
    PageLinks links;
    if (body.size() > size_t(INT_MAX))
        return links;
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING
                        | XML_PARSE_NOCDATA | XML_PARSE_RECOVER;
    XmlNodes::Document document(
        xmlReadMemory(body.data(), int(body.size()), url.c_str(), nullptr, options));
    if (!document || (document->intSubset && document->intSubset->entities))
        return links;
    xmlNode *playlist = xmlDocGetRootElement(document.get());
    if (!playlist)
        return links;
    xmlNode *list = XmlNodes::child(playlist, "trackList");
    for (xmlNode *track = list ? list->children : nullptr; track; track = track->next) {
        if (!XmlNodes::named(track, "track"))
            continue;
        xmlNode *location = XmlNodes::child(track, "location");
        xmlNode *title = XmlNodes::child(track, "title");
        xmlNode *creator = XmlNodes::child(track, "creator");
        if (location)
            addTrack(links, base, XmlNodes::text(location),
                     title ? XmlNodes::text(title) : std::string(),
                     creator ? XmlNodes::text(creator) : std::string());
    }
    return links;
}

} // namespace

PageLinks PlaylistLinks::read(std::string_view body, const std::string &url)
{
    const std::string_view start = TextHelpers::trimmed(body.substr(0, 512));
    if (start.compare(0, 1, "<") == 0)
        return readXspf(body, url);
    if (start.compare(0, 10, "[playlist]") == 0 || start.compare(0, 10, "[Playlist]") == 0)
        return readPls(body, url);
    return readM3u(body, url);
}

} // namespace catalog
