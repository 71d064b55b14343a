#pragma once

#include "trackrecord.h"

namespace catalog {

class SqliteStatement;

// A row of the tracks table as a TrackRecord: the columns to select, in this order, and the
// reading of them from a statement, starting at a given column. Pure, safe on any thread; a
// NULL column reads as 0 or empty.
class TrackRow
{
public:
    static constexpr const char *columns
        = "tracks.id, path, filename, title, creator, album, duration_ms, size, mtime";

    static TrackRecord read(const SqliteStatement &statement, int firstColumn = 0);
};

} // namespace catalog
