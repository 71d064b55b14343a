#pragma once

#include <xapian.h>

#include <algorithm>

namespace catalog {

// BM25 as Xapian::BM25Weight(k1 = 1, k2 = 0, k3 = 0, b = 0.5, min_normlen = 1) computes it,
// to the last bit, so that a front searching shards with the stock weight over Xapian's remote
// backend ranks whole words exactly as one node does. Words are indexed with their counts
// capped at maxWdf, and tracks shorter than the average count as average: together they make
// the best possible weight of a word one that many tracks really reach, so the bound this
// weight tells the matcher (a hair under that best) lets it stop once a page of tracks reaches
// it instead of scoring every match of a common word. A query's word counted twice is scaled
// by 2 (Xapian::Query::OP_SCALE_WEIGHT), which the stock weight computes alike; the count of a
// word in the query is ignored, as with k3 = 0. A last word's completions are each scaled to
// one idf, that of their frequencies summed (completionFactor), and a track weighs as its best
// one (OP_MAX): a word's frequency is a sum over shards, so a front computes the same, where
// Xapian's synonym estimates a frequency shard by shard. Xapian clones it for each search, on
// the searching thread.
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
    // The factor that scales the weight of a completion that withTerm of the documents have
    // to target, a termWeight; exact where found is set: then the scaled termWeight is target
    // to the last bit, and the hair under the best in maxPart holds for the completions as
    // for one word. Otherwise their weights differ in the last bits, and a track of one may
    // beat a page of another's best by a bit: its bound must be bestPart.
    static double completionFactor(Xapian::doccount documents, Xapian::doccount withTerm,
                                   double target, bool &found);
    // 1 / the average length of documents (0 with none), as part() takes it.
    static double inverseAverage(double averageLength);
    // A word's part of a document's weight, given its termWeight and 1 / the average length.
    static double part(double termWeight, double inverseAverage, Xapian::termcount wdf,
                       Xapian::termcount doclen)
    {
        if (wdf == 0)
            return 0;
        const double normalLength = std::max(doclen * inverseAverage, minNormalLength);
        const double count = std::min(wdf, maxWdf);
        const double denominator = k1 * (normalLength * b + (1 - b)) + count;
        return termWeight * (count / denominator);
    }
    // The best part any document can get (see above), and a hair under it.
    static double bestPart(double termWeight);
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
