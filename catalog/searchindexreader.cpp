#include "searchindexreader.h"

#include "searchquery.h"
#include "searchtotals.h"
#include "trackweight.h"

#include <xapian.h>

namespace catalog {

namespace {

// Commits become visible to searches within this time.
constexpr auto refreshInterval = std::chrono::milliseconds(250);

struct BuiltQuery
{
    Xapian::Query query;
    // The last word is in the index and begins no other word.
    bool lastIsWhole = false;
};

BuiltQuery buildQuery(const Xapian::Database &db, const std::vector<std::string> &words)
{
    std::vector<Xapian::Query> parts;
    for (size_t i = 0; i + 1 < words.size(); ++i)
        parts.emplace_back(words[i]);
    // The last word as typed so far matches the words it begins (the most frequent of them,
    // weighed as one word) and always itself, whose weight then counts twice: a track with
    // the word ranks above tracks with longer words that start with it.
    const std::string &last = words.back();
    BuiltQuery built;
    auto term = db.allterms_begin(last);
    const auto end = db.allterms_end(last);
    const bool exists = term != end && *term == last;
    built.lastIsWhole = exists && ++term == end;
    if (built.lastIsWhole) {
        // The same weight as the word and its expansion to itself, with one posting list
        // read instead of two: a common word's list is most of a search's time.
        parts.emplace_back(last, Xapian::termcount(2));
    } else {
        const Xapian::Query prefix(Xapian::Query::OP_WILDCARD, last,
                                   SearchIndexReader::prefixExpansion,
                                   Xapian::Query::WILDCARD_LIMIT_MOST_FREQUENT);
        if (exists)
            parts.emplace_back(Xapian::Query::OP_OR, prefix, Xapian::Query(last));
        else
            parts.push_back(prefix);
    }
    built.query = Xapian::Query(Xapian::Query::OP_AND, parts.begin(), parts.end());
    return built;
}

// Counts the matches it is shown, which come in id order, and where the last one lay.
class MatchCounter : public Xapian::MatchDecider
{
public:
    bool operator()(const Xapian::Document &document) const override
    {
        ++count;
        last = document.get_docid();
        return true;
    }

    mutable Xapian::doccount count = 0;
    mutable Xapian::docid last = 0;
};

} // namespace

int64_t SearchIndexReader::countMatches(const Xapian::Query &query,
                                        const std::vector<std::string> &words, bool lastIsWhole)
{
    // One whole word that begins no other: the index knows its count.
    if (words.size() == 1 && lastIsWhole)
        return int64_t(m_db->get_termfreq(words[0]));
    // Xapian's own estimate of what it did not look at is coarse (it rounds, and errs by far
    // more than 5 % for two words), so count the first exactTotals matches in id order and
    // extrapolate from how far into the ids they reach. Matches spread over the ids as the
    // sample shows (the benchmark's tracks do) come within a few per cent.
    m_counter->set_query(query);
    MatchCounter counter;
    m_counter->get_mset(0, 0, exactTotals + 1, nullptr, &counter);
    if (counter.count <= exactTotals || counter.last == 0)
        return int64_t(counter.count);
    return int64_t(double(counter.count) * double(m_db->get_lastdocid()) / double(counter.last));
}

SearchIndexReader::SearchIndexReader(std::string path, SearchTotals *totals)
    : m_path(std::move(path))
    , m_totals(totals)
{}

SearchIndexReader::~SearchIndexReader() = default;

bool SearchIndexReader::ensureOpen()
{
    if (m_db)
        return true;
    try {
        m_db = std::make_unique<Xapian::Database>(m_path);
        m_enquire = std::make_unique<Xapian::Enquire>(*m_db);
        m_enquire->set_weighting_scheme(TrackWeight());
        m_enquire->set_docid_order(Xapian::Enquire::ASCENDING);
        m_counter = std::make_unique<Xapian::Enquire>(*m_db);
        m_counter->set_weighting_scheme(Xapian::BoolWeight());
        m_refreshed = std::chrono::steady_clock::now();
        return true;
    } catch (const Xapian::Error &) {
        m_counter.reset();
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
        m_counter.reset();
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
            const BuiltQuery search = buildQuery(*m_db, query.words());
            const std::string uuid = m_totals ? m_db->get_uuid() : std::string();
            const uint64_t revision = m_totals ? m_db->get_revision() : 0;
            m_enquire->set_query(search.query);
            const auto first = Xapian::doccount(std::min<int64_t>(start, UINT32_MAX));
            const Xapian::MSet mset = m_enquire->get_mset(first, Xapian::doccount(count));
            // A ranking that had to look at every match knows their number; one that stopped
            // early leaves them to be counted, without weights, once per revision.
            int64_t total = 0;
            if (mset.get_matches_lower_bound() == mset.get_matches_upper_bound()) {
                total = int64_t(mset.get_matches_lower_bound());
                if (m_totals)
                    m_totals->insert(query.words(), uuid, revision, total);
            } else if (const auto known
                       = m_totals ? m_totals->find(query.words(), uuid, revision) : std::nullopt) {
                total = *known;
            } else {
                total = countMatches(search.query, query.words(), search.lastIsWhole);
                if (m_totals)
                    m_totals->insert(query.words(), uuid, revision, total);
            }
            matches.ids.clear();
            for (auto it = mset.begin(); it != mset.end(); ++it)
                matches.ids.push_back(int64_t(*it));
            matches.total = total;
            // Past the last match the count is known: keep the total true to the pages.
            if (matches.ids.size() < size_t(count)) {
                matches.total = matches.ids.empty() ? std::min(total, start)
                                                    : start + int64_t(matches.ids.size());
            } else {
                matches.total = std::max(matches.total, start + int64_t(matches.ids.size()));
            }
            return matches;
        } catch (const Xapian::DatabaseModifiedError &) {
            refresh();
        } catch (const Xapian::Error &) {
            m_counter.reset();
            m_enquire.reset();
            m_db.reset();
        }
    }
    return matches;
}

} // namespace catalog
