#pragma once

#include "pagelinks.h"

#include <string>
#include <string_view>

namespace catalog {

// The tracks of a playlist: M3U and M3U8 ("#EXTINF:seconds,Artist - Title" names the next
// entry; a list of HLS segments is not a playlist of tracks and gives nothing), PLS
// ("FileN=", "TitleN=") and XSPF (location, title, creator; read with libxml2). The format is
// told from the content, since servers label playlists loosely. Runs on the crawler's parser
// thread, keeping no state; what cannot be read is skipped, so a broken playlist gives fewer
// links or none.
class PlaylistLinks
{
public:
    static PageLinks read(std::string_view body, const std::string &url);
};

} // namespace catalog
