#pragma once

#include "sharedcounts.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace Xapian {
class Database;
class Enquire;
class Query;
} // namespace Xapian

namespace catalog {

class SearchQuery;
class SearchTotals;
class TrackLengths;

// One reader of the full-text index, used by one thread at a time. Ranks with BM25 and
// stops once the best start + count matches are certain, rather than scoring every match.
// It owns the database it has open and what it read from it; totals is borrowed and outlives
// it. An index that cannot be opened or read gives no matches and a total of 0, and is
// opened again at the next search.
class FullTextReader
{
public:
    struct Matches
    {
        int64_t total = 0;        // exact up to exactTotals matches, else estimated
        std::vector<int64_t> ids; // of [start, start + count), best first, ties by id
    };

    // Matches counted exactly before the total may be an estimate.
    static constexpr unsigned exactTotals = 10000;
    // The last word of a query also matches longer words that start with it: at most this
    // many of them, the most frequent first.
    static constexpr unsigned prefixExpansion = 20;

    // Each common word's count in every track, for ranking and counting, four bits a track: at
    // most maxCommonBytes of them a reader (and the words of one search), 64 words at a million
    // tracks, as many as a library of English titles has in one track in 64.
    using CommonWords = std::unordered_map<std::string, SharedCounts::Kept>;
    static constexpr size_t maxCommonBytes = size_t(32) << 20;

    // What the last word of a query expands to, kept for the next searches with it: at most
    // maxExpansions a reader, a short prefix's expansion being most of its search's time.
    struct Expansion
    {
        std::vector<std::string> terms;    // the most frequent first
        bool isWord = false;               // the prefix is itself a word
        std::vector<uint32_t> frequencies; // each term's
        // What scales each term's weight to the idf of their frequencies summed
        // (TrackWeight::completionFactor), and whether the scaled weights are all the same to
        // the last bit.
        std::vector<double> factors;
        bool sameWeight = true;
        // Where the terms are common together, the best of them in every track (a byte a
        // track, CompletionSource) and the tracks with any of them: read at the first search
        // that needs them, within maxExpansionBytes a reader.
        SharedCounts::Kept counts;
    };
    using Expansions = std::unordered_map<std::string, Expansion>;
    static constexpr size_t maxExpansions = 4096;
    // 32 prefixes' counts at a million tracks.
    static constexpr size_t maxExpansionBytes = size_t(32) << 20;

    // totals, when given, keeps the totals counted for every reader of the index, and counts
    // the counts read.
    explicit FullTextReader(std::string path, SearchTotals *totals = nullptr,
                            SharedCounts *counts = nullptr);
    ~FullTextReader();
    FullTextReader(const FullTextReader &) = delete;
    FullTextReader &operator=(const FullTextReader &) = delete;

    Matches search(const SearchQuery &query, int64_t start, int count);

    // What the last word stands for in db, as search() expands it (without counts).
    static Expansion expansion(const Xapian::Database &db, const std::string &prefix);
    // The query search() ranks by, in Xapian's own terms, for a database this class cannot
    // read with its own sources (remote shards), given the last word's expansion: ranked with
    // TrackWeight::stock(), whole words weigh exactly as here; a last word's completions are
    // each scaled to one idf and taken by OP_MAX, as here.
    static Xapian::Query stockQuery(const std::vector<std::string> &words,
                                    const Expansion &expansion);
    // Moves to the newest committed version of the index.
    void refresh();

private:
    std::pair<dev_t, ino_t> folderIdentity() const;
    bool ensureOpen();
    // Drops the database open and what was read from it; the next search opens it again.
    void close();

    const std::string m_path;
    SearchTotals *const m_totals;
    SharedCounts *const m_shared;
    std::unique_ptr<Xapian::Database> m_db;
    std::pair<dev_t, ino_t> m_folder{0, 0}; // of the index folder m_db was opened from
    std::unique_ptr<Xapian::Enquire> m_enquire;
    std::chrono::steady_clock::time_point m_refreshed;
    // Of the revision open.
    std::string m_uuid;
    uint64_t m_revision = 0;
    CommonWords m_commonWords;
    Expansions m_expansions;
    size_t m_expansionBytes = 0; // of the expansions' counts
    std::unique_ptr<TrackLengths> m_lengths;
};

} // namespace catalog
