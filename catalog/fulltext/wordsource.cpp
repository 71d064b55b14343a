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
    // As TrackWeight::init with the factor 1 a word of the query gets.
    m_idf = 1.0 * double(m_wqf) * TrackWeight::idf(double(db.get_doccount()), double(m_frequency));
    const double average = db.get_avlength();
    m_inverseAverage = average > 0 ? 1.0 / average : 0.0;
    set_maxweight(TrackWeight::maxPart(m_idf));
}

double WordSource::weigh(Xapian::termcount count, Xapian::docid id) const
{
    return TrackWeight::part(m_idf, m_inverseAverage, count, m_lengths.of(id));
}

} // namespace catalog
