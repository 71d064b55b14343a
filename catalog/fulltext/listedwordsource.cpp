#include "listedwordsource.h"

namespace catalog {

ListedWordSource::ListedWordSource(std::string word, const TrackLengths &lengths,
                                   Xapian::doccount frequency, double factor, bool exactBound)
    : WordSource(lengths, frequency, factor, exactBound)
    , m_word(std::move(word))
{}

void ListedWordSource::init(const Xapian::Database &db)
{
    WordSource::init(db);
    m_at = db.postlist_begin(m_word);
    m_end = db.postlist_end(m_word);
    m_started = false;
}

double ListedWordSource::get_weight() const
{
    return weigh(m_at.get_wdf(), *m_at);
}

Xapian::docid ListedWordSource::get_docid() const
{
    return *m_at;
}

void ListedWordSource::next(double)
{
    if (m_started)
        ++m_at;
    m_started = true;
}

void ListedWordSource::skip_to(Xapian::docid id, double)
{
    m_started = true;
    m_at.skip_to(id);
}

bool ListedWordSource::at_end() const
{
    return m_started && m_at == m_end;
}

Xapian::PostingSource *ListedWordSource::clone() const
{
    return new ListedWordSource(m_word, m_lengths, m_frequency, m_factor, m_exactBound);
}

} // namespace catalog
