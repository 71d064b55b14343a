#pragma once

#include <xapian.h>

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

protected:
    // lengths outlives the source; frequency is the word's, wqf its count in the query, which
    // scales its weight.
    WordSource(const TrackLengths &lengths, Xapian::doccount frequency, Xapian::termcount wqf);

    // The word's part of the weight of track id, which has it count times.
    double weigh(Xapian::termcount count, Xapian::docid id) const;

    const TrackLengths &m_lengths;
    const Xapian::doccount m_frequency;
    const Xapian::termcount m_wqf;

private:
    double m_termWeight = 0;
    double m_inverseAverage = 0;
};

} // namespace catalog
