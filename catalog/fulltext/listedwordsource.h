#pragma once

#include "wordsource.h"

#include <string>

namespace catalog {

// A word's postings read from its list in the index. FullTextReader makes one for a search
// and hands it to Xapian, which owns it (and its clones) on the searching thread.
class ListedWordSource : public WordSource
{
public:
    // lengths outlives the source; frequency is the word's; factor and exactBound as
    // WordSource's.
    ListedWordSource(std::string word, const TrackLengths &lengths, Xapian::doccount frequency,
                     double factor, bool exactBound = false);

    void init(const Xapian::Database &db) override;
    double get_weight() const override;
    Xapian::docid get_docid() const override;
    void next(double minWeight) override;
    void skip_to(Xapian::docid id, double minWeight) override;
    bool at_end() const override;
    Xapian::PostingSource *clone() const override;

private:
    const std::string m_word;
    Xapian::PostingIterator m_at;
    Xapian::PostingIterator m_end;
    bool m_started = false; // m_at is on the first posting until the first move
};

} // namespace catalog
