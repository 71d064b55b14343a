#include "tracklengths.h"

#include <algorithm>

namespace catalog {

TrackLengths::TrackLengths(const Xapian::Database &db)
    : m_db(db)
{}

bool TrackLengths::readMore(Xapian::doccount count)
{
    if (m_read)
        return true;
    if (m_lengths.empty())
        m_lengths.assign(size_t(m_db.get_lastdocid()) + 1, 0);
    auto it = m_db.postlist_begin("");
    const auto end = m_db.postlist_end("");
    it.skip_to(m_next);
    for (; it != end && count > 0; ++it, --count)
        m_lengths[*it] = uint16_t(std::min<Xapian::termcount>(it.get_doclength(), saturated));
    m_read = it == end;
    if (!m_read)
        m_next = *it;
    return m_read;
}

} // namespace catalog
