#include "commonwordsource.h"

#include <algorithm>

namespace catalog {

CommonWordSource::Counts CommonWordSource::read(const Xapian::Database &db, const std::string &term,
                                                std::vector<uint64_t> &present)
{
    Counts counts(db.get_lastdocid() / 2 + 1, 0);
    present.assign((counts.size() * 2 + 63) / 64, 0);
    for (auto it = db.postlist_begin(term); it != db.postlist_end(term); ++it) {
        const Xapian::termcount count = std::min<Xapian::termcount>(it.get_wdf(), 0xf);
        counts[*it / 2] |= uint8_t(count << (*it % 2 * 4));
        present[*it / 64] |= uint64_t(count != 0) << (*it % 64);
    }
    return counts;
}

Xapian::docid CommonWordSource::firstFrom(const Counts &counts, Xapian::docid id)
{
    // Two tracks a byte, most bytes of a word in one track in 32 of them empty.
    for (size_t byte = firstSet(counts, id / 2); byte < counts.size();
         byte = firstSet(counts, byte + 1)) {
        const auto first = Xapian::docid(byte * 2);
        if (first >= id && (counts[byte] & 0xf) != 0)
            return first;
        if (counts[byte] >> 4 != 0)
            return first + 1;
    }
    return Xapian::docid(counts.size() * 2);
}

CommonWordSource::CommonWordSource(const Counts &counts, const TrackLengths &lengths,
                                   Xapian::doccount frequency, Xapian::termcount wqf,
                                   bool exactBound)
    : WordSource(lengths, frequency, wqf, exactBound)
    , m_counts(counts)
{}

void CommonWordSource::init(const Xapian::Database &db)
{
    WordSource::init(db);
    m_at = 0;
    m_end = Xapian::docid(m_counts.size() * 2);
}

double CommonWordSource::get_weight() const
{
    return weigh(countIn(m_counts, m_at), m_at);
}

Xapian::docid CommonWordSource::get_docid() const
{
    return m_at;
}

void CommonWordSource::next(double)
{
    m_at = firstFrom(m_counts, m_at + 1);
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
    return new CommonWordSource(m_counts, m_lengths, m_frequency, Xapian::termcount(m_factor),
                                m_exactBound);
}

} // namespace catalog
