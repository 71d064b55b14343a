#pragma once

#include <xapian.h>

#include <cstdint>
#include <vector>

namespace catalog {

class TrackLengths;

// A word of a query as a source of postings for the ranking, weighed exactly as TrackWeight
// weighs the word, but with the tracks' lengths from memory: Xapian reads a track's length from
// the index for every match it weighs. Subclasses say where the postings come from. A
// source serves one search on one thread; the lengths it borrows outlive it.
class WordSource : public Xapian::PostingSource
{
public:
    Xapian::doccount get_termfreq_min() const override;
    Xapian::doccount get_termfreq_est() const override;
    Xapian::doccount get_termfreq_max() const override;
    void init(const Xapian::Database &db) override;

    // The first of bytes at from or after that is not 0, else bytes.size(): a table in memory
    // with a byte for every track or two is mostly 0 but for the commonest words.
    static size_t firstSet(const std::vector<uint8_t> &bytes, size_t from);

protected:
    // lengths outlives the source; frequency is the word's, factor scales its weight (its
    // count in the query, or a completion's factor). The bound told the matcher is a hair
    // under the word's best (TrackWeight::maxPart), or the best itself where exactBound: a
    // completion among others whose weights differ in the last bits.
    WordSource(const TrackLengths &lengths, Xapian::doccount frequency, double factor,
               bool exactBound = false);

    // The word's part of the weight of track id, which has it count times; or that of a
    // word whose TrackWeight::termWeight is termWeight.
    double weigh(Xapian::termcount count, Xapian::docid id) const;
    double weigh(double termWeight, Xapian::termcount count, Xapian::docid id) const;

    const TrackLengths &m_lengths;
    const Xapian::doccount m_frequency;
    const double m_factor;
    const bool m_exactBound;

private:
    double m_termWeight = 0;
    double m_inverseAverage = 0;
};

} // namespace catalog
