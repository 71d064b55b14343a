// The search engine in-process, and the query lists for run-search-bench.sh.
//   larkspin-search-bench DB OUTDIR SECONDS [--words FILE] [--fts] [--pg SOCKETDIR]
//                         [--turns [LIST] | --totals-only]
// Writes the query lists as request paths into OUTDIR, none repeated within a list or from one
// list to another. On the synthetic library: distinct.txt (100,000 one- and two-word queries
// of common and rare words at start 0, 50 or 100), zipf.txt (200,000 requests drawn by a Zipf
// law over 50,000 distinct queries) and prefix.txt (20,000 queries whose last word is one to
// three letters). With --words (the ranked word list the realistic library was filled from):
// distinct.txt holds typed queries (one to three words drawn by Zipf's law), track.txt one or
// two words from a field of one track, cut.txt the same with the last word cut to 3-5
// letters (100,000 each), and zipf.txt and prefix.txt drawn from those. Then answers the lists
// on two threads for SECONDS each with the catalogue's index (ranking, tracks and the page),
// and checks a sample of the totals above the exact bound against full counts. --fts does the
// same with the old design's FTS5 ranking of every match, built from the same rows; --pg loads
// the same rows into the PostgreSQL server listening in SOCKETDIR (superuser larkspin,
// trusted) and answers the distinct list with its full-text search. --totals-only stops after
// the totals. --turns answers a list in turns (distinct, or with --words track or cut): warmed
// first on its last 20,000 queries (which no turn reaches), then, for each line "FROM SECONDS"
// read on the standard input, from the query FROM for SECONDS, printing "turn: N/s" on its
// own line.
#include "benchvocabulary.h"
#include "catalogsearch.h"
#include "fulltextreader.h"
#include "fulltextwriter.h"
#include "searchquery.h"
#include "sqliteconnection.h"
#include "xspfwriter.h"

#include <xapian.h>

#ifdef LARKSPIN_HAVE_LIBPQ
#include <libpq-fe.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
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
    for (const char c : query.text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) && byte < 0x80) {
            encoded += c;
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", byte);
            encoded += escape;
        }
    }
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

// Queries as people type them into a search of a real library, drawn like its tracks: whole
// words as often as the word list counts them, one or two words of a field of one track,
// and those with the last word cut short as it is being typed.
class RealisticQueries
{
public:
    RealisticQueries(RankedWords words, const std::string &db, uint32_t seed)
        : m_words(std::move(words.words))
        , m_ranks(words.counts.empty() ? RankDraw(m_words.size(), 1.0) : RankDraw(words.counts))
        , m_random(seed)
    {
        std::string error;
        // One read transaction for all the lookups, rather than a lock taken for each.
        if (m_tracks.open(db, &error) && m_tracks.exec("BEGIN")) {
            auto &last = m_tracks.statement("SELECT max(id) FROM tracks");
            if (last.step())
                m_lastId = last.integer(0);
            last.reset();
        }
    }

    bool isValid() const { return m_lastId > 0 && !m_words.empty(); }

    // One to three whole words.
    Query typed()
    {
        const double u = unit();
        const int count = u < 0.3 ? 1 : u < 0.8 ? 2 : 3;
        std::vector<size_t> ranks;
        while (ranks.size() < size_t(count)) {
            const size_t rank = m_ranks(m_random);
            if (std::find(ranks.begin(), ranks.end(), rank) == ranks.end())
                ranks.push_back(rank);
        }
        Query query;
        for (const size_t rank : ranks)
            query.text += (query.text.empty() ? "" : " ") + m_words[rank];
        query.start = start();
        return query;
    }

    // One or two words side by side in the title, artist or album of a track.
    Query fromTrack(size_t shortest = 1)
    {
        for (;;) {
            const std::vector<std::string> words = trackWords();
            const size_t count = std::min<size_t>(words.size(), unit() < 0.5 ? 1 : 2);
            if (count == 0)
                continue;
            const size_t first = m_random() % (words.size() - count + 1);
            if (letters(words[first + count - 1]) < shortest)
                continue;
            Query query;
            for (size_t i = first; i < first + count; ++i)
                query.text += (i > first ? " " : "") + words[i];
            query.start = start();
            return query;
        }
    }

    // As fromTrack, the last word cut to 3-5 letters (and shorter than it was).
    Query cut()
    {
        Query query = fromTrack(4);
        const size_t wordStart = query.text.rfind(' ') + 1;
        const size_t kept
            = std::min<size_t>(letters(query.text.substr(wordStart)) - 1, 3 + m_random() % 3);
        // Cut before the first byte of a letter: a letter may take more than one byte.
        size_t end = wordStart, letter = 0;
        while (end < query.text.size()) {
            if ((query.text[end] & 0xc0) != 0x80 && letter++ == kept)
                break;
            ++end;
        }
        query.text.resize(end);
        return query;
    }

    std::mt19937 &random() { return m_random; }

private:
    std::vector<std::string> trackWords()
    {
        auto &track = m_tracks.statement("SELECT title, creator, album FROM tracks WHERE id = ?1");
        track.bind(1, int64_t(1 + m_random() % uint64_t(m_lastId)));
        std::string text;
        if (track.step()) {
            const double u = unit();
            text = track.text(u < 0.6 ? 0 : u < 0.85 ? 1 : 2);
        }
        track.reset();
        return SearchQuery(text).words();
    }

    static size_t letters(const std::string &word)
    {
        return size_t(
            std::count_if(word.begin(), word.end(), [](char c) { return (c & 0xc0) != 0x80; }));
    }

    int start() { return 50 * int(m_random() % 3); }
    double unit() { return std::uniform_real_distribution<double>(0.0, 1.0)(m_random); }

    std::vector<std::string> m_words;
    RankDraw m_ranks;
    std::mt19937 m_random;
    SqliteConnection m_tracks;
    int64_t m_lastId = 0;
};

// count queries from draw, none of them with words that seen holds (which then holds them
// too): the service keeps a total for any page of the same words.
std::vector<Query> distinctQueries(const std::function<Query()> &draw, size_t count,
                                   std::set<std::string> &seen)
{
    std::vector<Query> queries;
    while (queries.size() < count) {
        Query query = draw();
        if (seen.insert(query.text).second)
            queries.push_back(query);
    }
    return queries;
}

struct Figures
{
    double perSecond = 0;
    double p50 = 0;
    double p99 = 0;
    size_t done = 0;
    bool ended = false; // the list was over before the time
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
    figures.ended = all.size() == queries.size();
    if (all.empty())
        return figures;
    figures.perSecond = double(all.size()) / elapsed;
    figures.p50 = all[all.size() / 2];
    figures.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    return figures;
}

// tracks: those on the pages answered, where counted: lists whose queries match more fill more
// of their pages, and each track on a page is a row read and written out.
void print(const char *name, const Figures &figures, uint64_t tracks = 0)
{
    std::printf("%-46s %9.0f/s  p50 %7.2f ms  p99 %7.2f ms  (%zu queries", name, figures.perSecond,
                figures.p50, figures.p99, figures.done);
    if (tracks > 0 && figures.done > 0)
        std::printf(", %.1f tracks a page", double(tracks) / double(figures.done));
    std::printf("%s)\n", figures.ended ? ", the whole list before the time was up" : "");
}

// The totals the service announces above the exact bound, against a full count: for the first
// wanted queries of a list with more than 10,000 matches, the error's mean, median and 95th
// percentile, how many lie within 5 % and beyond 20 %, the worst, and how many exceed what
// could match (the tracks with the rarest whole word, the postings of the last word's
// expansions).
class TotalsCheck
{
public:
    explicit TotalsCheck(const std::string &db)
        : m_index(db)
        , m_search(FullTextWriter::pathFor(db))
        , m_enquire(m_search)
    {
        std::string error;
        m_open = m_index.open(&error);
        m_enquire.set_weighting_scheme(Xapian::BoolWeight());
    }

    void check(const char *name, const std::vector<Query> &queries, size_t wanted,
               const std::function<bool(const SearchQuery &)> &takes = {})
    {
        if (!m_open)
            return;
        std::vector<double> errors;
        double worst = 0;
        std::string worstText;
        int64_t worstTotal = 0, worstExact = 0;
        size_t aboveBound = 0;
        for (size_t i = 0; i < queries.size() && errors.size() < wanted; ++i) {
            const SearchQuery words(queries[i].text);
            // A search that cannot pass the bound is not asked.
            if (words.isEmpty() || (takes && !takes(words))
                || bound(words) <= int64_t(FullTextReader::exactTotals))
                continue;
            const int64_t total = m_index.search(words, 0, 50).total;
            if (total <= int64_t(FullTextReader::exactTotals))
                continue;
            const int64_t exact = exactCount(words);
            if (exact <= 0)
                continue;
            aboveBound += total > bound(words) ? 1 : 0;
            const double error = (double(total) - double(exact)) / double(exact);
            if (std::fabs(error) >= std::fabs(worst)) {
                worst = error;
                worstText = queries[i].text;
                worstTotal = total;
                worstExact = exact;
            }
            errors.push_back(std::fabs(error));
            if (std::getenv("SHOW_ESTIMATES"))
                std::printf("  %-28s announced %8lld counted %8lld\n", queries[i].text.c_str(),
                            static_cast<long long>(total), static_cast<long long>(exact));
        }
        if (errors.empty()) {
            std::printf("totals above 10,000, %s: none among the queries checked\n", name);
            return;
        }
        double sum = 0;
        size_t within5 = 0, beyond20 = 0;
        for (const double error : errors) {
            sum += error;
            within5 += error <= 0.05 ? 1 : 0;
            beyond20 += error > 0.2 ? 1 : 0;
        }
        std::sort(errors.begin(), errors.end());
        const auto at = [&errors](double share) {
            return 100 * errors[std::min(errors.size() - 1, size_t(share * double(errors.size())))];
        };
        std::printf("totals above 10,000, %s: %zu queries, mean error %.2f %%, median %.2f %%,"
                    " 95th percentile %.2f %%; %zu within 5 %%, %zu beyond 20 %%, %zu above what"
                    " could match; worst %+.1f %% (\"%s\": %lld announced, %lld exist)\n",
                    name, errors.size(), 100 * sum / double(errors.size()), at(0.5), at(0.95),
                    within5, beyond20, aboveBound, 100 * worst, worstText.c_str(),
                    static_cast<long long>(worstTotal), static_cast<long long>(worstExact));
    }

private:
    // What the last word of a query may be: as FullTextReader expands it.
    std::vector<std::string> expansion(const std::string &last) const
    {
        std::vector<std::pair<Xapian::doccount, std::string>> found;
        bool isWord = false;
        for (auto term = m_search.allterms_begin(last); term != m_search.allterms_end(last);
             ++term) {
            found.emplace_back(term.get_termfreq(), *term);
            isWord = isWord || *term == last;
        }
        const auto kept = std::min<size_t>(found.size(), FullTextReader::prefixExpansion);
        std::partial_sort(found.begin(), found.begin() + ptrdiff_t(kept), found.end(),
                          [](const auto &a, const auto &b) {
                              return a.first != b.first ? a.first > b.first : a.second < b.second;
                          });
        std::vector<std::string> terms;
        for (size_t i = 0; i < kept; ++i)
            terms.push_back(found[i].second);
        if (isWord && std::find(terms.begin(), terms.end(), last) == terms.end())
            terms.push_back(last);
        return terms;
    }

    int64_t exactCount(const SearchQuery &words)
    {
        std::vector<Xapian::Query> parts;
        for (size_t i = 0; i + 1 < words.words().size(); ++i)
            parts.emplace_back(words.words()[i]);
        const auto terms = expansion(words.words().back());
        parts.emplace_back(Xapian::Query::OP_OR, terms.begin(), terms.end());
        m_enquire.set_query(Xapian::Query(Xapian::Query::OP_AND, parts.begin(), parts.end()));
        return int64_t(m_enquire.get_mset(0, 0, m_search.get_doccount()).get_matches_estimated());
    }

    int64_t bound(const SearchQuery &words) const
    {
        int64_t most = 0;
        for (const auto &term : expansion(words.words().back()))
            most += m_search.get_termfreq(term);
        for (size_t i = 0; i + 1 < words.words().size(); ++i)
            most = std::min<int64_t>(most, m_search.get_termfreq(words.words()[i]));
        return most;
    }

    CatalogSearch m_index;
    Xapian::Database m_search;
    Xapian::Enquire m_enquire;
    bool m_open = false;
};

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

// The totals of samples of each list: its two-, one- and three-word queries (typed words on
// the realistic library), two words of a track, the last word cut short, and prefixes.
void checkAllTotals(const std::string &db, const std::vector<Query> &typed,
                    const std::vector<Query> &fromTracks, const std::vector<Query> &cut,
                    const std::vector<Query> &prefixes)
{
    TotalsCheck totals(db);
    const auto words = [](size_t count) {
        return [count](const SearchQuery &q) {
            return q.words().size() == count;
        };
    };
    totals.check("two words", typed, 200, words(2));
    totals.check("one word", typed, 50, words(1));
    totals.check("three words", typed, 50, words(3));
    if (!fromTracks.empty())
        totals.check("two words of a track", fromTracks, 200, words(2));
    if (!cut.empty())
        totals.check("last word cut", cut, 190);
    totals.check("short prefixes", prefixes, 190);
}

int main(int argc, char **argv)
{
    const char *const usage
        = "usage: larkspin-search-bench DB OUTDIR SECONDS [--words FILE] [--fts]"
          " [--pg SOCKETDIR] [--turns [LIST] | --totals-only | --lists-only]\n";
    if (argc < 4) {
        std::fprintf(stderr, "%s", usage);
        return 2;
    }
    const std::string db = argv[1];
    const std::string outDir = argv[2];
    const double seconds = std::atof(argv[3]);
    bool fts = false, turns = false, totalsOnly = false, listsOnly = false;
    std::string pgSocketDir, wordFile, turnList = "distinct";
    for (int i = 4; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--fts") {
            fts = true;
        } else if (option == "--turns") {
            turns = true;
            if (i + 1 < argc && argv[i + 1][0] != '-')
                turnList = argv[++i];
        } else if (option == "--totals-only") {
            totalsOnly = true;
        } else if (option == "--lists-only") {
            listsOnly = true;
        } else if (option == "--pg" && i + 1 < argc) {
            pgSocketDir = argv[++i];
        } else if (option == "--words" && i + 1 < argc) {
            wordFile = argv[++i];
        } else {
            std::fprintf(stderr, "%s", usage);
            return 2;
        }
    }

    // The lists, each query asked once in a run: none is in two lists.
    std::set<std::string> seen;
    std::vector<Query> distinct, fromTracks, cut, popular, prefixes;
    std::unique_ptr<RealisticQueries> realistic;
    WordSource source(20261208);
    std::mt19937 *random = &source.random();
    std::function<std::string()> prefixWord = [&source] {
        return source.word();
    };
    if (!wordFile.empty()) {
        realistic = std::make_unique<RealisticQueries>(rankedWords(wordFile), db, 20261209);
        if (!realistic->isValid()) {
            std::fprintf(stderr, "no words in %s or no tracks in %s\n", wordFile.c_str(),
                         db.c_str());
            return 1;
        }
        RealisticQueries &draw = *realistic;
        random = &draw.random();
        distinct = distinctQueries([&draw] { return draw.typed(); }, 100000, seen);
        fromTracks = distinctQueries([&draw] { return draw.fromTrack(); }, 100000, seen);
        cut = distinctQueries([&draw] { return draw.cut(); }, 100000, seen);
        popular = distinctQueries(
            [&draw] {
                const unsigned kind = draw.random()() % 3;
                return kind == 0 ? draw.typed() : kind == 1 ? draw.fromTrack() : draw.cut();
            },
            50000, seen);
        prefixWord = [&draw] {
            return SearchQuery(draw.typed().text).words().front();
        };
        writeList(outDir + "/track.txt", fromTracks);
        writeList(outDir + "/cut.txt", cut);
    } else {
        distinct = distinctQueries([&source] { return source.query(); }, 100000, seen);
        popular = distinctQueries([&source] { return source.query(); }, 50000, seen);
    }
    writeList(outDir + "/distinct.txt", distinct);

    std::vector<Query> zipf;
    {
        std::vector<double> weights;
        for (size_t rank = 1; rank <= popular.size(); ++rank)
            weights.push_back(1.0 / double(rank));
        std::discrete_distribution<size_t> pick(weights.begin(), weights.end());
        for (int i = 0; i < 400000; ++i)
            zipf.push_back(popular[pick(*random)]);
    }
    writeList(outDir + "/zipf.txt", zipf);

    {
        std::uniform_int_distribution<int> letters(1, 3), coin(0, 1);
        prefixes = distinctQueries(
            [&] {
                Query query;
                const std::string last = prefixWord().substr(0, size_t(letters(*random)));
                query.text = coin(*random) ? prefixWord() + " " + last : last;
                return query;
            },
            40000, seen);
    }
    writeList(outDir + "/prefix.txt", prefixes);

    if (listsOnly)
        return 0;
    if (totalsOnly) {
        checkAllTotals(db, distinct, fromTracks, cut, prefixes);
        return 0;
    }

    CatalogSearch index(db);
    std::string error;
    if (!index.open(&error)) {
        std::fprintf(stderr, "cannot open %s: %s\n", db.c_str(), error.c_str());
        return 1;
    }
    std::atomic<uint64_t> pageTracks{0};
    const auto engine = [&index, &pageTracks](const Query &query) {
        const auto page = index.search(SearchQuery(query.text), query.start, 50);
        XspfWriter::write(page, query.start, 50, "http://127.0.0.1:8642");
        pageTracks += page.tracks.size();
    };
    const auto engineRow = [&](const char *name, const std::vector<Query> &list) {
        pageTracks = 0;
        const Figures figures = measure(list, seconds, engine);
        print(name, figures, pageTracks);
    };
    const auto slice = [](const std::vector<Query> &queries, size_t from) {
        return std::vector<Query>(queries.begin() + ptrdiff_t(std::min(from, queries.size())),
                                  queries.end());
    };
    if (turns) {
        // One process, its caches and the tracks' lengths in memory warm, as the service's
        // are: warmed on the end of the list, which no turn reaches.
        const std::vector<Query> &list = turnList == "track" ? fromTracks
                                         : turnList == "cut" ? cut
                                                             : distinct;
        if (list.size() < 40000) {
            std::fprintf(stderr, "no list %s\n", turnList.c_str());
            return 2;
        }
        const size_t warm = list.size() - 20000;
        const Figures warmed = measure(slice(list, warm), seconds, engine);
        std::printf("warmed: %.0f/s\n", warmed.perSecond);
        std::fflush(stdout);
        size_t from = 0;
        double turnSeconds = 0;
        while (std::cin >> from >> turnSeconds) {
            const Figures figures
                = measure(std::vector<Query>(list.begin() + ptrdiff_t(std::min(from, warm)),
                                             list.begin() + ptrdiff_t(warm)),
                          turnSeconds, engine);
            // A turn that ran out of queries before its time is no rate: say so.
            std::printf("turn: %.0f/s%s\n", figures.perSecond,
                        figures.done >= warm - std::min(from, warm) ? " (list ended)" : "");
            std::fflush(stdout);
        }
        return 0;
    }
    if (realistic) {
        engineRow("in-process engine, typed words, 2 threads", distinct);
        engineRow("in-process engine, words of a track, 2 threads", fromTracks);
        engineRow("in-process engine, last word cut, 2 threads", cut);
    } else {
        engineRow("in-process engine, distinct queries, 2 threads", distinct);
    }
    engineRow("in-process engine, short prefixes, 2 threads", prefixes);
    checkAllTotals(db, distinct, fromTracks, cut, prefixes);
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
