#pragma once

#include <xapian.h>

namespace catalog {

// BM25 (k1 = 1, b = 0.5) for the catalogue's documents, whose word counts are capped at
// maxWdf when indexed and whose lengths count as at least the average. Both make the best
// possible weight of a word one that many tracks really reach, so the bound this weight
// tells the matcher is exact: once a page of tracks reaches it, the matcher stops instead
// of scoring every match of a common word. (Xapian's own BM25 assumes any count and any
// length could occur, and its bound is never reached.) Xapian clones it for each search, on
// the searching thread.
class TrackWeight : public Xapian::Weight
{
public:
    static constexpr Xapian::termcount maxWdf = 4;

    TrackWeight();

    // BM25's idf of a word that withTerm of the documents have, kept positive for words that
    // most documents have.
    static double idf(double documents, double withTerm);
    // A word's part of a document's weight, given its scaled idf and 1 / the average length.
    static double part(double idf, double inverseAverage, Xapian::termcount wdf,
                       Xapian::termcount doclen);
    // The best part any document can get (see above), a hair under it.
    static double maxPart(double idf);

    Xapian::Weight *clone() const override;
    void init(double factor) override;
    std::string name() const override;
    double get_sumpart(Xapian::termcount wdf, Xapian::termcount doclen,
                       Xapian::termcount uniqterms) const override;
    double get_maxpart() const override;
    double get_sumextra(Xapian::termcount doclen, Xapian::termcount uniqterms) const override;
    double get_maxextra() const override;

private:
    double m_idf = 0;
    double m_inverseAverage = 0;
};

} // namespace catalog
