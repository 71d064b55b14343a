#include "wordsource.h"

#include "tracklengths.h"
#include "trackweight.h"

#include <algorithm>
#include <cstring>

namespace catalog {

WordSource::WordSource(const TrackLengths &lengths, Xapian::doccount frequency, double factor,
                       bool exactBound)
    : m_lengths(lengths)
    , m_frequency(frequency)
    , m_factor(factor)
    , m_exactBound(exactBound)
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
    // As TrackWeight::init with the same factor (a scaled word).
    m_termWeight = TrackWeight::termWeight(db.get_doccount(), m_frequency, m_factor);
    m_inverseAverage = TrackWeight::inverseAverage(db.get_avlength());
    set_maxweight(m_exactBound ? TrackWeight::bestPart(m_termWeight)
                               : TrackWeight::maxPart(m_termWeight));
}

double WordSource::weigh(Xapian::termcount count, Xapian::docid id) const
{
    return weigh(m_termWeight, count, id);
}

double WordSource::weigh(double termWeight, Xapian::termcount count, Xapian::docid id) const
{
    return TrackWeight::part(termWeight, m_inverseAverage, count, m_lengths.of(id));
}

size_t WordSource::firstSet(const std::vector<uint8_t> &bytes, size_t from)
{
    // Eight bytes a step over the empty stretches.
    size_t at = from;
    while (at < bytes.size() && at % 8 != 0 && bytes[at] == 0)
        ++at;
    for (; at + 8 <= bytes.size(); at += 8) {
        uint64_t eight;
        std::memcpy(&eight, bytes.data() + at, sizeof eight);
        if (eight != 0)
            break;
    }
    while (at < bytes.size() && bytes[at] == 0)
        ++at;
    return std::min(at, bytes.size());
}

} // namespace catalog
