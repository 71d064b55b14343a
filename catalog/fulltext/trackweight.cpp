#include "trackweight.h"

#include <algorithm>
#include <cmath>

namespace catalog {

TrackWeight::TrackWeight()
{
    need_stat(TERMFREQ);
    need_stat(COLLECTION_SIZE);
    need_stat(AVERAGE_LENGTH);
    need_stat(DOC_LENGTH);
    need_stat(WDF);
}

Xapian::BM25Weight TrackWeight::stock()
{
    return Xapian::BM25Weight(k1, 0, 0, b, minNormalLength);
}

Xapian::Weight *TrackWeight::clone() const
{
    return new TrackWeight;
}

std::string TrackWeight::name() const
{
    return "larkspin-track";
}

// Each step below is the stock weight's, in its order: a different order of the same
// operations rounds differently, and ties would then break differently on a front.
namespace {

double logRatio(Xapian::doccount documents, Xapian::doccount withTerm)
{
    double tw = (documents - withTerm + 0.5) / (withTerm + 0.5);
    if (tw < 2)
        tw = tw * 0.5 + 1;
    return std::log(tw);
}

double scaledWeight(double logRatio, double factor)
{
    double weight = logRatio * factor;
    weight *= (TrackWeight::k1 + 1);
    return weight;
}

} // namespace

double TrackWeight::termWeight(Xapian::doccount documents, Xapian::doccount withTerm, double factor)
{
    return scaledWeight(logRatio(documents, withTerm), factor);
}

double TrackWeight::bestPart(double termWeight)
{
    const double count = maxWdf;
    return termWeight * (count / (k1 * (minNormalLength * b + (1 - b)) + count));
}

double TrackWeight::maxPart(double termWeight)
{
    // A hair under the true best: the matcher stops only once its page is strictly better
    // than what is left, and a later track that merely ties would rank after the page anyway
    // (ties go by id, and tracks are met in id order).
    return bestPart(termWeight) * (1 - 1e-9);
}

double TrackWeight::completionFactor(Xapian::doccount documents, Xapian::doccount withTerm,
                                     double target, bool &found)
{
    const double ratio = logRatio(documents, withTerm);
    const double factor = target / scaledWeight(ratio, 1.0);
    // The quotient is off by a rounding at most; its neighbours may hit the target exactly.
    double below = factor, above = factor;
    for (int step = 0; step < 3; ++step) {
        if (scaledWeight(ratio, below) == target) {
            found = true;
            return below;
        }
        if (scaledWeight(ratio, above) == target) {
            found = true;
            return above;
        }
        below = std::nextafter(below, 0.0);
        above = std::nextafter(above, 2 * above + 1);
    }
    found = false;
    return factor;
}

void TrackWeight::init(double factor)
{
    m_termWeight = termWeight(get_collection_size(), get_termfreq(), factor);
    m_inverseAverage = inverseAverage(get_average_length());
}

double TrackWeight::inverseAverage(double averageLength)
{
    return averageLength != 0 ? 1 / averageLength : 0.0;
}

double TrackWeight::get_sumpart(Xapian::termcount wdf, Xapian::termcount doclen,
                                Xapian::termcount) const
{
    return part(m_termWeight, m_inverseAverage, wdf, doclen);
}

double TrackWeight::get_maxpart() const
{
    return maxPart(m_termWeight);
}

double TrackWeight::get_sumextra(Xapian::termcount, Xapian::termcount) const
{
    return 0;
}

double TrackWeight::get_maxextra() const
{
    return 0;
}

} // namespace catalog
