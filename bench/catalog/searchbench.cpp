// The search engine in-process, and the query lists for run-search-bench.sh.
//   larkspin-search-bench DB OUTDIR SECONDS [--fts] [--pg SOCKETDIR] [--distinct-only [FROM]]
// Writes OUTDIR/distinct.txt (40,000 one- and two-word queries of common and rare words at
// start 0, 50 or 100, none repeated), OUTDIR/zipf.txt (200,000 requests drawn by a Zipf law
// over 50,000 distinct queries) and OUTDIR/prefix.txt (20,000 queries whose last word is one
// to three letters), as request paths. Then answers the distinct list on two threads for
// SECONDS with the catalogue's index (ranking, tracks and the page), checks the totals above
// the exact bound against full counts, and with --fts does the same with the old design's
// FTS5 ranking of every match, built from the same rows. With --pg it loads the same rows
// into the PostgreSQL server listening in SOCKETDIR (superuser larkspin, trusted) and answers
// the distinct list with its full-text search. --distinct-only stops after the engine's
// distinct queries (to measure them again next to the service's run), starting at the
// query FROM of the list (0 unless given).
#include "benchvocabulary.h"
#include "catalogindex.h"
#include "searchindexreader.h"
#include "searchindexwriter.h"
#include "searchquery.h"
#include "sqliteconnection.h"
#include "xspfwriter.h"

#include <xapian.h>

#ifdef LARKSPIN_HAVE_LIBPQ
#include <libpq-fe.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace catalog;
using Clock = std::chrono::steady_clock;

namespace {

struct Query
{
    std::string text; // words joined by blanks
    int start = 0;
};

const char *const apiPrefix = "/api/v0.2/0123456789abcdefghijklmnopqrstuvwxyz0123/music/search/";

std::string path(const Query &query)
{
    std::string encoded;
    for (const char c : query.text)
        encoded += c == ' ' ? std::string("%20") : std::string(1, c);
    return apiPrefix + encoded + "/" + std::to_string(query.start) + "/50";
}

void writeList(const std::string &file, const std::vector<Query> &queries)
{
    std::ofstream out(file);
    for (const auto &query : queries)
        out << path(query) << '\n';
}

// A word as the index sees them: half drawn like the fill tool's filler (the first words
// very common), half uniformly (mostly rare), now and then a marker word.
class WordSource
{
public:
    explicit WordSource(uint32_t seed)
        : m_random(seed)
        , m_vocabulary(benchVocabulary())
    {}

    std::string word()
    {
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        const double u = unit(m_random);
        if (u < 0.04) {
            static const char *const markers[] = {"river", "harbor", "amber", "zephyr"};
            return markers[size_t(unit(m_random) * 4) % 4];
        }
        const double v = unit(m_random);
        const double index = u < 0.52 ? v * v * v * v : v;
        return m_vocabulary[size_t(index * double(m_vocabulary.size())) % m_vocabulary.size()];
    }

    Query query()
    {
        std::uniform_int_distribution<int> coin(0, 2);
        Query query;
        query.text = word();
        if (coin(m_random) > 0)
            query.text += " " + word();
        query.start = 50 * coin(m_random);
        return query;
    }

    std::mt19937 &random() { return m_random; }

private:
    std::mt19937 m_random;
    std::vector<std::string> m_vocabulary;
};

std::vector<Query> distinctQueries(WordSource &source, size_t count)
{
    std::set<std::pair<std::string, int>> seen;
    std::vector<Query> queries;
    while (queries.size() < count) {
        Query query = source.query();
        if (seen.emplace(query.text, query.start).second)
            queries.push_back(query);
    }
    std::shuffle(queries.begin(), queries.end(), source.random());
    return queries;
}

struct Figures
{
    double perSecond = 0;
    double p50 = 0;
    double p99 = 0;
    size_t done = 0;
};

// Runs the queries on two threads, each its own half, until the time or the list is over.
Figures measure(const std::vector<Query> &queries, double seconds,
                const std::function<void(const Query &)> &search)
{
    std::vector<std::vector<double>> latencies(2);
    const auto started = Clock::now();
    const auto deadline = started + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (size_t i = t; i < queries.size() && Clock::now() < deadline; i += 2) {
                const auto before = Clock::now();
                search(queries[i]);
                latencies[t].push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - before).count());
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    std::vector<double> all = latencies[0];
    all.insert(all.end(), latencies[1].begin(), latencies[1].end());
    std::sort(all.begin(), all.end());
    Figures figures;
    figures.done = all.size();
    if (all.empty())
        return figures;
    figures.perSecond = double(all.size()) / elapsed;
    figures.p50 = all[all.size() / 2];
    figures.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    return figures;
}

void print(const char *name, const Figures &figures)
{
    std::printf("%-46s %9.0f/s  p50 %7.2f ms  p99 %7.2f ms  (%zu queries)\n", name,
                figures.perSecond, figures.p50, figures.p99, figures.done);
}

// The totals the service announces above the exact bound, against a full count.
void checkEstimates(const std::string &db, const std::vector<Query> &queries)
{
    CatalogIndex index(db);
    std::string error;
    if (!index.open(&error))
        return;
    Xapian::Database search(SearchIndexWriter::pathFor(db));
    Xapian::Enquire enquire(search);
    enquire.set_weighting_scheme(Xapian::BoolWeight());
    double worst = 0, sum = 0;
    int checked = 0;
    for (const auto &query : queries) {
        const SearchQuery words(query.text);
        const auto page = index.search(words, 0, 50);
        if (page.total <= 10000 || checked >= 300)
            continue;
        std::vector<Xapian::Query> parts;
        for (size_t i = 0; i + 1 < words.words().size(); ++i)
            parts.emplace_back(words.words()[i]);
        parts.emplace_back(Xapian::Query::OP_WILDCARD, words.words().back(),
                           SearchIndexReader::prefixExpansion,
                           Xapian::Query::WILDCARD_LIMIT_MOST_FREQUENT);
        enquire.set_query(Xapian::Query(Xapian::Query::OP_AND, parts.begin(), parts.end()));
        const auto exact = enquire.get_mset(0, 0, search.get_doccount()).get_matches_estimated();
        const double error = std::fabs(double(page.total) - double(exact)) / double(exact);
        if (std::getenv("SHOW_ESTIMATES"))
            std::printf("  %-24s announced %8lld counted %8u\n", query.text.c_str(),
                        static_cast<long long>(page.total), exact);
        worst = std::max(worst, error);
        sum += error;
        ++checked;
    }
    if (checked)
        std::printf("totals above 10,000 matches: %d queries, mean error %.2f %%, worst %.2f %%\n",
                    checked, 100 * sum / checked, 100 * worst);
}

Figures ftsFloor(const std::string &db, const std::string &outDir,
                 const std::vector<Query> &queries, double seconds)
{
    const std::string fts = outDir + "/fts.sqlite";
    std::remove(fts.c_str());
    {
        SqliteConnection connection;
        std::string error;
        if (!connection.open(db, &error))
            return {};
        const auto started = Clock::now();
        connection.exec("ATTACH '" + fts + "' AS f");
        for (const char *sql :
             {"CREATE VIRTUAL TABLE f.tracks_fts USING fts5(title, creator, album, filename,"
              " tokenize='unicode61 remove_diacritics 2')",
              "INSERT INTO f.tracks_fts(rowid, title, creator, album, filename)"
              " SELECT id, title, creator, album, filename FROM tracks"}) {
            if (!connection.exec(sql, &error))
                std::fprintf(stderr, "FTS5: %s\n", error.c_str());
        }
        std::printf("FTS5 index of the same rows built in %.1f s\n",
                    std::chrono::duration<double>(Clock::now() - started).count());
    }
    std::vector<std::unique_ptr<SqliteConnection>> connections;
    for (int i = 0; i < 2; ++i) {
        connections.push_back(std::make_unique<SqliteConnection>());
        connections.back()->open(db, nullptr);
        connections.back()->exec("ATTACH '" + fts + "' AS f");
    }
    std::atomic<int> next{0};
    thread_local int mine = -1;
    return measure(queries, seconds, [&](const Query &query) {
        if (mine < 0)
            mine = next++;
        SqliteConnection &connection = *connections[size_t(mine)];
        // The old design: every word a prefix, every match scored and sorted.
        std::string expression;
        const SearchQuery words(query.text);
        for (const auto &word : words.words())
            expression += (expression.empty() ? "\"" : " \"") + word + "\"*";
        auto &rank = connection.statement("SELECT rowid FROM f.tracks_fts WHERE tracks_fts MATCH ?1"
                                          " ORDER BY bm25(tracks_fts, 4.0, 4.0, 2.0, 1.0), rowid");
        if (!rank.isValid()) {
            static std::once_flag once;
            std::call_once(once, [&] {
                std::fprintf(stderr, "FTS5 query: %s\n", connection.lastError().c_str());
            });
            return;
        }
        rank.bind(1, expression);
        std::vector<int64_t> ids;
        while (rank.step())
            ids.push_back(rank.integer(0));
        rank.reset();
        SearchPage page;
        page.total = int64_t(ids.size());
        auto &track
            = connection.statement("SELECT title, creator, album FROM tracks WHERE id = ?1");
        for (size_t i = size_t(query.start); i < ids.size() && i < size_t(query.start) + 50; ++i) {
            track.bind(1, ids[i]);
            if (track.step()) {
                TrackRecord record;
                record.id = ids[i];
                record.title = track.text(0);
                record.creator = track.text(1);
                record.album = track.text(2);
                page.tracks.push_back(record);
            }
            track.reset();
        }
        XspfWriter::write(page, query.start, 50, "http://127.0.0.1:8642");
    });
}

#ifdef LARKSPIN_HAVE_LIBPQ
PGconn *pgConnect(const std::string &socketDir)
{
    const std::string info = "host=" + socketDir + " dbname=postgres user=larkspin";
    PGconn *connection = PQconnectdb(info.c_str());
    if (PQstatus(connection) != CONNECTION_OK) {
        std::fprintf(stderr, "PostgreSQL: %s", PQerrorMessage(connection));
        PQfinish(connection);
        return nullptr;
    }
    return connection;
}

bool pgExec(PGconn *connection, const std::string &sql, bool quiet = false)
{
    PGresult *result = PQexec(connection, sql.c_str());
    const auto status = PQresultStatus(result);
    const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (!ok && !quiet)
        std::fprintf(stderr, "PostgreSQL: %s", PQresultErrorMessage(result));
    PQclear(result);
    return ok;
}

int64_t pgInteger(PGconn *connection, const std::string &sql)
{
    PGresult *result = PQexec(connection, sql.c_str());
    const int64_t value = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1
                              ? std::atoll(PQgetvalue(result, 0, 0))
                              : -1;
    PQclear(result);
    return value;
}

// A field for COPY's text format.
void appendCopyField(std::string &line, const std::string &text)
{
    for (const char c : text) {
        if (c == '\\')
            line += "\\\\";
        else if (c == '\t')
            line += "\\t";
        else if (c == '\n')
            line += "\\n";
        else if (c == '\r')
            line += "\\r";
        else
            line += c;
    }
}

// Copies the tracks table into PostgreSQL, with a weighted tsvector (title and creator A,
// album B, file name C) and a GIN index over it.
bool pgLoad(PGconn *connection, const std::string &db)
{
    // Without unaccent, accents count; case is ignored all the same.
    const bool unaccent = pgExec(connection, "CREATE EXTENSION IF NOT EXISTS unaccent", true);
    if (!pgExec(connection, "CREATE TEXT SEARCH CONFIGURATION larkspin (COPY = simple)"))
        return false;
    if (unaccent
        && !pgExec(connection, "ALTER TEXT SEARCH CONFIGURATION larkspin ALTER MAPPING FOR word,"
                               " numword, hword, numhword, hword_part, hword_numpart"
                               " WITH unaccent, simple"))
        return false;

    const auto started = Clock::now();
    if (!pgExec(connection, "CREATE TABLE tracks(id bigint NOT NULL, title text NOT NULL,"
                            " creator text NOT NULL, album text NOT NULL, filename text NOT NULL,"
                            " document tsvector GENERATED ALWAYS AS ("
                            "setweight(to_tsvector('larkspin', title), 'A')"
                            " || setweight(to_tsvector('larkspin', creator), 'A')"
                            " || setweight(to_tsvector('larkspin', album), 'B')"
                            " || setweight(to_tsvector('larkspin', filename), 'C')) STORED)"))
        return false;
    PGresult *copy
        = PQexec(connection, "COPY tracks(id, title, creator, album, filename) FROM STDIN");
    const bool copying = PQresultStatus(copy) == PGRES_COPY_IN;
    PQclear(copy);
    if (!copying) {
        std::fprintf(stderr, "PostgreSQL: %s", PQerrorMessage(connection));
        return false;
    }
    SqliteConnection sqlite;
    std::string error;
    if (!sqlite.open(db, &error)) {
        std::fprintf(stderr, "cannot open %s: %s\n", db.c_str(), error.c_str());
        PQputCopyEnd(connection, "no tracks");
        return false;
    }
    auto &rows = sqlite.statement("SELECT id, title, creator, album, filename FROM tracks");
    std::string buffer;
    bool sent = true;
    while (sent && rows.step()) {
        buffer += std::to_string(rows.integer(0));
        for (int column = 1; column <= 4; ++column) {
            buffer += '\t';
            appendCopyField(buffer, rows.text(column));
        }
        buffer += '\n';
        if (buffer.size() > 1 << 16) {
            sent = PQputCopyData(connection, buffer.data(), int(buffer.size())) == 1;
            buffer.clear();
        }
    }
    rows.reset();
    if (sent && !buffer.empty())
        sent = PQputCopyData(connection, buffer.data(), int(buffer.size())) == 1;
    PQputCopyEnd(connection, sent ? nullptr : "sending failed");
    bool copied = true;
    while (PGresult *result = PQgetResult(connection)) {
        if (PQresultStatus(result) != PGRES_COMMAND_OK) {
            std::fprintf(stderr, "PostgreSQL COPY: %s", PQresultErrorMessage(result));
            copied = false;
        }
        PQclear(result);
    }
    if (!copied)
        return false;
    const double loaded = std::chrono::duration<double>(Clock::now() - started).count();
    if (!pgExec(connection, "CREATE INDEX tracks_document ON tracks USING gin(document)")
        || !pgExec(connection, "VACUUM ANALYZE tracks"))
        return false;
    const double indexed = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("PostgreSQL %d.%d (%s): the same rows loaded in %.1f s, GIN index built and"
                " analysed by %.1f s; table %.0f MB, GIN index %.0f MB\n",
                PQserverVersion(connection) / 10000, PQserverVersion(connection) % 10000,
                unaccent ? "simple + unaccent" : "simple, no unaccent", loaded, indexed,
                double(pgInteger(connection, "SELECT pg_table_size('tracks')")) / 1048576,
                double(pgInteger(connection, "SELECT pg_relation_size('tracks_document')"))
                    / 1048576);
    return true;
}

// ts_rank's weights are listed D, C, B, A: title and creator count twice the album and four
// times the file name, as in the catalogue's index.
const char *const pgPageSql = "SELECT id, title, creator, album, count(*) OVER () FROM tracks,"
                              " to_tsquery('larkspin', $1) AS query WHERE document @@ query"
                              " ORDER BY ts_rank('{0.1, 0.25, 0.5, 1.0}', document, query) DESC, id"
                              " LIMIT 50 OFFSET $2";
const char *const pgCountSql
    = "SELECT count(*) FROM tracks WHERE document @@ to_tsquery('larkspin', $1)";

// Every word must match, the last one also as the start of a longer word. SearchTerms keeps
// only letters, digits and marks, so quoting a word is all it needs.
std::string pgQueryText(const Query &query)
{
    const SearchQuery words(query.text);
    std::string text;
    for (const auto &word : words.words())
        text += (text.empty() ? "'" : " & '") + word + "'";
    return text.empty() ? text : text + ":*";
}

Figures pgFloor(const std::string &db, const std::string &socketDir,
                const std::vector<Query> &queries, double seconds)
{
    std::vector<std::unique_ptr<PGconn, void (*)(PGconn *)>> connections;
    for (int i = 0; i < 2; ++i) {
        connections.emplace_back(pgConnect(socketDir), PQfinish);
        if (!connections.back())
            return {};
    }
    if (!pgLoad(connections[0].get(), db))
        return {};
    for (auto &connection : connections) {
        for (const auto &[name, sql] : {std::pair{"page", pgPageSql}, {"count", pgCountSql}}) {
            PGresult *prepared = PQprepare(connection.get(), name, sql, 0, nullptr);
            const bool ok = PQresultStatus(prepared) == PGRES_COMMAND_OK;
            if (!ok)
                std::fprintf(stderr, "PostgreSQL: %s", PQresultErrorMessage(prepared));
            PQclear(prepared);
            if (!ok)
                return {};
        }
    }
    std::atomic<int> next{0};
    thread_local int mine = -1;
    return measure(queries, seconds, [&](const Query &query) {
        if (mine < 0)
            mine = next++;
        PGconn *connection = connections[size_t(mine)].get();
        const std::string text = pgQueryText(query);
        const std::string start = std::to_string(query.start);
        const char *const values[] = {text.c_str(), start.c_str()};
        PGresult *result = PQexecPrepared(connection, "page", 2, values, nullptr, nullptr, 0);
        if (PQresultStatus(result) != PGRES_TUPLES_OK) {
            static std::once_flag once;
            std::call_once(once, [&] {
                std::fprintf(stderr, "PostgreSQL query: %s", PQresultErrorMessage(result));
            });
            PQclear(result);
            return;
        }
        SearchPage page;
        for (int row = 0; row < PQntuples(result); ++row) {
            TrackRecord record;
            record.id = std::atoll(PQgetvalue(result, row, 0));
            record.title = PQgetvalue(result, row, 1);
            record.creator = PQgetvalue(result, row, 2);
            record.album = PQgetvalue(result, row, 3);
            page.tracks.push_back(record);
            page.total = std::atoll(PQgetvalue(result, row, 4));
        }
        PQclear(result);
        // A start past the last match returns no row to carry the total.
        if (page.tracks.empty() && query.start > 0) {
            result = PQexecPrepared(connection, "count", 1, values, nullptr, nullptr, 0);
            if (PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1)
                page.total = std::atoll(PQgetvalue(result, 0, 0));
            PQclear(result);
        }
        XspfWriter::write(page, query.start, 50, "http://127.0.0.1:8642");
    });
}
#endif

} // namespace

int main(int argc, char **argv)
{
    const char *const usage = "usage: larkspin-search-bench DB OUTDIR SECONDS [--fts] [--pg "
                              "SOCKETDIR] [--distinct-only [FROM]]\n";
    if (argc < 4) {
        std::fprintf(stderr, "%s", usage);
        return 2;
    }
    const std::string db = argv[1];
    const std::string outDir = argv[2];
    const double seconds = std::atof(argv[3]);
    bool fts = false;
    bool distinctOnly = false;
    size_t from = 0;
    std::string pgSocketDir;
    for (int i = 4; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--fts") {
            fts = true;
        } else if (option == "--distinct-only") {
            distinctOnly = true;
            if (i + 1 < argc && argv[i + 1][0] != '-')
                from = std::strtoul(argv[++i], nullptr, 10);
        } else if (option == "--pg" && i + 1 < argc) {
            pgSocketDir = argv[++i];
        } else {
            std::fprintf(stderr, "%s", usage);
            return 2;
        }
    }

    WordSource source(20261208);
    const auto distinct = distinctQueries(source, 40000);
    writeList(outDir + "/distinct.txt", distinct);

    const auto popular = distinctQueries(source, 50000);
    std::vector<Query> zipf;
    {
        std::vector<double> weights;
        for (size_t rank = 1; rank <= popular.size(); ++rank)
            weights.push_back(1.0 / double(rank));
        std::discrete_distribution<size_t> pick(weights.begin(), weights.end());
        for (int i = 0; i < 200000; ++i)
            zipf.push_back(popular[pick(source.random())]);
    }
    writeList(outDir + "/zipf.txt", zipf);

    std::vector<Query> prefixes;
    {
        std::set<std::string> seen;
        std::uniform_int_distribution<int> letters(1, 3), coin(0, 1);
        while (prefixes.size() < 20000) {
            Query query;
            const std::string last = source.word().substr(0, size_t(letters(source.random())));
            query.text = coin(source.random()) ? source.word() + " " + last : last;
            if (seen.insert(query.text).second)
                prefixes.push_back(query);
        }
    }
    writeList(outDir + "/prefix.txt", prefixes);

    CatalogIndex index(db);
    std::string error;
    if (!index.open(&error)) {
        std::fprintf(stderr, "cannot open %s: %s\n", db.c_str(), error.c_str());
        return 1;
    }
    const auto engine = [&index](const Query &query) {
        const auto page = index.search(SearchQuery(query.text), query.start, 50);
        XspfWriter::write(page, query.start, 50, "http://127.0.0.1:8642");
    };
    print(distinctOnly ? "in-process engine, distinct queries, again"
                       : "in-process engine, distinct queries, 2 threads",
          measure(std::vector<Query>(distinct.begin() + ptrdiff_t(std::min(from, distinct.size())),
                                     distinct.end()),
                  seconds, engine));
    if (distinctOnly)
        return 0;
    print("in-process engine, short prefixes, 2 threads", measure(prefixes, seconds, engine));
    checkEstimates(db, distinct);
    if (fts)
        print("in-process FTS5 (old design), 2 threads", ftsFloor(db, outDir, distinct, seconds));
    if (!pgSocketDir.empty()) {
#ifdef LARKSPIN_HAVE_LIBPQ
        const auto figures = pgFloor(db, pgSocketDir, distinct, seconds);
        if (figures.done > 0)
            print("PostgreSQL full-text search, 2 connections", figures);
        else
            std::printf("PostgreSQL: no figures, comparison skipped\n");
#else
        std::printf("PostgreSQL: built without libpq, comparison skipped\n");
#endif
    }
    return 0;
}
