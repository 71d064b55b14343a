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
// It owns the database it has open and what it read from it; totals and counts, where given,
// are borrowed and outlive it. An index that cannot be opened or read gives no matches and a
// total of 0, and is opened again at the next search.
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

    // The counts a search reads (SharedCounts), held by its reader until the next search.
    using HeldCounts = std::unordered_map<std::string, SharedCounts::Kept>;
    // Bits a walk makes from lists kept in memory, a vector a part, all clear between walks:
    // a walk sets the bits of its lists' tracks and clears them again, which costs less than
    // clearing the whole.
    using MadeBits = std::vector<std::vector<uint64_t>>;

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
    };
    using Expansions = std::unordered_map<std::string, Expansion>;
    // Whole words' frequencies in the revision open, kept alike (a lookup in the index each).
    using Frequencies = std::unordered_map<std::string, uint32_t>;
    static constexpr size_t maxExpansions = 4096;
    // The bytes of counts a reader keeps for itself where it shares none.
    static constexpr size_t ownCountBytes = size_t(32) << 20;

    // totals, when given, keeps the totals counted for every reader of the index, and counts
    // the counts read; without counts, the reader keeps its own.
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
    // Reads into the counts what searches of the index's commonest words read, within about
    // maxBytes: a word's counts where it is in one track in 32 or more, and the best of its
    // completions where it ends a query; the commonest first. The number of words read, 0
    // where the index cannot be read.
    size_t warm(size_t maxBytes);
    // Moves to the newest committed version of the index.
    void refresh();

private:
    std::pair<dev_t, ino_t> folderIdentity() const;
    bool ensureOpen();
    // Takes up the revision m_db has open, dropping what was read from another (it may be
    // wrong for this one).
    void startRevision();
    // Drops the database open and what was read from it; the next search opens it again.
    void close();

    const std::string m_path;
    SearchTotals *const m_totals;
    std::unique_ptr<SharedCounts> m_ownCounts;
    SharedCounts *const m_shared;
    std::unique_ptr<Xapian::Database> m_db;
    std::pair<dev_t, ino_t> m_folder{0, 0}; // of the index folder m_db was opened from
    std::unique_ptr<Xapian::Enquire> m_enquire;
    std::chrono::steady_clock::time_point m_refreshed;
    // Of the revision open.
    std::string m_uuid;
    uint64_t m_revision = 0;
    HeldCounts m_held;
    Expansions m_expansions;
    Frequencies m_frequencies;
    MadeBits m_madeBits;
    std::unique_ptr<TrackLengths> m_lengths;
};

} // namespace catalog
