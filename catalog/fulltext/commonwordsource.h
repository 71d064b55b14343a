#pragma once

#include "wordsource.h"

#include <cstdint>
#include <string>
#include <vector>

namespace catalog {

// A common word's postings for the ranking, read from its count in every track kept in
// memory (four bits a track) instead of from its list in the index. The matcher then tests a
// track in constant time where it would decode the list up to that track: most of a search's
// time when a query pairs a rarer word with a common one. FullTextReader makes one for a
// search and hands it to Xapian, which owns it (and its clones) on the searching thread.
class CommonWordSource : public WordSource
{
public:
    using Counts = std::vector<uint8_t>;

    // The word's count in each track of db, and a bit for each track with it into present (bit
    // id % 64 of word id / 64).
    static Counts read(const Xapian::Database &db, const std::string &term,
                       std::vector<uint64_t> &present);
    static Xapian::termcount countIn(const Counts &counts, Xapian::docid id)
    {
        return id / 2 < counts.size() ? counts[id / 2] >> (id % 2 * 4) & 0xf : 0;
    }
    // The first track at id or after with a count, else one past the last counted.
    static Xapian::docid firstFrom(const Counts &counts, Xapian::docid id);

    // counts and lengths outlive the source; frequency is the word's, wqf its count in the
    // query; exactBound as WordSource's.
    CommonWordSource(const Counts &counts, const TrackLengths &lengths, Xapian::doccount frequency,
                     Xapian::termcount wqf, bool exactBound = false);

    void init(const Xapian::Database &db) override;
    double get_weight() const override;
    Xapian::docid get_docid() const override;
    void next(double minWeight) override;
    void skip_to(Xapian::docid id, double minWeight) override;
    bool check(Xapian::docid id, double minWeight) override;
    bool at_end() const override;
    Xapian::PostingSource *clone() const override;

private:
    const Counts &m_counts;
    Xapian::docid m_at = 0;
    Xapian::docid m_end = 0; // past the last track counted
};

} // namespace catalog
