#pragma once

#include <string>

namespace catalog {

class SqliteConnection;

// The tables of the tracks: one row per track in "tracks" (a file, or a crawled address), and
// "search_log", the ids of tracks written since the full-text index (FullTextWriter) took
// them in, which triggers fill and CatalogWriter empties. The crawl state's tables are
// CrawlStore's. apply() creates what is missing on the given connection, on the thread that
// uses it; false with *error when it cannot.
class CatalogSchema
{
public:
    static bool apply(SqliteConnection &connection, std::string *error);
};

} // namespace catalog
