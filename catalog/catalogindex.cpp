#include "catalogindex.h"

#include "catalogschema.h"
#include "searchquery.h"
#include "sqliteconnection.h"

namespace catalog {

namespace {

// Title and creator count most; the file name usually repeats them.
const char *const rankingSql = "SELECT rowid FROM tracks_fts WHERE tracks_fts MATCH ?1"
                               " ORDER BY bm25(tracks_fts, 4.0, 4.0, 2.0, 1.0), rowid";
const char *const trackSql = "SELECT id, path, filename, title, creator, album, duration_ms,"
                             " size, mtime FROM tracks WHERE id = ?1";

// About 64 MB of cached ids.
constexpr size_t cacheCapacity = 8 * 1024 * 1024;

TrackRecord readTrack(const SqliteStatement &statement)
{
    TrackRecord track;
    track.id = statement.integer(0);
    track.path = statement.text(1);
    track.fileName = statement.text(2);
    track.title = statement.text(3);
    track.creator = statement.text(4);
    track.album = statement.text(5);
    track.durationMs = statement.integer(6);
    track.size = statement.integer(7);
    track.mtimeNs = statement.integer(8);
    return track;
}

} // namespace

class CatalogIndex::Lease
{
public:
    explicit Lease(CatalogIndex &index)
        : m_index(index)
        , m_connection(index.acquire())
    {}
    ~Lease() { m_index.release(std::move(m_connection)); }
    SqliteConnection *get() const { return m_connection.get(); }

private:
    CatalogIndex &m_index;
    std::unique_ptr<SqliteConnection> m_connection;
};

CatalogIndex::CatalogIndex(std::string databasePath)
    : m_path(std::move(databasePath))
    , m_cache(cacheCapacity)
{}

CatalogIndex::~CatalogIndex() = default;

bool CatalogIndex::open(std::string *error)
{
    auto connection = std::make_unique<SqliteConnection>();
    if (!connection->open(m_path, error) || !CatalogSchema::apply(*connection, error))
        return false;
    release(std::move(connection));
    return true;
}

std::unique_ptr<SqliteConnection> CatalogIndex::acquire()
{
    {
        std::lock_guard<std::mutex> lock(m_poolMutex);
        if (!m_pool.empty()) {
            auto connection = std::move(m_pool.back());
            m_pool.pop_back();
            return connection;
        }
    }
    auto connection = std::make_unique<SqliteConnection>();
    if (!connection->open(m_path, nullptr))
        return nullptr;
    return connection;
}

void CatalogIndex::release(std::unique_ptr<SqliteConnection> connection)
{
    if (!connection)
        return;
    std::lock_guard<std::mutex> lock(m_poolMutex);
    m_pool.push_back(std::move(connection));
}

std::shared_ptr<const std::vector<int64_t>>
CatalogIndex::ranking(SqliteConnection &connection, const std::string &expression, bool fresh)
{
    if (!fresh) {
        if (auto cached = m_cache.find(expression))
            return cached;
    }
    const uint64_t generation = m_cache.generation();
    auto ids = std::make_shared<std::vector<int64_t>>();
    auto &statement = connection.statement(rankingSql);
    if (!statement.isValid())
        return ids;
    statement.bind(1, expression);
    while (statement.step())
        ids->push_back(statement.integer(0));
    statement.reset();
    std::shared_ptr<const std::vector<int64_t>> result = std::move(ids);
    m_cache.insert(expression, generation, result, fresh);
    return result;
}

bool CatalogIndex::readPage(SqliteConnection &connection, const std::vector<int64_t> &ids,
                            int64_t start, int count, SearchPage &page)
{
    page.total = int64_t(ids.size());
    page.tracks.clear();
    auto &statement = connection.statement(trackSql);
    for (int64_t i = start; i < page.total && i < start + count; ++i) {
        statement.bind(1, ids[size_t(i)]);
        const bool found = statement.step();
        if (found)
            page.tracks.push_back(readTrack(statement));
        statement.reset();
        if (!found)
            return false;
    }
    return true;
}

SearchPage CatalogIndex::search(const SearchQuery &query, int64_t start, int count)
{
    SearchPage page;
    if (query.isEmpty() || start < 0 || count <= 0)
        return page;
    Lease lease(*this);
    if (!lease.get())
        return page;
    SqliteConnection &connection = *lease.get();
    // One read transaction: the ranking (when made here) and the page come from one snapshot.
    // A cached ranking may hold tracks a rescan has removed since; such a page is ranked
    // again in this snapshot, so it always holds as many tracks as its total promises.
    connection.exec("BEGIN");
    const std::string expression = query.matchExpression();
    if (!readPage(connection, *ranking(connection, expression, false), start, count, page))
        readPage(connection, *ranking(connection, expression, true), start, count, page);
    connection.exec("COMMIT");
    return page;
}

std::optional<TrackRecord> CatalogIndex::track(int64_t id)
{
    Lease lease(*this);
    if (!lease.get())
        return std::nullopt;
    auto &statement = lease.get()->statement(trackSql);
    statement.bind(1, id);
    std::optional<TrackRecord> result;
    if (statement.step()) {
        result = readTrack(statement);
    }
    statement.reset();
    return result;
}

int64_t CatalogIndex::trackCount()
{
    Lease lease(*this);
    if (!lease.get())
        return 0;
    auto &statement = lease.get()->statement("SELECT count(*) FROM tracks");
    const int64_t count = statement.step() ? statement.integer(0) : 0;
    statement.reset();
    return count;
}

void CatalogIndex::changed()
{
    m_cache.invalidate();
}

} // namespace catalog
