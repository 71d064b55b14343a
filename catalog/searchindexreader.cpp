#include "searchindexreader.h"

#include "searchquery.h"

#include <xapian.h>

namespace catalog {

namespace {

// Commits become visible to searches within this time.
constexpr auto refreshInterval = std::chrono::milliseconds(250);

Xapian::Query buildQuery(const std::vector<std::string> &words)
{
    std::vector<Xapian::Query> parts;
    for (size_t i = 0; i + 1 < words.size(); ++i)
        parts.emplace_back(words[i]);
    // The last word as typed so far: the word itself ranks above the longer words it begins.
    const std::string &last = words.back();
    const Xapian::Query prefix(Xapian::Query::OP_WILDCARD, last, SearchIndexReader::prefixExpansion,
                               Xapian::Query::WILDCARD_LIMIT_MOST_FREQUENT);
    parts.emplace_back(Xapian::Query::OP_OR, Xapian::Query(last), prefix);
    return Xapian::Query(Xapian::Query::OP_AND, parts.begin(), parts.end());
}

} // namespace

SearchIndexReader::SearchIndexReader(std::string path)
    : m_path(std::move(path))
{}

SearchIndexReader::~SearchIndexReader() = default;

bool SearchIndexReader::ensureOpen()
{
    if (m_db)
        return true;
    try {
        m_db = std::make_unique<Xapian::Database>(m_path);
        m_enquire = std::make_unique<Xapian::Enquire>(*m_db);
        m_enquire->set_weighting_scheme(Xapian::BM25Weight());
        m_enquire->set_docid_order(Xapian::Enquire::ASCENDING);
        m_refreshed = std::chrono::steady_clock::now();
        return true;
    } catch (const Xapian::Error &) {
        m_enquire.reset();
        m_db.reset();
        return false;
    }
}

void SearchIndexReader::refresh()
{
    if (!m_db)
        return;
    try {
        m_db->reopen();
    } catch (const Xapian::Error &) {
        // Reopened on the next search.
        m_enquire.reset();
        m_db.reset();
    }
    m_refreshed = std::chrono::steady_clock::now();
}

SearchIndexReader::Matches SearchIndexReader::search(const SearchQuery &query, int64_t start,
                                                     int count)
{
    Matches matches;
    if (query.isEmpty() || start < 0 || count <= 0)
        return matches;
    if (std::chrono::steady_clock::now() - m_refreshed > refreshInterval)
        refresh();
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!ensureOpen())
            return matches;
        try {
            m_enquire->set_query(buildQuery(query.words()));
            const auto first = Xapian::doccount(std::min<int64_t>(start, UINT32_MAX));
            const Xapian::MSet mset
                = m_enquire->get_mset(first, Xapian::doccount(count), exactTotals);
            matches.ids.clear();
            for (auto it = mset.begin(); it != mset.end(); ++it)
                matches.ids.push_back(int64_t(*it));
            matches.total = int64_t(mset.get_matches_estimated());
            // Past the last match the count is known: keep the total true to the pages.
            if (matches.ids.size() < size_t(count)) {
                matches.total = matches.ids.empty() ? int64_t(mset.get_matches_lower_bound())
                                                    : start + int64_t(matches.ids.size());
            } else {
                matches.total = std::max(matches.total, start + int64_t(matches.ids.size()));
            }
            return matches;
        } catch (const Xapian::DatabaseModifiedError &) {
            refresh();
        } catch (const Xapian::Error &) {
            m_enquire.reset();
            m_db.reset();
        }
    }
    return matches;
}

} // namespace catalog
