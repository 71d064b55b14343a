#pragma once

#include <xapian.h>

namespace catalog {

// BM25 as Xapian::BM25Weight(k1 = 1, k2 = 0, k3 = 0, b = 0.5, min_normlen = 1) computes it,
// to the last bit, so that a front searching shards with the stock weight over Xapian's remote
// backend ranks whole words exactly as one node does. Words are indexed with their counts
// capped at maxWdf, and tracks shorter than the average count as average: together they make
// the best possible weight of a word one that many tracks really reach, so the bound this
// weight tells the matcher (a hair under that best) lets it stop once a page of tracks reaches
// it instead of scoring every match of a common word. A query's word counted twice is scaled
// by 2 (Xapian::Query::OP_SCALE_WEIGHT), which the stock weight computes alike; the count of a
// word in the query is ignored, as with k3 = 0. A track weighs as its best one of a last
// word's completions (OP_MAX), each with its own idf: a word's frequency is a sum over shards,
// so a front computes the same, where Xapian's synonym estimates a frequency shard by shard.
// Distinct frequencies give weights far more than the hair below apart, so the bound holds for
// completions too. Xapian clones it for each search, on the searching thread.
class TrackWeight : public Xapian::Weight
{
public:
    static constexpr Xapian::termcount maxWdf = 4;
    static constexpr double k1 = 1.0;
    static constexpr double b = 0.5;
    static constexpr double minNormalLength = 1.0;

    TrackWeight();

    // The stock weight's parameters, for a front that cannot run this class.
    static Xapian::BM25Weight stock();

    // BM25's idf of a word that withTerm of the documents have (kept positive for words that
    // most documents have), times factor and k1 + 1.
    static double termWeight(Xapian::doccount documents, Xapian::doccount withTerm, double factor);
    // A word's part of a document's weight, given its termWeight and 1 / the average length.
    static double part(double termWeight, double inverseAverage, Xapian::termcount wdf,
                       Xapian::termcount doclen);
    // The best part any document can get (see above), a hair under it.
    static double maxPart(double termWeight);

    Xapian::Weight *clone() const override;
    void init(double factor) override;
    std::string name() const override;
    double get_sumpart(Xapian::termcount wdf, Xapian::termcount doclen,
                       Xapian::termcount uniqterms) const override;
    double get_maxpart() const override;
    double get_sumextra(Xapian::termcount doclen, Xapian::termcount uniqterms) const override;
    double get_maxextra() const override;

private:
    double m_termWeight = 0;
    double m_inverseAverage = 0;
};

} // namespace catalog
