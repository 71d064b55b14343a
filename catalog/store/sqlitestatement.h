#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace catalog {

// A prepared statement that is reset (not finalised) after every use, so it can be kept
// for the life of its connection. Not thread-safe: it belongs to one connection, which owns
// it (SqliteConnection::statement()). One that could not be prepared is not valid, and its
// step() and run() return false.
class SqliteStatement
{
public:
    SqliteStatement(sqlite3 *db, std::string_view sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement &) = delete;
    SqliteStatement &operator=(const SqliteStatement &) = delete;

    bool isValid() const { return m_stmt != nullptr; }

    void bind(int index, int64_t value);
    void bind(int index, std::string_view value);
    // Binds without a copy: the text must stay as it is until the next reset().
    void bindUncopied(int index, std::string_view value);

    // True while a row is available; false at the end and on error (see lastError()).
    bool step();
    // Whether the last step() ended in an error rather than a row or the end.
    bool failed() const { return m_failed; }
    // Runs a statement that returns no rows; false on error.
    bool run();
    void reset();

    int64_t integer(int column) const;
    std::string text(int column) const;

    std::string lastError() const;

private:
    sqlite3 *m_db = nullptr;
    sqlite3_stmt *m_stmt = nullptr;
    bool m_failed = false;
};

} // namespace catalog
