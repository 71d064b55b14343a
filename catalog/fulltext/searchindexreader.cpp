#include "searchindexreader.h"

#include "commonwordsource.h"
#include "listedwordsource.h"
#include "searchquery.h"
#include "searchtotals.h"
#include "tracklengths.h"
#include "trackweight.h"

#include <xapian.h>

#include <algorithm>
#include <limits>
#include <optional>

namespace catalog {

namespace {

// Commits become visible to searches within this time.
constexpr auto refreshInterval = std::chrono::milliseconds(250);
// The tracks' lengths a search reads into memory (about a millisecond's worth).
constexpr Xapian::doccount lengthsASearch = 65536;

struct BuiltQuery
{
    Xapian::Query query;
    // Every match has all of these words...
    std::vector<std::string> whole;
    // ...and one of these, unless there are none.
    std::vector<std::string> anyOf;
    // The tracks with the rarest whole word, and those with any of anyOf counted once a word.
    Xapian::doccount rarestWhole = std::numeric_limits<Xapian::doccount>::max();
    uint64_t anyOfTotal = 0;
};

using Counts = CommonWordSource::Counts;

// A common word's counts, when it is common enough to be asked again and again: one track in
// 32 or more. They are read when a walk would move through most of its list anyway (a lead
// entry for every few hundred of its own, about one a chunk), and kept for the next searches.
const Counts *commonWordCounts(const Xapian::Database &db, SearchIndexReader::CommonWords &known,
                               const std::string &term, Xapian::doccount frequency,
                               Xapian::doccount leadFrequency)
{
    if (uint64_t(frequency) * 32 < db.get_lastdocid())
        return nullptr;
    if (const auto found = known.find(term); found != known.end())
        return &found->second;
    if (uint64_t(leadFrequency) * 512 < frequency)
        return nullptr;
    return &known.emplace(term, CommonWordSource::read(db, term)).first->second;
}

// The prefixExpansion most frequent words that begin with prefix, ties in word order.
const SearchIndexReader::Expansion &
expand(const Xapian::Database &db, SearchIndexReader::Expansions &known, const std::string &prefix)
{
    if (const auto found = known.find(prefix); found != known.end())
        return found->second;
    std::vector<std::pair<Xapian::doccount, std::string>> found;
    SearchIndexReader::Expansion expansion;
    for (auto term = db.allterms_begin(prefix); term != db.allterms_end(prefix); ++term) {
        found.emplace_back(term.get_termfreq(), *term);
        expansion.isWord = expansion.isWord || *term == prefix;
    }
    const auto kept = std::min<size_t>(found.size(), SearchIndexReader::prefixExpansion);
    std::partial_sort(found.begin(), found.begin() + ptrdiff_t(kept), found.end(),
                      [](const auto &a, const auto &b) {
                          return a.first != b.first ? a.first > b.first : a.second < b.second;
                      });
    found.resize(kept);
    for (auto &term : found)
        expansion.terms.push_back(std::move(term.second));
    return known.emplace(prefix, std::move(expansion)).first->second;
}

BuiltQuery buildQuery(const Xapian::Database &db, const std::vector<std::string> &words,
                      SearchIndexReader::Expansions &expansions,
                      SearchIndexReader::CommonWords &known, TrackLengths &lengths)
{
    BuiltQuery built;
    built.whole.assign(words.begin(), words.end() - 1);
    // The last word as typed so far matches the words it begins (the most frequent of them,
    // weighed as one word) and always itself, whose weight then counts twice: a track with
    // the word ranks above tracks with longer words that start with it.
    const std::string &last = words.back();
    const SearchIndexReader::Expansion &expansion = expand(db, expansions, last);
    const bool lastIsWord = expansion.isWord;
    std::vector<std::string> terms = expansion.terms;
    std::optional<Xapian::Query> lastPart;
    Xapian::termcount lastCount = 0;
    if (lastIsWord && terms.size() == 1) {
        // The same weight as the word or'ed with its expansion to itself, with one posting
        // list read instead of two: a common word's list is most of a search's time.
        built.whole.push_back(last);
        lastCount = 2;
    } else {
        const Xapian::Query prefix(Xapian::Query::OP_SYNONYM, terms.begin(), terms.end());
        if (lastIsWord) {
            lastPart = Xapian::Query(Xapian::Query::OP_OR, prefix, Xapian::Query(last));
            if (std::find(terms.begin(), terms.end(), last) == terms.end())
                terms.push_back(last);
        } else {
            lastPart = prefix;
        }
        built.anyOf = std::move(terms);
    }
    // The rarest part leads the matcher; a common whole word after it is read from its counts
    // in memory where it would otherwise be walked to every track the lead names.
    std::vector<Xapian::doccount> frequencies;
    for (const auto &word : built.whole) {
        frequencies.push_back(db.get_termfreq(word));
        built.rarestWhole = std::min(built.rarestWhole, frequencies.back());
    }
    for (const auto &word : built.anyOf)
        built.anyOfTotal += db.get_termfreq(word);
    const auto lead
        = built.anyOf.empty()
              ? built.rarestWhole
              : Xapian::doccount(std::min<uint64_t>(built.rarestWhole, built.anyOfTotal));
    // The other words are weighed by sources of our own once the tracks' lengths are in
    // memory, rather than by Xapian with a length read from the index for every match.
    const bool lengthsRead = lengths.readMore(lengthsASearch);
    std::vector<Xapian::Query> parts;
    for (size_t i = 0; i < built.whole.size(); ++i) {
        const std::string &word = built.whole[i];
        const Xapian::termcount count = i + 1 == built.whole.size() && lastCount ? lastCount : 1;
        const Counts *counts = frequencies[i] > lead
                                   ? commonWordCounts(db, known, word, frequencies[i], lead)
                                   : nullptr;
        if (counts)
            parts.emplace_back(
                (new CommonWordSource(*counts, lengths, frequencies[i], count))->release());
        else if (lengthsRead)
            parts.emplace_back(
                (new ListedWordSource(word, lengths, frequencies[i], count))->release());
        else
            parts.emplace_back(word, count);
    }
    // An expansion to nothing (no word begins so) leaves the query matching nothing.
    if (lastPart)
        parts.push_back(*lastPart);
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

struct Postings
{
    Postings(const Xapian::Database &db, const std::string &term)
        : term(term)
        , frequency(db.get_termfreq(term))
    {}

    // Reads its list, or its counts where the word is common and may use them.
    void open(const Xapian::Database &db, SearchIndexReader::CommonWords *known,
              Xapian::doccount leadFrequency)
    {
        counts = known ? commonWordCounts(db, *known, term, frequency, leadFrequency) : nullptr;
        if (!counts) {
            at = db.postlist_begin(term);
            end = db.postlist_end(term);
        }
    }

    std::string term;
    Xapian::doccount frequency;
    const Counts *counts = nullptr;
    Xapian::PostingIterator at;
    Xapian::PostingIterator end;
};

// The first matches in id order, up to limit, walking the rarest whole word's list and
// moving the others' to each of its tracks (or testing their counts). Of the words the last may
// be, the most frequent is asked first and the others only when it fails: their lists are left
// behind and later skip whole chunks rather than read every entry (Xapian's own OR moves all of
// them).
void countInOrder(const Xapian::Database &db, const BuiltQuery &built,
                  SearchIndexReader::CommonWords &known, Xapian::doccount limit,
                  Xapian::doccount &count, Xapian::docid &last)
{
    std::vector<Postings> whole, anyOf;
    for (const auto &term : built.whole)
        whole.emplace_back(db, term);
    for (const auto &term : built.anyOf)
        anyOf.emplace_back(db, term);
    // The commoner words last, so that a rarer one moves the walk on first.
    std::sort(whole.begin(), whole.end(),
              [](const Postings &a, const Postings &b) { return a.frequency < b.frequency; });
    std::sort(anyOf.begin(), anyOf.end(),
              [](const Postings &a, const Postings &b) { return a.frequency > b.frequency; });
    const Xapian::doccount leadFrequency = whole.front().frequency;
    for (size_t i = 0; i < whole.size(); ++i)
        whole[i].open(db, i > 0 ? &known : nullptr, leadFrequency);
    for (auto &other : anyOf)
        other.open(db, &known, leadFrequency);
    Postings &lead = whole.front();
    while (lead.at != lead.end) {
        const Xapian::docid id = *lead.at;
        Xapian::docid ahead = id;
        bool missing = false;
        for (size_t i = 1; i < whole.size() && ahead == id && !missing; ++i) {
            Postings &other = whole[i];
            if (other.counts) {
                missing = CommonWordSource::countIn(*other.counts, id) == 0;
                continue;
            }
            other.at.skip_to(id);
            if (other.at == other.end)
                return;
            ahead = *other.at;
        }
        if (ahead != id) {
            lead.at.skip_to(ahead);
            continue;
        }
        bool found = !missing && anyOf.empty();
        for (size_t i = 0; i < anyOf.size() && !missing && !found; ++i) {
            Postings &other = anyOf[i];
            if (other.counts) {
                found = CommonWordSource::countIn(*other.counts, id) != 0;
                continue;
            }
            if (other.at != other.end && *other.at < id)
                other.at.skip_to(id);
            found = other.at != other.end && *other.at == id;
        }
        if (found) {
            ++count;
            last = id;
            if (count >= limit)
                return;
        }
        ++lead.at;
    }
}

int64_t countMatches(const Xapian::Database &db, Xapian::Enquire &counter, const BuiltQuery &built,
                     SearchIndexReader::CommonWords &known)
{
    if (built.whole.empty() && built.anyOf.empty())
        return 0;
    // One whole word: the index knows its count.
    if (built.whole.size() == 1 && built.anyOf.empty())
        return int64_t(built.rarestWhole);
    // Xapian's own estimate of what it did not look at is coarse (it rounds, and errs by far
    // more than 5 % for two words), so count the first exactTotals matches in id order and
    // extrapolate from how far into the ids they reach. Matches spread over the ids as the
    // sample shows (the benchmark's tracks do) come within a few per cent.
    const Xapian::doccount limit = SearchIndexReader::exactTotals + 1;
    Xapian::doccount count = 0;
    Xapian::docid last = 0;
    if (!built.anyOf.empty() && built.anyOfTotal < built.rarestWhole) {
        // The words the last may be are together rarer than any whole word: Xapian's AND
        // walks their union and skips the whole words' lists along.
        counter.set_query(built.query);
        MatchCounter decider;
        counter.get_mset(0, 0, limit, nullptr, &decider);
        count = decider.count;
        last = decider.last;
    } else {
        countInOrder(db, built, known, limit, count, last);
    }
    if (count <= SearchIndexReader::exactTotals || last == 0)
        return int64_t(count);
    return int64_t(double(count) * double(db.get_lastdocid()) / double(last));
}

} // namespace

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
        m_commonWords.clear();
        m_expansions.clear();
        m_lengths = std::make_unique<TrackLengths>(*m_db);
        m_enquire = std::make_unique<Xapian::Enquire>(*m_db);
        m_enquire->set_weighting_scheme(TrackWeight());
        m_enquire->set_docid_order(Xapian::Enquire::ASCENDING);
        m_counter = std::make_unique<Xapian::Enquire>(*m_db);
        m_counter->set_weighting_scheme(Xapian::BoolWeight());
        m_refreshed = std::chrono::steady_clock::now();
        return true;
    } catch (const Xapian::Error &) {
        close();
        return false;
    }
}

void SearchIndexReader::close()
{
    // The tracks' lengths hold the database open too.
    m_lengths.reset();
    m_counter.reset();
    m_enquire.reset();
    m_db.reset();
}

void SearchIndexReader::refresh()
{
    if (!m_db)
        return;
    try {
        // A newer revision, or another database at the path (made again, or compacted):
        // the counts, expansions and lengths read so far may be wrong for it.
        if (m_db->reopen()) {
            m_commonWords.clear();
            m_expansions.clear();
            m_lengths = std::make_unique<TrackLengths>(*m_db);
        }
    } catch (const Xapian::Error &) {
        // Reopened on the next search.
        close();
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
            // The counts and expansions are dropped with their revision (see refresh), or
            // past their bounds, never during a search: its query reads the counts.
            size_t commonBytes = 0;
            for (const auto &word : m_commonWords)
                commonBytes += word.second.size();
            if (commonBytes > maxCommonBytes)
                m_commonWords.clear();
            if (m_expansions.size() >= maxExpansions)
                m_expansions.clear();
            const BuiltQuery search
                = buildQuery(*m_db, query.words(), m_expansions, m_commonWords, *m_lengths);
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
                total = countMatches(*m_db, *m_counter, search, m_commonWords);
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
            close();
        }
    }
    return matches;
}

} // namespace catalog
