#include "fulltextreader.h"

#include "commonwordsource.h"
#include "completionsource.h"
#include "listedwordsource.h"
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
// The deepest page end a search ranks with a walk of its own rather than Xapian's matcher.
constexpr int64_t maxWalkedPage = 1000;

struct BuiltQuery
{
    Xapian::Query query;
    // Every match has all of these words...
    std::vector<std::string> whole;
    // ...and one of these, unless there are none.
    std::vector<std::string> anyOf;
    // The tracks with each of them, and with the last word where it is a word with
    // completions.
    std::vector<Xapian::doccount> wholeFrequencies, anyOfFrequencies;
    Xapian::doccount lastFrequency = 0;
    // The tracks with the rarest whole word, and those with any of anyOf: counted once a
    // word, or exactly where anyOf's best is read for every track.
    Xapian::doccount rarestWhole = std::numeric_limits<Xapian::doccount>::max();
    uint64_t anyOfTotal = 0;
    // Which of anyOf is best in every track, where they are common together.
    const CompletionSource::Best *anyOfBest = nullptr;
    const std::vector<uint64_t> *anyOfPresent = nullptr; // a bit a track with any
    // Or, where less common together, the tracks with any of anyOf and which is best in each
    // (SharedCounts::Entry::ids, and the bytes of anyOfBest in counts).
    const SharedCounts::Entry *anyOfListed = nullptr;
    // What a walk that weighs the matches itself needs: each whole word's and each of anyOf's
    // TrackWeight::termWeight, and the last word's where it is a word with completions (its
    // weight then counts twice beside theirs).
    std::vector<double> wholeWeights;
    std::vector<double> anyOfWeights;
    std::string lastWord;
    double lastWeight = 0;
    // The last word's part's frequency as Xapian estimates it, which orders the parts.
    double lastEstimate = 0;
    // The query's parts as Xapian adds them up, and whether the tracks' lengths are all in
    // memory; none of the words the last may be leaves nothing to match.
    size_t parts = 0;
    bool lengthsRead = false;
    bool matchesNothing = false;
};

using Counts = CommonWordSource::Counts;

// Where a search gets the counts it reads: those it holds already, else those another search
// of the same revision has read, else read now and shared; held until the search ends.
struct CountsKeeper
{
    const SharedCounts::Entry *find(const std::string &key)
    {
        if (const auto found = held.find(key); found != held.end())
            return found->second.get();
        SharedCounts::Kept kept = shared.find(key, index, revision);
        return kept ? held.emplace(key, std::move(kept)).first->second.get() : nullptr;
    }
    // What is kept for key, else read() where readNow, else nothing.
    template<typename Read>
    const SharedCounts::Entry *get(const std::string &key, Read read, bool readNow = true)
    {
        if (const SharedCounts::Entry *found = find(key))
            return found;
        if (!readNow)
            return nullptr;
        return held.emplace(key, shared.keep(key, index, revision, read())).first->second.get();
    }

    FullTextReader::HeldCounts &held;
    SharedCounts &shared;
    const std::string &index;
    uint64_t revision;
};

// A bit for every track whose count in table is not 0: table holds four bits a track, or a
// byte where not nibbles.
std::vector<uint64_t> presence(const std::vector<uint8_t> &table, bool nibbles)
{
    const size_t tracks = nibbles ? table.size() * 2 : table.size();
    std::vector<uint64_t> bits((tracks + 63) / 64, 0);
    for (size_t id = 0; id < tracks; ++id) {
        const uint8_t count = nibbles ? table[id / 2] >> (id % 2 * 4) & 0xf : table[id];
        if (count != 0)
            bits[id / 64] |= uint64_t(1) << (id % 64);
    }
    return bits;
}

// A common word's counts, when it is common enough to be asked again and again: one track in
// 32 or more. They are read when a walk would move through most of its list anyway (a lead
// entry for every few hundred of its own, about one a chunk), and kept for the next searches.
const SharedCounts::Entry *commonWordCounts(const Xapian::Database &db, CountsKeeper &known,
                                            const std::string &term, Xapian::doccount frequency,
                                            Xapian::doccount leadFrequency)
{
    if (uint64_t(frequency) * 32 < db.get_lastdocid())
        return nullptr;
    const auto read = [&] {
        SharedCounts::Entry entry;
        entry.counts = CommonWordSource::read(db, term);
        entry.together = frequency;
        entry.present = presence(entry.counts, true);
        return entry;
    };
    return known.get(term, read, uint64_t(leadFrequency) * 512 >= frequency);
}

// A less common word's tracks and counts, where it is in one track in 1,000 or more (at a
// million tracks of English titles, some 700 words and 15 MB together). Read when a walk
// would move through most of its list anyway, and kept for the next searches: walked in
// memory, a list costs a fraction of its decoding from the index.
const SharedCounts::Entry *listedPostings(const Xapian::Database &db, CountsKeeper &known,
                                          const std::string &term, Xapian::doccount frequency,
                                          Xapian::doccount leadFrequency)
{
    if (uint64_t(frequency) * 1000 < db.get_lastdocid())
        return nullptr;
    const auto read = [&] {
        SharedCounts::Entry entry;
        entry.ids.reserve(frequency);
        entry.counts.reserve(frequency);
        for (auto it = db.postlist_begin(term); it != db.postlist_end(term); ++it) {
            entry.ids.push_back(*it);
            entry.counts.push_back(uint8_t(std::min<Xapian::termcount>(it.get_wdf(), 0xff)));
        }
        entry.together = frequency;
        return entry;
    };
    // Words never begin with a byte 1: no word's key, nor a last word's completions'.
    return known.get(std::string(1, '\1') + term, read, uint64_t(leadFrequency) * 4 >= frequency);
}

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
                      FullTextReader::Expansions &expansions, CountsKeeper &known,
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
                Xapian::doccount together = 0;
                entry.counts = CompletionSource::read(db, built.anyOf, weights, lengths, together);
                entry.together = together;
                entry.present = presence(entry.counts, false);
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
        frequencies.push_back(db.get_termfreq(word));
        built.rarestWhole = std::min(built.rarestWhole, frequencies.back());
    }
    // Less common together, the tracks with any of them are kept as a list where a walk would
    // read most of their lists anyway, or where kept already: a walk along it costs a
    // fraction of merging up to prefixExpansion lists.
    if (!built.anyOf.empty() && !built.anyOfBest && built.anyOf.size() <= CompletionSource::maxTerms
        && built.anyOfTotal * 1000 >= db.get_lastdocid()) {
        const auto read = [&] {
            SharedCounts::Entry entry;
            Xapian::doccount together = 0;
            const CompletionSource::Best best
                = CompletionSource::read(db, built.anyOf, built.anyOfWeights, lengths, together);
            entry.ids.reserve(together);
            entry.counts.reserve(together);
            for (Xapian::docid id = CompletionSource::firstFrom(best, 1); id < best.size();
                 id = CompletionSource::firstFrom(best, id + 1)) {
                entry.ids.push_back(id);
                entry.counts.push_back(best[id]);
            }
            entry.together = together;
            return entry;
        };
        // Words never begin with a byte 2: no word's key, nor other counts'.
        built.anyOfListed = known.get(std::string(1, '\2') + last, read,
                                      built.rarestWhole * 4 >= built.anyOfTotal);
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

namespace {

struct Postings
{
    // frequency: the word's; termWeight: its TrackWeight::termWeight, for weight().
    Postings(const std::string &term, Xapian::doccount frequency, double termWeight)
        : term(term)
        , frequency(frequency)
        , termWeight(termWeight)
    {}
    // Words taken together, walked as one list of the tracks with any of them, and their bits;
    // weights are their termWeights, as CompletionSource::read() was given them.
    Postings(const CompletionSource::Best &together, Xapian::doccount frequency,
             const std::vector<uint64_t> &present, const std::vector<double> &weights)
        : frequency(frequency)
        , present(&present)
        , m_best(&together)
        , m_bestWeights(&weights)
    {
        seek(1);
    }
    // The same, from a list of them (BuiltQuery::anyOfListed).
    Postings(const SharedCounts::Entry &listed, Xapian::doccount frequency,
             const std::vector<double> &weights)
        : frequency(frequency)
        , m_bestWeights(&weights)
        , m_listed(&listed)
    {
        seekListed(1);
    }

    // Reads its list: its counts where the word is common, the list kept in memory where it
    // is less common, where either may be used, else its list in the index.
    void open(const Xapian::Database &db, CountsKeeper *known, Xapian::doccount leadFrequency)
    {
        if (m_bestWeights)
            return;
        const SharedCounts::Entry *common
            = known ? commonWordCounts(db, *known, term, frequency, leadFrequency) : nullptr;
        counts = common ? &common->counts : nullptr;
        present = common ? &common->present : nullptr;
        if (counts) {
            seekCount(1);
            return;
        }
        m_listed = known ? listedPostings(db, *known, term, frequency, leadFrequency) : nullptr;
        if (m_listed) {
            seekListed(1);
        } else {
            at = db.postlist_begin(term);
            end = db.postlist_end(term);
            settle();
        }
    }

    // The list moved on by one posting, or to the first at id or after.
    void next()
    {
        if (m_best) {
            seek(current + 1);
        } else if (counts) {
            seekCount(current + 1);
        } else if (m_listed) {
            ++m_place;
            settleListed();
        } else {
            ++at;
            settle();
        }
    }
    void skipTo(Xapian::docid id)
    {
        if (current != 0 && current < id) {
            if (m_best) {
                seek(id);
            } else if (counts) {
                seekCount(id);
            } else if (m_listed) {
                seekListed(id);
            } else {
                at.skip_to(id);
                settle();
            }
        }
    }

    // Whether track id has the word; a list is moved on to id. ended is set when the list
    // holds nothing at or after id.
    bool has(Xapian::docid id, bool &ended)
    {
        // Counts and tables in memory come with their bits, an eighth of their bytes or less:
        // far more of them stay in the cache.
        if (present)
            return id / 64 < present->size() && (*present)[id / 64] >> (id % 64) & 1;
        skipTo(id);
        ended = current == 0;
        return current == id;
    }

    // The word's part of the weight of track id, which has it (has() said so, or the list is
    // on it); length is the track's.
    double weight(Xapian::docid id, double inverseAverage, Xapian::termcount length) const
    {
        if (m_bestWeights) {
            const uint8_t best = m_best ? (*m_best)[id] : m_listed->counts[m_place];
            return TrackWeight::part((*m_bestWeights)[CompletionSource::termOf(best)],
                                     inverseAverage, CompletionSource::countOf(best), length);
        }
        const Xapian::termcount count = counts     ? CommonWordSource::countIn(*counts, id)
                                        : m_listed ? m_listed->counts[m_place]
                                                   : at.get_wdf();
        return TrackWeight::part(termWeight, inverseAverage, count, length);
    }
    // The most weight() can be.
    double best() const
    {
        return m_bestWeights ? CompletionSource::most(*m_bestWeights, true)
                             : TrackWeight::bestPart(termWeight);
    }

    std::string term;
    Xapian::doccount frequency;
    double termWeight = 0;
    const Counts *counts = nullptr;
    const std::vector<uint64_t> *present = nullptr; // a bit a track with it, where kept
    Xapian::PostingIterator at;
    Xapian::PostingIterator end;
    Xapian::docid current = 0; // where the list is, 0 past its end (reading it costs a call)

private:
    void settle() { current = at != end ? *at : 0; }
    // On to the first track at id or after that has the word, by its counts.
    void seekCount(Xapian::docid id)
    {
        current = CommonWordSource::firstFrom(*counts, id);
        if (current >= counts->size() * 2)
            current = 0;
    }
    // On to the first of the listed tracks at id or after.
    void seekListed(Xapian::docid id)
    {
        // Galloping: the track asked for is most often a few places on.
        const auto &ids = m_listed->ids;
        size_t before = m_place, step = 1;
        if (before < ids.size() && ids[before] < id) {
            size_t after = before + 1;
            while (after < ids.size() && ids[after] < id) {
                before = after;
                step *= 2;
                after = before + step;
            }
            const auto end = ids.begin() + ptrdiff_t(std::min(after, ids.size()));
            m_place = size_t(std::lower_bound(ids.begin() + ptrdiff_t(before) + 1, end, id)
                             - ids.begin());
        }
        settleListed();
    }
    void settleListed() { current = m_place < m_listed->ids.size() ? m_listed->ids[m_place] : 0; }
    // On to the first track at id or after with any of the words.
    void seek(Xapian::docid id)
    {
        current = CompletionSource::firstFrom(*m_best, id);
        if (current >= m_best->size())
            current = 0;
    }

    const CompletionSource::Best *m_best = nullptr;
    const std::vector<double> *m_bestWeights = nullptr;
    const SharedCounts::Entry *m_listed = nullptr;
    size_t m_place = 0; // in m_listed
};

// The postings of a query's rarest part walked in id order, one at a time, and the tracks
// they name tested for the rest of the query: the part is the rarest whole word, or the words
// the last may be taken together where they are rarer (a track counted once a word). The
// share of the part's postings that match is what a total is estimated from: they are all
// the tracks the query could match. A match is weighed as Xapian would weigh it, for ranking
// without Xapian's matcher; where every part's bits are kept, the walk jumps from match to match
// by them instead.
class MatchWalk
{
public:
    MatchWalk(const Xapian::Database &db, const BuiltQuery &built, CountsKeeper &known)
        : m_alongLast(!built.anyOf.empty() && built.anyOfTotal < built.rarestWhole)
        , m_lastEstimate(built.lastEstimate)
    {
        for (size_t i = 0; i < built.whole.size(); ++i)
            m_whole.emplace_back(built.whole[i], built.wholeFrequencies[i], built.wholeWeights[i]);
        if (built.anyOfBest) {
            m_anyOf.emplace_back(*built.anyOfBest, Xapian::doccount(built.anyOfTotal),
                                 *built.anyOfPresent, built.anyOfWeights);
        } else if (built.anyOfListed) {
            m_anyOf.emplace_back(*built.anyOfListed, Xapian::doccount(built.anyOfTotal),
                                 built.anyOfWeights);
        } else {
            for (size_t i = 0; i < built.anyOf.size(); ++i)
                m_anyOf.emplace_back(built.anyOf[i], built.anyOfFrequencies[i],
                                     built.anyOfWeights[i]);
        }
        if (!built.lastWord.empty())
            m_last.emplace(built.lastWord, built.lastFrequency, built.lastWeight);
        // The rarer whole words first, so that they rule a track out first; of the words the
        // last may be, the most frequent is asked first and the others only when it fails:
        // their lists are left behind and later skip whole chunks rather than read every
        // entry.
        std::sort(m_whole.begin(), m_whole.end(),
                  [](const Postings &a, const Postings &b) { return a.frequency < b.frequency; });
        std::sort(m_anyOf.begin(), m_anyOf.end(),
                  [](const Postings &a, const Postings &b) { return a.frequency > b.frequency; });
        if (m_alongLast) {
            frequency = built.anyOfTotal;
            for (auto &word : m_whole)
                word.open(db, &known, Xapian::doccount(frequency));
            for (auto &word : m_anyOf)
                word.open(db, nullptr, Xapian::doccount(frequency));
        } else {
            // The rarest whole word leads, from its counts where it is common, so that its
            // bits are at hand too (presence()).
            frequency = m_whole.front().frequency;
            for (auto &word : m_whole)
                word.open(db, &known, Xapian::doccount(frequency));
            for (auto &word : m_anyOf)
                word.open(db, &known, Xapian::doccount(frequency));
        }
        if (m_last)
            m_last->open(db, &known, Xapian::doccount(frequency));
        settle();
    }

    // The track of the posting the walk is on, 0 past the last.
    Xapian::docid at() const { return m_at; }

    // On to the next posting (of any of the last word's words: the next track of theirs).
    void next()
    {
        if (!m_alongLast) {
            ++walked;
            m_whole.front().next();
        } else {
            for (auto &word : m_anyOf) {
                if (word.current == m_at) {
                    ++walked;
                    word.next();
                }
            }
        }
        settle();
    }

    // On to the first posting at id or after, the ones passed not walked.
    void skipTo(Xapian::docid id)
    {
        if (!m_alongLast) {
            m_whole.front().skipTo(id);
        } else {
            for (auto &word : m_anyOf)
                word.skipTo(id);
        }
        settle();
    }

    // 1 if the track the walk is on matches, 0 if not, -1 if neither it nor any later track
    // can (the list of a whole word has ended).
    int test()
    {
        bool ended = false;
        for (size_t i = m_alongLast ? 0 : 1; i < m_whole.size(); ++i) {
            if (!m_whole[i].has(m_at, ended))
                return ended ? -1 : 0;
        }
        if (m_alongLast || m_anyOf.empty())
            return 1;
        for (auto &word : m_anyOf) {
            if (word.has(m_at, ended))
                return 1;
        }
        return 0;
    }

    // The weight of the track the walk is on, which test() found a match, as Xapian adds up
    // the query's parts: by their estimated frequencies (the order of the sum matters from
    // three parts on), the last word's weighing as the best of the words it may be, with its
    // own weighed twice where it is a word.
    double weight(const TrackLengths &lengths, double inverseAverage)
    {
        const Xapian::termcount length = lengths.of(m_at);
        double last = 0;
        bool ended = false;
        for (auto &word : m_anyOf) {
            if (m_alongLast && !m_jumped ? word.current == m_at : word.has(m_at, ended))
                last = std::max(last, word.weight(m_at, inverseAverage, length));
        }
        if (m_last && m_last->has(m_at, ended))
            last += m_last->weight(m_at, inverseAverage, length);
        return inOrder(
            last, [&](const Postings &word) { return word.weight(m_at, inverseAverage, length); });
    }
    // The most weight() can be, summed alike.
    double best() const
    {
        double last = 0;
        for (const auto &word : m_anyOf)
            last = std::max(last, word.best());
        if (m_last)
            last += m_last->best();
        return inOrder(last, [](const Postings &word) { return word.best(); });
    }
    // Every part's bits where all are in memory (the last word's as the best of its words),
    // else none.
    std::vector<const std::vector<uint64_t> *> presence() const
    {
        std::vector<const std::vector<uint64_t> *> bits;
        for (const auto &word : m_whole)
            bits.push_back(word.present);
        if (m_anyOf.size() > 1)
            return {};
        for (const auto &word : m_anyOf)
            bits.push_back(word.present);
        if (std::find(bits.begin(), bits.end(), nullptr) != bits.end())
            return {};
        return bits;
    }
    // To track id, a match found by the parts' bits, for weight(); the walk goes on no more.
    void jump(Xapian::docid id)
    {
        m_at = id;
        m_jumped = true;
    }

    // Whether weight() adds the parts up in Xapian's order for certain: parts of the same
    // estimate may come in either, and the last word's estimate is computed here as Xapian
    // does, but only to about a document.
    bool sumsInOrder() const
    {
        for (size_t i = 1; i < m_whole.size(); ++i) {
            if (m_whole[i - 1].frequency == m_whole[i].frequency)
                return false;
        }
        if (m_anyOf.empty() || m_whole.size() < 2)
            return true;
        for (const auto &word : m_whole) {
            if (std::abs(word.frequency - m_lastEstimate) <= 0.01 * m_lastEstimate)
                return false;
        }
        return true;
    }

    uint64_t walked = 0;    // postings walked, not counting those skipped
    uint64_t frequency = 0; // postings of the part in all

private:
    void settle()
    {
        if (!m_alongLast) {
            m_at = m_whole.front().current;
            return;
        }
        m_at = 0;
        for (const auto &word : m_anyOf) {
            if (word.current != 0 && (m_at == 0 || word.current < m_at))
                m_at = word.current;
        }
    }

    // The whole words' parts from the rarest, and the last word's where its estimate puts it.
    template<typename Weigh>
    double inOrder(double last, Weigh weigh) const
    {
        double sum = 0;
        for (size_t i = 0; i < m_whole.size(); ++i) {
            if (!m_anyOf.empty() && m_whole[i].frequency > m_lastEstimate)
                sum += std::exchange(last, 0.0);
            sum += weigh(m_whole[i]);
        }
        return sum + last;
    }

    const bool m_alongLast;
    bool m_jumped = false;
    const double m_lastEstimate;
    std::vector<Postings> m_whole, m_anyOf;
    std::optional<Postings> m_last;
    Xapian::docid m_at = 0;
};

// The total of a walk that counted the first exactTotals + 1 matches, and is on the last of
// them (reached).
int64_t estimateRest(const Xapian::Database &db, const BuiltQuery &built, MatchWalk &walk,
                     Xapian::doccount counted, Xapian::docid reached);

int64_t countMatches(const Xapian::Database &db, const BuiltQuery &built, CountsKeeper &known)
{
    if (built.whole.empty() && built.anyOf.empty())
        return 0;
    // One whole word: the index knows its count.
    if (built.whole.size() == 1 && built.anyOf.empty())
        return int64_t(built.rarestWhole);
    // Xapian's own estimate of what it did not look at is coarse (it rounds, and errs by far
    // more than 5 % for two words), so count the first exactTotals matches in id order along
    // the rarest part's postings, exactly.
    MatchWalk walk(db, built, known);
    Xapian::doccount counted = 0;
    Xapian::docid reached = 0;
    for (; walk.at() != 0; walk.next()) {
        const int found = walk.test();
        if (found < 0)
            return int64_t(counted);
        reached = walk.at();
        if (found > 0 && ++counted > FullTextReader::exactTotals)
            break;
    }
    if (walk.at() == 0)
        return int64_t(counted);
    return estimateRest(db, built, walk, counted, reached);
}

int64_t estimateRest(const Xapian::Database &db, const BuiltQuery &built, MatchWalk &walk,
                     Xapian::doccount counted, Xapian::docid reached)
{
    walk.next();
    // The rest of the part's postings, past the track reached, by their share that matches.
    // Ids follow the order tracks were indexed in, so an album's, an artist's or a site's
    // tracks lie together and so do the matches: the share is taken from stretches of ids
    // spread evenly over the rest, together about as many postings as were walked so far.
    const uint64_t walkedFirst = walk.walked;
    const uint64_t rest = walk.frequency > walkedFirst ? walk.frequency - walkedFirst : 0;
    const uint64_t every = std::max<uint64_t>(1, (rest + walkedFirst - 1) / walkedFirst);
    constexpr uint64_t stretches = 256;
    const uint64_t parts = every == 1 ? 1 : stretches * every;
    const uint64_t from = uint64_t(reached) + 1;
    const uint64_t span = std::max<uint64_t>(db.get_lastdocid(), from) + 1 - from;
    Xapian::doccount found = 0;
    for (uint64_t part = every / 2; part < parts && walk.at() != 0; part += every) {
        const auto begin = Xapian::docid(from + span * part / parts);
        const auto end = Xapian::docid(from + span * (part + 1) / parts);
        walk.skipTo(begin);
        for (; walk.at() != 0 && walk.at() < end; walk.next())
            found += walk.test() > 0 ? 1 : 0;
    }
    if (every == 1)
        return int64_t(counted) + int64_t(found);
    const uint64_t sampled = walk.walked - walkedFirst;
    const double share = sampled ? double(found) / double(sampled) : 0.0;
    // No more matches than tracks with the rarest whole word, nor than postings of the words
    // the last may be.
    uint64_t most = built.rarestWhole;
    if (!built.anyOf.empty())
        most = std::min(most, built.anyOfTotal);
    const auto estimate = uint64_t(counted) + uint64_t(std::llround(share * double(rest)));
    return int64_t(
        std::clamp(estimate, uint64_t(counted) + found, std::max<uint64_t>(most, counted)));
}

// The page [start, start + count) and the total, from one walk of the rarest part's postings
// in id order that weighs every match as Xapian would, where the query is one whose weights
// it can add up in Xapian's order and the tracks' lengths are in memory; nullopt where not.
// Xapian's matcher costs several times the walk for each posting, and the total would take a
// walk of its own: the walk ranks until no later track can enter the page (the page is full
// and its worst is the best weight possible), and counts on to exactTotals + 1 matches unless
// total is already known.
std::optional<FullTextReader::Matches> walkMatches(const Xapian::Database &db,
                                                   const BuiltQuery &built, CountsKeeper &known,
                                                   const TrackLengths &lengths, int64_t start,
                                                   int count, std::optional<int64_t> total)
{
    FullTextReader::Matches matches;
    if (built.matchesNothing)
        return matches;
    if (!built.lengthsRead || start + count > maxWalkedPage || built.parts > 3)
        return std::nullopt;
    MatchWalk walk(db, built, known);
    if (!walk.sumsInOrder())
        return std::nullopt;
    // One whole word: the index knows its count.
    if (built.whole.size() == 1 && built.anyOf.empty())
        total = int64_t(built.rarestWhole);
    const double inverseAverage = TrackWeight::inverseAverage(db.get_avlength());
    const double best = walk.best();
    const auto wanted = size_t(start + count);
    // A heap, the worst on top: ties go by id, and tracks come in id order.
    std::vector<std::pair<double, Xapian::docid>> page;
    const auto better = [](const auto &a, const auto &b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    };
    bool ranked = false; // no later track can enter the page
    const auto weigh = [&](Xapian::docid id) {
        const double weight = walk.weight(lengths, inverseAverage);
        if (page.size() < wanted) {
            page.emplace_back(weight, id);
            std::push_heap(page.begin(), page.end(), better);
        } else if (weight > page.front().first) {
            std::pop_heap(page.begin(), page.end(), better);
            page.back() = {weight, id};
            std::push_heap(page.begin(), page.end(), better);
        }
        ranked = page.size() == wanted && page.front().first >= best;
    };
    bool walkedAll = true;
    Xapian::doccount counted = 0;
    if (const auto bits = walk.presence(); !bits.empty()) {
        // Every part in memory: the matches are the tracks whose bits are all set, counted
        // exactly at 64 tracks a step, and the page is ranked from them.
        size_t words = bits.front()->size();
        for (const auto *part : bits)
            words = std::min(words, part->size());
        const auto matchesAt = [&bits](size_t word) {
            uint64_t all = ~uint64_t(0);
            for (const auto *part : bits)
                all &= (*part)[word];
            return all;
        };
        for (size_t word = 0; word < words; ++word)
            counted += Xapian::doccount(__builtin_popcountll(matchesAt(word)));
        for (size_t word = 0; word < words && !ranked; ++word) {
            for (uint64_t all = matchesAt(word); all != 0 && !ranked; all &= all - 1) {
                const auto id = Xapian::docid(word * 64 + size_t(__builtin_ctzll(all)));
                walk.jump(id);
                weigh(id);
            }
        }
    } else {
        for (; walk.at() != 0; walk.next()) {
            const int found = walk.test();
            if (found < 0)
                break;
            if (found == 0)
                continue;
            ++counted;
            if (!ranked)
                weigh(walk.at());
            if (ranked && (total || counted > FullTextReader::exactTotals)) {
                walkedAll = false;
                break;
            }
        }
    }
    if (walkedAll) {
        total = int64_t(counted);
    } else if (!total) {
        // Estimated as countMatches() estimates, whichever page was asked for.
        total = counted == FullTextReader::exactTotals + 1
                    ? estimateRest(db, built, walk, counted, walk.at())
                    : countMatches(db, built, known);
    }
    std::sort_heap(page.begin(), page.end(), better);
    for (size_t i = size_t(start); i < page.size(); ++i)
        matches.ids.push_back(int64_t(page[i].second));
    matches.total = *total;
    return matches;
}

} // namespace

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
        m_uuid = m_db->get_uuid();
        m_revision = m_db->get_revision();
        m_held.clear();
        m_expansions.clear();
        m_lengths = std::make_unique<TrackLengths>(*m_db);
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
        if (m_db->reopen()) {
            m_uuid = m_db->get_uuid();
            m_revision = m_db->get_revision();
            m_held.clear();
            m_expansions.clear();
            m_lengths = std::make_unique<TrackLengths>(*m_db);
        }
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
            buildQuery(*m_db, {word}, m_expansions, known, *m_lengths, false);
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
            m_held.clear();
            CountsKeeper known{m_held, *m_shared, m_uuid, m_revision};
            // Made for the walk first, and for Xapian's matcher only where the walk declines.
            BuiltQuery search
                = buildQuery(*m_db, query.words(), m_expansions, known, *m_lengths, false);
            const std::string &uuid = m_uuid;
            const uint64_t revision = m_revision;
            const auto kept
                = m_totals ? m_totals->find(query.words(), uuid, revision) : std::nullopt;
            int64_t total = 0;
            if (auto walked = walkMatches(*m_db, search, known, *m_lengths, start, count, kept)) {
                matches = std::move(*walked);
                total = matches.total;
                if (m_totals && !kept)
                    m_totals->insert(query.words(), uuid, revision, total);
            } else {
                search = buildQuery(*m_db, query.words(), m_expansions, known, *m_lengths, true);
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
