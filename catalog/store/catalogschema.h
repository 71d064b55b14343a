#pragma once

#include <string>

namespace catalog {

class SqliteConnection;

// The tables of the catalogue: one row per file in "tracks", and "search_log", the ids of
// tracks written since the full-text index (SearchIndexWriter) took them in, which triggers
// fill and the index writer empties.
class CatalogSchema
{
public:
    static bool apply(SqliteConnection &connection, std::string *error);
};

} // namespace catalog
