#include "trackweight.h"

#include <algorithm>
#include <cmath>

namespace catalog {

namespace {

constexpr double k1 = 1.0;
constexpr double b = 0.5;

} // namespace

TrackWeight::TrackWeight()
{
    need_stat(TERMFREQ);
    need_stat(COLLECTION_SIZE);
    need_stat(AVERAGE_LENGTH);
    need_stat(DOC_LENGTH);
    need_stat(WDF);
    need_stat(WQF);
}

Xapian::Weight *TrackWeight::clone() const
{
    return new TrackWeight;
}

std::string TrackWeight::name() const
{
    return "larkspin-track";
}

double TrackWeight::idf(double documents, double withTerm)
{
    return std::log(1.0 + (documents - withTerm + 0.5) / (withTerm + 0.5));
}

double TrackWeight::part(double idf, double inverseAverage, Xapian::termcount wdf,
                         Xapian::termcount doclen)
{
    if (wdf == 0)
        return 0;
    const double count = double(std::min(wdf, maxWdf));
    const double length = std::max(1.0, double(doclen) * inverseAverage);
    return idf * (k1 + 1) * count / (k1 * ((1 - b) + b * length) + count);
}

double TrackWeight::maxPart(double idf)
{
    // A hair under the true best: the matcher stops only once its page is strictly better
    // than what is left, and a later track that merely ties would rank after the page anyway
    // (ties go by id, and tracks are met in id order).
    const double count = double(maxWdf);
    return idf * (k1 + 1) * count / (k1 + count) * (1 - 1e-9);
}

void TrackWeight::init(double factor)
{
    m_idf = factor * double(get_wqf()) * idf(double(get_collection_size()), double(get_termfreq()));
    const double average = get_average_length();
    m_inverseAverage = average > 0 ? 1.0 / average : 0.0;
}

double TrackWeight::get_sumpart(Xapian::termcount wdf, Xapian::termcount doclen,
                                Xapian::termcount) const
{
    return part(m_idf, m_inverseAverage, wdf, doclen);
}

double TrackWeight::get_maxpart() const
{
    return maxPart(m_idf);
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
