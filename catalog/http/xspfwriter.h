#pragma once

#include <cstdint>
#include <string>

namespace catalog {

struct SearchPage;
struct TrackRecord;

// Writes a search result page as an XSPF playlist. The root carries total, start, end
// (start + tracks on the page - 1), next (0 when there is no further page) and prev. Pure
// functions, safe on any thread; an empty page is a playlist without tracks.
class XspfWriter
{
public:
    // baseUrl: "http://host:port" without a trailing slash; track locations start with it.
    static std::string write(const SearchPage &page, int64_t start, int pageSize,
                             const std::string &baseUrl);

    // The absolute URL under which the track's file is served.
    static std::string location(const TrackRecord &track, const std::string &baseUrl);
};

} // namespace catalog
