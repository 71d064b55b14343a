#include "sqliteconnection.h"

#include <sqlite3.h>

namespace catalog {

SqliteConnection::~SqliteConnection()
{
    m_statements.clear();
    sqlite3_close_v2(m_db);
}

bool SqliteConnection::open(const std::string &path, std::string *error)
{
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
        if (error)
            *error = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        return false;
    }
    sqlite3_busy_timeout(m_db, 10000);
    return exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-8000;"
                "PRAGMA temp_store=MEMORY;",
                error);
}

bool SqliteConnection::exec(const std::string &sql, std::string *error)
{
    char *message = nullptr;
    if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        if (error)
            *error = message ? message : "unknown SQLite error";
        sqlite3_free(message);
        return false;
    }
    return true;
}

SqliteStatement &SqliteConnection::statement(const std::string &sql)
{
    auto &slot = m_statements[sql];
    if (!slot)
        slot = std::make_unique<SqliteStatement>(m_db, sql);
    return *slot;
}

int64_t SqliteConnection::lastInsertId() const
{
    return sqlite3_last_insert_rowid(m_db);
}

int SqliteConnection::changes() const
{
    return sqlite3_changes(m_db);
}

std::string SqliteConnection::lastError() const
{
    return m_db ? sqlite3_errmsg(m_db) : "database not open";
}

} // namespace catalog
