#include "fulltextreader.h"

#include "builtquery.h"
#include "commonwordsource.h"
#include "completionsource.h"
#include "countskeeper.h"
#include "listedwordsource.h"
#include "matchwalk.h"
#include "searchquery.h"
#include "searchtotals.h"
#include "tracklengths.h"
#include "trackweight.h"

#include <xapian.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

namespace catalog {

namespace {

// Commits become visible to searches within this time.
constexpr auto refreshInterval = std::chrono::milliseconds(250);
// The tracks' lengths a search reads into memory (about a millisecond's worth).
constexpr Xapian::doccount lengthsASearch = 65536;

// The prefixExpansion most frequent words that begin with prefix, ties in word order, and the
// prefix itself where it is a word.
FullTextReader::Expansion &expand(const Xapian::Database &db, FullTextReader::Expansions &known,
                                  const std::string &prefix)
{
    if (const auto found = known.find(prefix); found != known.end())
        return found->second;
    std::vector<std::pair<Xapian::doccount, std::string>> found;
    FullTextReader::Expansion expansion;
    for (auto term = db.allterms_begin(prefix); term != db.allterms_end(prefix); ++term) {
        found.emplace_back(term.get_termfreq(), *term);
        expansion.isWord = expansion.isWord || *term == prefix;
    }
    const auto kept = std::min<size_t>(found.size(), FullTextReader::prefixExpansion);
    std::partial_sort(found.begin(), found.begin() + ptrdiff_t(kept), found.end(),
                      [](const auto &a, const auto &b) {
                          return a.first != b.first ? a.first > b.first : a.second < b.second;
                      });
    found.resize(kept);
    if (expansion.isWord && std::none_of(found.begin(), found.end(), [&prefix](const auto &term) {
            return term.second == prefix;
        }))
        found.emplace_back(db.get_termfreq(prefix), prefix);
    // Every completion weighs as a word that all their tracks had would, were none in the
    // same track: the idf of the sum of their frequencies, which any database holding the same
    // documents computes alike, however they are split. A target within a few hundred
    // of the last bits of that idf is taken where every completion's weight can be scaled to it
    // exactly.
    const Xapian::doccount documents = db.get_doccount();
    uint64_t together = 0;
    for (auto &term : found) {
        together += term.first;
        expansion.terms.push_back(std::move(term.second));
        expansion.frequencies.push_back(term.first);
    }
    const double idf = TrackWeight::termWeight(
        documents, Xapian::doccount(std::min<uint64_t>(together, documents)), 1.0);
    double up = idf, down = idf;
    for (int attempt = 0; attempt < 1024; ++attempt) {
        const double target = attempt % 2 ? (up = std::nextafter(up, 2 * up + 1))
                                          : (down = attempt ? std::nextafter(down, 0.0) : idf);
        expansion.factors.clear();
        expansion.sameWeight = true;
        for (const Xapian::doccount frequency : expansion.frequencies) {
            bool exact = false;
            expansion.factors.push_back(
                TrackWeight::completionFactor(documents, frequency, target, exact));
            expansion.sameWeight = exact;
            if (!exact)
                break;
        }
        if (expansion.sameWeight)
            break;
    }
    if (!expansion.sameWeight) {
        expansion.factors.clear();
        for (const Xapian::doccount frequency : expansion.frequencies) {
            bool exact = false;
            expansion.factors.push_back(
                TrackWeight::completionFactor(documents, frequency, idf, exact));
        }
    }
    return known.emplace(prefix, std::move(expansion)).first->second;
}

// How many of documents Xapian estimates to have any of words of these frequencies, taking
// them as independent and rounding as it does for OP_MAX and OP_OR: it adds the parts of an
// AND up in the order of these estimates.
double eitherEstimate(Xapian::doccount documents, const std::vector<Xapian::doccount> &frequencies)
{
    if (documents == 0 || frequencies.empty())
        return 0;
    const double scale = 1.0 / documents;
    double either = frequencies.front() * scale;
    for (size_t i = 1; i < frequencies.size(); ++i) {
        const double one = frequencies[i] * scale;
        either += one - either * one;
    }
    return double(Xapian::doccount(either * documents + 0.5));
}

// A word's weight scaled by factor (a word counted twice in a query, a completion), as the
// stock weight scales it.
Xapian::Query scaled(Xapian::Query query, double factor)
{
    return factor == 1.0 ? query : Xapian::Query(Xapian::Query::OP_SCALE_WEIGHT, query, factor);
}

// The last word's completions, a track weighing as its best one.
Xapian::Query completionsQuery(const FullTextReader::Expansion &expansion)
{
    std::vector<Xapian::Query> completions;
    for (size_t i = 0; i < expansion.terms.size(); ++i)
        completions.push_back(scaled(Xapian::Query(expansion.terms[i]), expansion.factors[i]));
    return Xapian::Query(Xapian::Query::OP_MAX, completions.begin(), completions.end());
}

// A word's part of the ranking: its counts in memory where it is common and the walk would
// read most of its list anyway, else its list read with the tracks' lengths from memory once
// they are all there (or where the bound must be exact), else Xapian's own. All three weigh
// the word alike.
Xapian::Query wordPart(const Xapian::Database &db, CountsKeeper &known, TrackLengths &lengths,
                       bool lengthsRead, const std::string &word, Xapian::doccount frequency,
                       Xapian::termcount count, Xapian::doccount lead, bool exactBound)
{
    const SharedCounts::Entry *common
        = frequency > lead ? commonWordCounts(db, known, word, frequency, lead) : nullptr;
    if (common) {
        return Xapian::Query(
            (new CommonWordSource(common->counts, lengths, frequency, count, exactBound))
                ->release());
    }
    if (lengthsRead || exactBound) {
        return Xapian::Query(
            (new ListedWordSource(word, lengths, frequency, count, exactBound))->release());
    }
    return scaled(Xapian::Query(word), double(count));
}

// withQuery: whether to make query too, for Xapian's matcher; a walk needs the rest only.
BuiltQuery buildQuery(const Xapian::Database &db, const std::vector<std::string> &words,
                      FullTextReader::Expansions &expansions,
                      FullTextReader::Frequencies &wordFrequencies, CountsKeeper &known,
                      TrackLengths &lengths, bool withQuery)
{
    BuiltQuery built;
    built.whole.assign(words.begin(), words.end() - 1);
    // The last word as typed so far matches the words it begins (the most frequent of them,
    // weighed as one word) and always itself, whose weight then counts twice: a track with
    // the word ranks above tracks with longer words that start with it.
    const std::string &last = words.back();
    FullTextReader::Expansion &expansion = expand(db, expansions, last);
    const bool lastIsWord = expansion.isWord;
    bool prefixed = false;
    std::optional<Xapian::Query> prefixPart;
    Xapian::termcount lastCount = 0;
    if (lastIsWord && expansion.terms.size() == 1) {
        // The same weight as the word or'ed with its expansion to itself, with one posting
        // list read instead of two: a common word's list is most of a search's time.
        built.whole.push_back(last);
        lastCount = 2;
    } else {
        built.anyOf = expansion.terms;
        built.anyOfFrequencies = expansion.frequencies;
        prefixed = !built.anyOf.empty();
        for (size_t i = 0; i < built.anyOf.size(); ++i) {
            built.anyOfTotal += expansion.frequencies[i];
            built.anyOfWeights.push_back(TrackWeight::termWeight(
                db.get_doccount(), expansion.frequencies[i], expansion.factors[i]));
        }
        // Words common together (a short prefix: "a" begins "and", "all", "are"...) are
        // read once into the best of them in every track; Xapian would otherwise merge their
        // lists up to every track the matcher asks about. Whether they are is the index's
        // alone, so every reader ranks a query alike.
        if (!built.anyOf.empty() && built.anyOfTotal * 32 >= db.get_lastdocid()
            && built.anyOf.size() <= CompletionSource::maxTerms) {
            std::vector<double> weights = built.anyOfWeights;
            // Words never hold a NUL byte: no word's key.
            const SharedCounts::Entry *counts = known.get(std::string(1, '\0') + last, [&] {
                SharedCounts::Entry entry;
                entry.counts = CompletionSource::read(db, built.anyOf, weights, lengths,
                                                      entry.together, entry.present);
                return entry;
            });
            built.anyOfBest = &counts->counts;
            built.anyOfPresent = &counts->present;
            built.anyOfTotal = counts->together;
            built.lastEstimate = double(built.anyOfTotal);
            if (withQuery) {
                prefixPart = Xapian::Query(
                    (new CompletionSource(counts->counts, lengths, std::move(weights),
                                          counts->together, !expansion.sameWeight))
                        ->release());
            }
        } else {
            built.lastEstimate = eitherEstimate(db.get_doccount(), expansion.frequencies);
            if (withQuery && expansion.sameWeight) {
                prefixPart = completionsQuery(expansion);
            } else if (withQuery) {
                // Weights a bit apart: the matcher may stop only past every completion's best.
                std::vector<Xapian::Query> completions;
                for (size_t i = 0; i < built.anyOf.size(); ++i) {
                    completions.emplace_back(
                        (new ListedWordSource(built.anyOf[i], lengths, expansion.frequencies[i],
                                              expansion.factors[i], true))
                            ->release());
                }
                prefixPart
                    = Xapian::Query(Xapian::Query::OP_MAX, completions.begin(), completions.end());
            }
        }
    }
    // The rarest part leads the matcher; a common whole word after it is read from its counts
    // in memory where it would otherwise be walked to every track the lead names.
    std::vector<Xapian::doccount> &frequencies = built.wholeFrequencies;
    for (const auto &word : built.whole) {
        const auto kept = wordFrequencies.find(word);
        frequencies.push_back(
            kept != wordFrequencies.end()
                ? kept->second
                : wordFrequencies.emplace(word, db.get_termfreq(word)).first->second);
        built.rarestWhole = std::min(built.rarestWhole, frequencies.back());
    }
    // Less common together, the tracks with any of them are kept as a list where a walk would
    // read most of their lists anyway, or where kept already: a walk along it costs a
    // fraction of merging up to prefixExpansion lists.
    if (!built.anyOf.empty() && !built.anyOfBest && built.anyOf.size() <= CompletionSource::maxTerms
        && built.anyOfTotal * 1000 >= db.get_lastdocid()) {
        const auto read = [&] {
            SharedCounts::Entry entry;
            entry.together = CompletionSource::list(db, built.anyOf, built.anyOfWeights, lengths,
                                                    entry.ids, entry.counts);
            return entry;
        };
        // Words never begin with a byte 2: no word's key, nor other counts'.
        built.anyOfListed = known.get(std::string(1, '\2') + last, read,
                                      uint64_t(built.rarestWhole) * 4 >= built.anyOfTotal);
        if (built.anyOfListed)
            built.anyOfTotal = built.anyOfListed->together;
    }
    const auto lead
        = built.anyOf.empty()
              ? built.rarestWhole
              : Xapian::doccount(std::min<uint64_t>(built.rarestWhole, built.anyOfTotal));
    // The other words are weighed by sources of our own once the tracks' lengths are in
    // memory, rather than by Xapian with a length read from the index for every match.
    const bool lengthsRead = lengths.readMore(lengthsASearch);
    // Completions whose weights differ in the last bits: a track may beat a page that ties at
    // one's best by a bit, so no part's bound may sit a hair under its best.
    const bool exactBounds = !built.anyOf.empty() && !expansion.sameWeight;
    std::vector<Xapian::Query> parts;
    for (size_t i = 0; i < built.whole.size(); ++i) {
        const Xapian::termcount count = i + 1 == built.whole.size() && lastCount ? lastCount : 1;
        if (withQuery) {
            parts.push_back(wordPart(db, known, lengths, lengthsRead, built.whole[i],
                                     frequencies[i], count, lead, exactBounds));
        }
        built.wholeWeights.push_back(
            TrackWeight::termWeight(db.get_doccount(), frequencies[i], double(count)));
    }
    // An expansion to nothing (no word begins so) leaves the query matching nothing.
    if (prefixed && lastIsWord) {
        // The expansion of a word holds the word itself.
        const auto self = std::find(expansion.terms.begin(), expansion.terms.end(), last);
        const Xapian::doccount frequency
            = expansion.frequencies[size_t(self - expansion.terms.begin())];
        if (withQuery) {
            parts.emplace_back(
                Xapian::Query::OP_OR, *prefixPart,
                wordPart(db, known, lengths, lengthsRead, last, frequency, 2, lead, exactBounds));
        }
        built.lastWord = last;
        built.lastFrequency = frequency;
        built.lastWeight = TrackWeight::termWeight(db.get_doccount(), frequency, 2.0);
        built.lastEstimate
            = eitherEstimate(db.get_doccount(), {Xapian::doccount(built.lastEstimate), frequency});
    } else if (prefixed && withQuery) {
        parts.push_back(*prefixPart);
    }
    built.matchesNothing = built.anyOf.empty() && built.whole.size() < words.size();
    built.parts = built.whole.size() + (prefixed ? 1 : 0);
    built.lengthsRead = lengthsRead;
    if (withQuery)
        built.query = Xapian::Query(Xapian::Query::OP_AND, parts.begin(), parts.end());
    return built;
}

} // namespace

FullTextReader::Expansion FullTextReader::expansion(const Xapian::Database &db,
                                                    const std::string &prefix)
{
    Expansions expansions;
    return std::move(expand(db, expansions, prefix));
}

Xapian::Query FullTextReader::stockQuery(const std::vector<std::string> &words,
                                         const Expansion &expansion)
{
    if (words.empty())
        return Xapian::Query();
    std::vector<Xapian::Query> parts(words.begin(), words.end() - 1);
    const Xapian::Query last = scaled(Xapian::Query(words.back()), 2.0);
    if (expansion.isWord && expansion.terms.size() == 1) {
        parts.push_back(last);
    } else {
        const Xapian::Query completions = completionsQuery(expansion);
        parts.push_back(expansion.isWord ? Xapian::Query(Xapian::Query::OP_OR, completions, last)
                                         : completions);
    }
    return Xapian::Query(Xapian::Query::OP_AND, parts.begin(), parts.end());
}

FullTextReader::FullTextReader(std::string path, SearchTotals *totals, SharedCounts *counts)
    : m_path(std::move(path))
    , m_totals(totals)
    , m_ownCounts(counts ? nullptr : std::make_unique<SharedCounts>(ownCountBytes))
    , m_shared(counts ? counts : m_ownCounts.get())
{}

FullTextReader::~FullTextReader() = default;

// The index folder's identity: a compacted copy put in its place is another folder. Its
// revisions start again, so a reader may find the revision it holds and not see the change.
std::pair<dev_t, ino_t> FullTextReader::folderIdentity() const
{
    struct stat info;
    if (::stat(m_path.c_str(), &info) != 0)
        return {0, 0};
    return {info.st_dev, info.st_ino};
}

bool FullTextReader::ensureOpen()
{
    if (m_db)
        return true;
    try {
        // Taken before opening: a folder put in place in between is seen at the next refresh.
        m_folder = folderIdentity();
        m_db = std::make_unique<Xapian::Database>(m_path);
        startRevision();
        m_enquire = std::make_unique<Xapian::Enquire>(*m_db);
        m_enquire->set_weighting_scheme(TrackWeight());
        m_enquire->set_docid_order(Xapian::Enquire::ASCENDING);
        m_refreshed = std::chrono::steady_clock::now();
        return true;
    } catch (const Xapian::Error &) {
        close();
        return false;
    }
}

void FullTextReader::startRevision()
{
    m_uuid = m_db->get_uuid();
    m_revision = m_db->get_revision();
    m_held.clear();
    m_expansions.clear();
    m_frequencies.clear();
    m_lengths = std::make_unique<TrackLengths>(*m_db);
}

void FullTextReader::close()
{
    // The tracks' lengths hold the database open too.
    m_lengths.reset();
    m_enquire.reset();
    m_db.reset();
}

void FullTextReader::refresh()
{
    if (!m_db)
        return;
    if (folderIdentity() != m_folder) {
        // Opened afresh at the next search, with nothing read from the old one.
        close();
        return;
    }
    try {
        // A newer revision, or another database at the path (made again, or compacted):
        // the counts, expansions and lengths read so far may be wrong for it.
        if (m_db->reopen())
            startRevision();
    } catch (const Xapian::Error &) {
        // Reopened on the next search.
        close();
    }
    m_refreshed = std::chrono::steady_clock::now();
}

size_t FullTextReader::warm(size_t maxBytes)
{
    if (!ensureOpen())
        return 0;
    try {
        const Xapian::doccount tracks = m_db->get_lastdocid();
        std::vector<std::pair<Xapian::doccount, std::string>> common;
        for (auto term = m_db->allterms_begin(); term != m_db->allterms_end(); ++term) {
            if (uint64_t(term.get_termfreq()) * 32 >= tracks)
                common.emplace_back(term.get_termfreq(), *term);
        }
        std::sort(common.begin(), common.end(), [](const auto &a, const auto &b) {
            return a.first != b.first ? a.first > b.first : a.second < b.second;
        });
        while (!m_lengths->readMore(tracks)) {
        }
        size_t bytes = 0, words = 0;
        for (const auto &[frequency, word] : common) {
            if (bytes >= maxBytes)
                break;
            m_held.clear();
            CountsKeeper known{m_held, *m_shared, m_uuid, m_revision};
            commonWordCounts(*m_db, known, word, frequency, frequency);
            buildQuery(*m_db, {word}, m_expansions, m_frequencies, known, *m_lengths, false);
            for (const auto &held : m_held)
                bytes += held.second->bytes();
            ++words;
        }
        m_held.clear();
        return words;
    } catch (const Xapian::Error &) {
        close();
        return 0;
    }
}

FullTextReader::Matches FullTextReader::search(const SearchQuery &query, int64_t start, int count)
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
            // The expansions are dropped with their revision (see refresh), or past their
            // bound; the counts the last search held are let go.
            if (m_expansions.size() >= maxExpansions)
                m_expansions.clear();
            if (m_frequencies.size() >= maxExpansions)
                m_frequencies.clear();
            m_held.clear();
            CountsKeeper known{m_held, *m_shared, m_uuid, m_revision};
            // Made for the walk first, and for Xapian's matcher only where the walk declines.
            BuiltQuery search = buildQuery(*m_db, query.words(), m_expansions, m_frequencies, known,
                                           *m_lengths, false);
            const std::string &uuid = m_uuid;
            const uint64_t revision = m_revision;
            const auto kept
                = m_totals ? m_totals->find(query.words(), uuid, revision) : std::nullopt;
            int64_t total = 0;
            if (auto walked
                = walkMatches(*m_db, search, known, *m_lengths, m_madeBits, start, count, kept)) {
                matches = std::move(*walked);
                total = matches.total;
                if (m_totals && !kept)
                    m_totals->insert(query.words(), uuid, revision, total);
            } else {
                search = buildQuery(*m_db, query.words(), m_expansions, m_frequencies, known,
                                    *m_lengths, true);
                m_enquire->set_query(search.query);
                const auto first = Xapian::doccount(std::min<int64_t>(start, UINT32_MAX));
                const Xapian::MSet mset = m_enquire->get_mset(first, Xapian::doccount(count));
                // A ranking that had to look at every match knows their number; one that
                // stopped early leaves them to be counted, without weights, once per revision.
                if (mset.get_matches_lower_bound() == mset.get_matches_upper_bound()) {
                    total = int64_t(mset.get_matches_lower_bound());
                    if (m_totals)
                        m_totals->insert(query.words(), uuid, revision, total);
                } else if (kept) {
                    total = *kept;
                } else {
                    total = countMatches(*m_db, search, known);
                    if (m_totals)
                        m_totals->insert(query.words(), uuid, revision, total);
                }
                matches.ids.clear();
                for (auto it = mset.begin(); it != mset.end(); ++it)
                    matches.ids.push_back(int64_t(*it));
            }
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
