#include "catalogsearch.h"

#include "catalogschema.h"
#include "fulltextreader.h"
#include "fulltextwriter.h"
#include "searchquery.h"
#include "searchtotals.h"
#include "sharedcounts.h"
#include "sqliteconnection.h"
#include "trackrow.h"

#include <cstring>

namespace catalog {

namespace {

// Totals of the word sets searched lately: pages after the first of a search, and searches
// asked for again, reuse them.
constexpr size_t totalSlots = 16384;

// Rankings of the pages searched lately, beside the service's cache of whole pages: a page that
// cache let go costs its tracks' rows again rather than a search. About 30,000 pages of 50.
constexpr size_t rankingBytes = 16 * 1024 * 1024;

// The counts of common words and of last words' common completions that the readers share:
// 96 of them at a million tracks.
constexpr size_t sharedCountBytes = 96 * 1024 * 1024;

std::string rankingKey(const SearchQuery &query, int64_t start, int count)
{
    std::string key = std::to_string(start) + ' ' + std::to_string(count);
    for (const auto &word : query.words())
        key.append(1, ' ').append(word);
    return key;
}

// The total, then the ids, as they lie in memory.
std::shared_ptr<const std::string> packRanking(int64_t total, const std::vector<int64_t> &ids)
{
    auto packed = std::make_shared<std::string>(sizeof total * (ids.size() + 1), '\0');
    std::memcpy(packed->data(), &total, sizeof total);
    if (!ids.empty())
        std::memcpy(packed->data() + sizeof total, ids.data(), sizeof total * ids.size());
    return packed;
}

int64_t unpackRanking(const std::string &packed, std::vector<int64_t> &ids)
{
    int64_t total = 0;
    std::memcpy(&total, packed.data(), sizeof total);
    ids.resize(packed.size() / sizeof total - 1);
    if (!ids.empty())
        std::memcpy(ids.data(), packed.data() + sizeof total, sizeof total * ids.size());
    return total;
}

const std::string trackSql
    = std::string("SELECT ") + TrackRow::columns + " FROM tracks WHERE id = ?1";

} // namespace

struct CatalogSearch::Reader
{
    Reader(const std::string &path, SearchTotals &totals, SharedCounts &counts)
        : search(FullTextWriter::pathFor(path), &totals, &counts)
    {}

    SqliteConnection tracks;
    FullTextReader search;
    uint64_t generation = 0;
};

class CatalogSearch::Lease
{
public:
    explicit Lease(CatalogSearch &index)
        : m_index(index)
        , m_reader(index.acquire())
    {}
    ~Lease() { m_index.release(std::move(m_reader)); }
    Reader *get() const { return m_reader.get(); }

private:
    CatalogSearch &m_index;
    std::unique_ptr<Reader> m_reader;
};

CatalogSearch::CatalogSearch(std::string databasePath)
    : m_path(std::move(databasePath))
    , m_totals(std::make_unique<SearchTotals>(totalSlots))
    , m_counts(std::make_unique<SharedCounts>(sharedCountBytes))
    , m_rankings(rankingBytes)
{}

CatalogSearch::~CatalogSearch() = default;

bool CatalogSearch::open(std::string *error)
{
    auto reader = std::make_unique<Reader>(m_path, *m_totals, *m_counts);
    if (!reader->tracks.open(m_path, error) || !CatalogSchema::apply(reader->tracks, error))
        return false;
    release(std::move(reader));
    return true;
}

size_t CatalogSearch::warm()
{
    Lease lease(*this);
    Reader *reader = lease.get();
    if (!reader)
        return 0;
    if (reader->generation != m_generation) {
        reader->search.refresh();
        reader->generation = m_generation;
    }
    // Half the shared counts: the rest for what the searches ask for beyond the commonest.
    return reader->search.warm(sharedCountBytes / 2);
}

std::unique_ptr<CatalogSearch::Reader> CatalogSearch::acquire()
{
    {
        std::lock_guard<std::mutex> lock(m_poolMutex);
        if (!m_pool.empty()) {
            auto reader = std::move(m_pool.back());
            m_pool.pop_back();
            return reader;
        }
    }
    auto reader = std::make_unique<Reader>(m_path, *m_totals, *m_counts);
    if (!reader->tracks.open(m_path, nullptr))
        return nullptr;
    return reader;
}

void CatalogSearch::release(std::unique_ptr<Reader> reader)
{
    if (!reader)
        return;
    std::lock_guard<std::mutex> lock(m_poolMutex);
    m_pool.push_back(std::move(reader));
}

bool CatalogSearch::readPage(SqliteConnection &connection, const std::vector<int64_t> &ids,
                             SearchPage &page)
{
    page.tracks.clear();
    bool complete = true;
    connection.exec("BEGIN");
    auto &statement = connection.statement(trackSql);
    for (const int64_t id : ids) {
        statement.bind(1, id);
        if (statement.step())
            page.tracks.push_back(TrackRow::read(statement));
        else
            complete = false;
        statement.reset();
    }
    connection.exec("COMMIT");
    return complete;
}

SearchPage CatalogSearch::search(const SearchQuery &query, int64_t start, int count)
{
    SearchPage page;
    if (query.isEmpty() || start < 0 || count <= 0)
        return page;
    Lease lease(*this);
    Reader *reader = lease.get();
    if (!reader)
        return page;
    const uint64_t generation = m_generation;
    const std::string key = rankingKey(query, start, count);
    if (const auto ranking = m_rankings.find(key, generation)) {
        std::vector<int64_t> ids;
        page.total = unpackRanking(*ranking, ids);
        if (readPage(reader->tracks, ids, page))
            return page;
    }
    if (reader->generation != generation) {
        reader->search.refresh();
        reader->generation = generation;
    }
    // The full-text index drops a removed track before the tracks table does, so a ranked
    // track that is gone means this reader's view is older than the last commit.
    auto matches = reader->search.search(query, start, count);
    page.total = matches.total;
    if (readPage(reader->tracks, matches.ids, page)) {
        m_rankings.insert(key, generation, packRanking(matches.total, matches.ids));
        return page;
    }
    reader->search.refresh();
    matches = reader->search.search(query, start, count);
    page.total = matches.total;
    if (!readPage(reader->tracks, matches.ids, page))
        page.total -= int64_t(matches.ids.size() - page.tracks.size());
    return page;
}

std::optional<TrackRecord> CatalogSearch::track(int64_t id)
{
    Lease lease(*this);
    if (!lease.get())
        return std::nullopt;
    auto &statement = lease.get()->tracks.statement(trackSql);
    statement.bind(1, id);
    std::optional<TrackRecord> result;
    if (statement.step())
        result = TrackRow::read(statement);
    statement.reset();
    return result;
}

int64_t CatalogSearch::trackCount()
{
    Lease lease(*this);
    if (!lease.get())
        return 0;
    auto &statement = lease.get()->tracks.statement("SELECT count(*) FROM tracks");
    const int64_t count = statement.step() ? statement.integer(0) : 0;
    statement.reset();
    return count;
}

bool CatalogSearch::forEachTrack(const std::function<void(const TrackRecord &track)> &visit)
{
    Lease lease(*this);
    if (!lease.get())
        return false;
    auto &connection = lease.get()->tracks;
    // One read transaction, so the whole walk sees one state of the table.
    if (!connection.exec("BEGIN"))
        return false;
    auto &statement = connection.statement(std::string("SELECT ") + TrackRow::columns
                                           + " FROM tracks ORDER BY id");
    while (statement.step())
        visit(TrackRow::read(statement));
    const bool ok = statement.isValid() && !statement.failed();
    statement.reset();
    connection.exec("COMMIT");
    return ok;
}

void CatalogSearch::changed()
{
    ++m_generation;
}

} // namespace catalog
