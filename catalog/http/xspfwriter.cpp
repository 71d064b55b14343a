#include "xspfwriter.h"

#include "pagesource.h"
#include "texthelpers.h"

#include <algorithm>

namespace catalog {

namespace {

void appendElement(std::string &out, const char *name, const std::string &value)
{
    out += "      <";
    out += name;
    out += '>';
    if (TextHelpers::escapesNothing(value))
        out += value;
    else
        out += TextHelpers::escapeXml(TextHelpers::escapeValue(value));
    out += "</";
    out += name;
    out += ">\n";
}

} // namespace

std::string XspfWriter::location(const TrackRecord &track, const std::string &baseUrl)
{
    // A track found on the web is fetched from the host that serves it.
    if (track.path.compare(0, 7, "http://") == 0 || track.path.compare(0, 8, "https://") == 0)
        return track.path;
    const std::string name
        = track.creator.empty() ? track.title : track.creator + " - " + track.title;
    return baseUrl + "/tracks/" + std::to_string(track.id) + "/" + TextHelpers::slug(name) + ".mp3";
}

std::string XspfWriter::write(const SearchPage &page, int64_t start, int pageSize,
                              const std::string &baseUrl)
{
    const auto onPage = int64_t(page.tracks.size());
    const int64_t end = start + onPage - 1;
    const int64_t next = onPage > 0 && start + onPage < page.total ? start + onPage : 0;
    const int64_t prev = start > 0 ? std::max<int64_t>(0, start - pageSize) : 0;

    std::string out;
    out.reserve(512 + page.tracks.size() * 400);
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<playlist version=\"1\" xmlns=\"http://xspf.org/ns/0/\" total=\""
           + std::to_string(page.total) + "\" start=\"" + std::to_string(start) + "\" end=\""
           + std::to_string(end) + "\" next=\"" + std::to_string(next) + "\" prev=\""
           + std::to_string(prev) + "\">\n";
    out += "  <trackList>\n";
    for (const auto &track : page.tracks) {
        out += "    <track>\n";
        appendElement(out, "title", track.title);
        appendElement(out, "creator", track.creator);
        appendElement(out, "location", location(track, baseUrl));
        appendElement(out, "album", track.album);
        out += "      <duration>" + std::to_string(track.durationMs) + "</duration>\n";
        out += "    </track>\n";
    }
    out += "  </trackList>\n</playlist>\n";
    return out;
}

} // namespace catalog
