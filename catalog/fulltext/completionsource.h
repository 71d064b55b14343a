#pragma once

#include "wordsource.h"

#include <cstdint>
#include <string>
#include <vector>

namespace catalog {

// A last word's completions as one source of postings for the ranking, where they are common
// together: for every track, the completion that weighs most in it and its count, a byte a
// track in memory. Xapian would otherwise merge their lists up to every track the matcher asks
// about. A track weighs what Xapian gives it for the completions taken by OP_MAX, each scaled
// as FullTextReader::stockQuery scales it, so that a front over shards ranks alike.
// FullTextReader makes one for a search and hands it to Xapian, which owns it (and its
// clones) on the searching thread.
class CompletionSource : public WordSource
{
public:
    using Best = std::vector<uint8_t>;

    // For each track of db, which of terms weighs most in it, given each term's
    // TrackWeight::termWeight and the tracks' lengths, and the tracks with any of them and a
    // bit for each into present (bit id % 64 of word id / 64). At most maxTerms terms.
    static Best read(const Xapian::Database &db, const std::vector<std::string> &terms,
                     const std::vector<double> &weights, const TrackLengths &lengths,
                     Xapian::doccount &together, std::vector<uint64_t> &present);
    // The same for the tracks with any of terms only: their ids in order into ids and their
    // bytes into bests; the number of them.
    static Xapian::doccount list(const Xapian::Database &db, const std::vector<std::string> &terms,
                                 const std::vector<double> &weights, const TrackLengths &lengths,
                                 std::vector<uint32_t> &ids, std::vector<uint8_t> &bests);
    static constexpr size_t maxTerms = 63;
    // A track's byte is 0 without a completion, else which (from 1) in the upper six bits and
    // its count less one in the lower two.
    static size_t termOf(uint8_t byte) { return size_t(byte >> 2) - 1; }
    static Xapian::termcount countOf(uint8_t byte) { return Xapian::termcount(byte & 3) + 1; }
    // The first track at id or after with a completion, else best.size().
    static Xapian::docid firstFrom(const Best &best, Xapian::docid id);
    // The most any track weighs by completions of these termWeights: their best part, or a
    // hair under it (TrackWeight::maxPart) where not exact.
    static double most(const std::vector<double> &weights, bool exact);

    // best and lengths outlive the source; weights are those read() was given, together the
    // tracks with a completion; exactBound as WordSource's, where the weights differ.
    CompletionSource(const Best &best, const TrackLengths &lengths, std::vector<double> weights,
                     Xapian::doccount together, bool exactBound);

    void init(const Xapian::Database &db) override;
    double get_weight() const override;
    Xapian::docid get_docid() const override;
    void next(double minWeight) override;
    void skip_to(Xapian::docid id, double minWeight) override;
    bool check(Xapian::docid id, double minWeight) override;
    bool at_end() const override;
    Xapian::PostingSource *clone() const override;

private:
    const Best &m_best;
    const std::vector<double> m_weights;
    Xapian::docid m_at = 0;
};

} // namespace catalog
