#include "sqlitestatement.h"

#include <sqlite3.h>

namespace catalog {

SqliteStatement::SqliteStatement(sqlite3 *db, std::string_view sql)
    : m_db(db)
{
    if (sqlite3_prepare_v3(db, sql.data(), int(sql.size()), SQLITE_PREPARE_PERSISTENT, &m_stmt,
                           nullptr)
        != SQLITE_OK) {
        m_stmt = nullptr;
    }
}

SqliteStatement::~SqliteStatement()
{
    sqlite3_finalize(m_stmt);
}

void SqliteStatement::bind(int index, int64_t value)
{
    sqlite3_bind_int64(m_stmt, index, value);
}

void SqliteStatement::bind(int index, std::string_view value)
{
    sqlite3_bind_text(m_stmt, index, value.data(), int(value.size()), SQLITE_TRANSIENT);
}

void SqliteStatement::bindUncopied(int index, std::string_view value)
{
    sqlite3_bind_text(m_stmt, index, value.data(), int(value.size()), SQLITE_STATIC);
}

bool SqliteStatement::step()
{
    if (!m_stmt)
        return false;
    const int rc = sqlite3_step(m_stmt);
    m_failed = rc != SQLITE_ROW && rc != SQLITE_DONE;
    return rc == SQLITE_ROW;
}

bool SqliteStatement::run()
{
    if (!m_stmt)
        return false;
    while (step()) {
    }
    const bool ok = !m_failed;
    reset();
    return ok;
}

void SqliteStatement::reset()
{
    if (!m_stmt)
        return;
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

int64_t SqliteStatement::integer(int column) const
{
    return sqlite3_column_int64(m_stmt, column);
}

std::string SqliteStatement::text(int column) const
{
    const auto *data = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column));
    return data ? std::string(data, size_t(sqlite3_column_bytes(m_stmt, column))) : std::string();
}

std::string SqliteStatement::lastError() const
{
    return sqlite3_errmsg(m_db);
}

} // namespace catalog
