#include "wordsource.h"

#include "tracklengths.h"
#include "trackweight.h"

namespace catalog {

WordSource::WordSource(const TrackLengths &lengths, Xapian::doccount frequency,
                       Xapian::termcount wqf)
    : m_lengths(lengths)
    , m_frequency(frequency)
    , m_wqf(wqf)
{}

Xapian::doccount WordSource::get_termfreq_min() const
{
    return m_frequency;
}

Xapian::doccount WordSource::get_termfreq_est() const
{
    return m_frequency;
}

Xapian::doccount WordSource::get_termfreq_max() const
{
    return m_frequency;
}

void WordSource::init(const Xapian::Database &db)
{
    // As TrackWeight::init with the word's count in the query as its factor (a scaled word).
    m_termWeight = TrackWeight::termWeight(db.get_doccount(), m_frequency, double(m_wqf));
    const double average = db.get_avlength();
    m_inverseAverage = average != 0 ? 1 / average : 0.0;
    set_maxweight(TrackWeight::maxPart(m_termWeight));
}

double WordSource::weigh(Xapian::termcount count, Xapian::docid id) const
{
    return TrackWeight::part(m_termWeight, m_inverseAverage, count, m_lengths.of(id));
}

} // namespace catalog
