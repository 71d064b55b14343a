#pragma once

#include "trackrecord.h"

#include <string>

namespace catalog {

// What a name says of a track when its tags do not: "Artist - Title" gives both, any other
// name is the title. A pure function, safe on any thread; it cannot fail.
class TrackNames
{
public:
    // Fills the track's title and creator where they are empty.
    static void fillFromName(TrackRecord &track, const std::string &name);
};

} // namespace catalog
