#include "commonwordsource.h"

#include "trackweight.h"

#include <algorithm>

namespace catalog {

CommonWordSource::Counts CommonWordSource::read(const Xapian::Database &db, const std::string &term)
{
    Counts counts(db.get_lastdocid() / 2 + 1, 0);
    for (auto it = db.postlist_begin(term); it != db.postlist_end(term); ++it) {
        const Xapian::termcount count = std::min<Xapian::termcount>(it.get_wdf(), 0xf);
        counts[*it / 2] |= uint8_t(count << (*it % 2 * 4));
    }
    return counts;
}

CommonWordSource::CommonWordSource(const Counts &counts, Xapian::doccount frequency,
                                   Xapian::termcount wqf)
    : m_counts(counts)
    , m_frequency(frequency)
    , m_wqf(wqf)
{}

Xapian::doccount CommonWordSource::get_termfreq_min() const
{
    return m_frequency;
}

Xapian::doccount CommonWordSource::get_termfreq_est() const
{
    return m_frequency;
}

Xapian::doccount CommonWordSource::get_termfreq_max() const
{
    return m_frequency;
}

void CommonWordSource::init(const Xapian::Database &db)
{
    m_db = db;
    m_at = 0;
    m_end = Xapian::docid(m_counts.size() * 2);
    // As TrackWeight::init with the factor 1 a word of the query gets.
    m_idf = 1.0 * double(m_wqf) * TrackWeight::idf(double(db.get_doccount()), double(m_frequency));
    const double average = db.get_avlength();
    m_inverseAverage = average > 0 ? 1.0 / average : 0.0;
    set_maxweight(TrackWeight::maxPart(m_idf));
}

double CommonWordSource::get_weight() const
{
    return TrackWeight::part(m_idf, m_inverseAverage, countIn(m_counts, m_at),
                             m_db.get_doclength(m_at));
}

Xapian::docid CommonWordSource::get_docid() const
{
    return m_at;
}

void CommonWordSource::next(double)
{
    do
        ++m_at;
    while (m_at < m_end && countIn(m_counts, m_at) == 0);
}

void CommonWordSource::skip_to(Xapian::docid id, double minWeight)
{
    if (id <= m_at)
        return;
    m_at = id - 1;
    next(minWeight);
}

bool CommonWordSource::check(Xapian::docid id, double)
{
    // Either on the track, or off it at a place from which next() finds the one after.
    m_at = std::max(m_at, id);
    return m_at >= m_end || countIn(m_counts, m_at) != 0;
}

bool CommonWordSource::at_end() const
{
    return m_at >= m_end;
}

Xapian::PostingSource *CommonWordSource::clone() const
{
    return new CommonWordSource(m_counts, m_frequency, m_wqf);
}

} // namespace catalog
