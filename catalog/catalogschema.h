#pragma once

#include <string>

namespace catalog {

class SqliteConnection;

// The tables of the catalogue: one row per file in "tracks", and an FTS5 index over its
// title, creator, album and file name that triggers keep in step with it.
class CatalogSchema
{
public:
    static bool apply(SqliteConnection &connection, std::string *error);
};

} // namespace catalog
