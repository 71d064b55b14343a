#pragma once

#include "sqlitestatement.h"

#include <memory>
#include <string>
#include <unordered_map>

namespace catalog {

// One SQLite connection with its own prepared-statement cache; it owns the handle and the
// statements, which live as long as it does. Used by one thread at a time: CatalogWriter
// owns one, and CatalogSearch hands its readers' out from a small pool. Failures return
// false with *error, or leave a statement that is not valid; lastError() says why.
class SqliteConnection
{
public:
    SqliteConnection() = default;
    ~SqliteConnection();
    SqliteConnection(const SqliteConnection &) = delete;
    SqliteConnection &operator=(const SqliteConnection &) = delete;

    // Opens (creating if needed) the database in WAL mode. On failure returns false and
    // fills *error.
    bool open(const std::string &path, std::string *error);

    bool exec(const std::string &sql, std::string *error = nullptr);

    // The cached statement for sql, prepared on first use; check isValid() on it.
    SqliteStatement &statement(const std::string &sql);

    int64_t lastInsertId() const;
    int changes() const;
    std::string lastError() const;

private:
    ::sqlite3 *m_db = nullptr;
    // Keyed by the SQL text; statements share long prefixes, so hash rather than compare.
    std::unordered_map<std::string, std::unique_ptr<SqliteStatement>> m_statements;
};

} // namespace catalog
