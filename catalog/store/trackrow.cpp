#include "trackrow.h"

#include "sqlitestatement.h"

namespace catalog {

TrackRecord TrackRow::read(const SqliteStatement &statement, int firstColumn)
{
    TrackRecord track;
    track.id = statement.integer(firstColumn);
    track.path = statement.text(firstColumn + 1);
    track.fileName = statement.text(firstColumn + 2);
    track.title = statement.text(firstColumn + 3);
    track.creator = statement.text(firstColumn + 4);
    track.album = statement.text(firstColumn + 5);
    track.durationMs = statement.integer(firstColumn + 6);
    track.size = statement.integer(firstColumn + 7);
    track.mtimeNs = statement.integer(firstColumn + 8);
    return track;
}

} // namespace catalog
