#include "matchwalk.h"

#include "commonwordsource.h"
#include "completionsource.h"
#include "tracklengths.h"
#include "trackweight.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>
#include <vector>

namespace catalog {

namespace {

// Bit id of bits (bit id % 64 of word id / 64), 0 past its end.
unsigned bitOf(const std::vector<uint64_t> &bits, uint32_t id)
{
    return id / 64 < bits.size() ? unsigned(bits[id / 64] >> (id % 64) & 1) : 0u;
}

// One part of a query as a walk reads it, in id order: a word's postings from its counts or
// its list kept in memory, else from the index, or the words a last word may be as one list.
// Made by MatchWalk for one search, on its thread; the counts, lists and weights it points to
// are held by that search. Xapian's errors propagate.
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
    void open(const Xapian::Database &db, CountsKeeper *known, Xapian::doccount leadFrequency);

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
            return bitOf(*present, id) != 0;
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
    // The tracks of a list kept in memory, else nullptr; the place in it the list is on.
    const std::vector<uint32_t> *listedIds() const { return m_listed ? &m_listed->ids : nullptr; }
    size_t place() const { return m_place; }
    // On to place in the list kept in memory, at or after the place it is on.
    void moveTo(size_t place)
    {
        m_place = place;
        settleListed();
    }
    // Asks for what weight(id) reads from memory to be brought into the cache.
    void prefetch(Xapian::docid id) const
    {
        if (counts && id / 2 < counts->size())
            __builtin_prefetch(&(*counts)[id / 2]);
        else if (m_best && id < m_best->size())
            __builtin_prefetch(&(*m_best)[id]);
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
    const CommonWordSource::Counts *counts = nullptr;
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

void Postings::open(const Xapian::Database &db, CountsKeeper *known, Xapian::doccount leadFrequency)
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
        for (size_t i = firstTested(); i < m_whole.size(); ++i) {
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
    // Asks for what weight() of track id reads to be brought into the cache: the matches of
    // common words lie far apart, and each read would otherwise wait on memory.
    void prefetch(Xapian::docid id, const TrackLengths &lengths) const
    {
        lengths.prefetch(id);
        for (const auto &word : m_whole)
            word.prefetch(id);
        for (const auto &word : m_anyOf)
            word.prefetch(id);
        if (m_last)
            m_last->prefetch(id);
    }
    // The walk's postings where they are one list kept in memory and every part test() asks
    // about has its bits: the list, the place the walk is on, and the bits; else no list.
    // walkMatches() then tests a posting by the bits alone, without a call for each part. A
    // part whose list is kept in memory without bits gets bits set in made (and named in
    // Bare::made, to be cleared), where setting and clearing a bit for each of its tracks
    // costs less than seeking it for each posting of the walk's list.
    struct Bare
    {
        const std::vector<uint32_t> *ids = nullptr;
        size_t place = 0;
        std::vector<const std::vector<uint64_t> *> bits;
        std::vector<std::pair<std::vector<uint64_t> *, const std::vector<uint32_t> *>> made;
    };
    Bare bare(FullTextReader::MadeBits &made) const
    {
        const Postings &lead = m_alongLast ? m_anyOf.front() : m_whole.front();
        if (!lead.listedIds() || m_anyOf.size() > 1)
            return {};
        std::vector<const Postings *> tested;
        for (size_t i = firstTested(); i < m_whole.size(); ++i)
            tested.push_back(&m_whole[i]);
        if (!m_alongLast && !m_anyOf.empty())
            tested.push_back(&m_anyOf.front());
        // A seek costs some ten times a bit set or cleared.
        const size_t walking = lead.listedIds()->size() - lead.place();
        for (const Postings *word : tested) {
            const auto *ids = word->present ? nullptr : word->listedIds();
            if (!word->present && (!ids || ids->size() > 4 * walking))
                return {};
        }
        // Everything allocated before a bit is set: bits set are cleared by the walk alone.
        Bare bare{lead.listedIds(), lead.place(), {}, {}};
        bare.bits.reserve(tested.size());
        bare.made.reserve(tested.size());
        if (made.size() < tested.size())
            made.resize(tested.size()); // nothing in it moves while bare points into it
        for (const Postings *word : tested) {
            if (word->present) {
                bare.bits.push_back(word->present);
                continue;
            }
            const auto &ids = *word->listedIds();
            auto &bits = made[bare.made.size()];
            if (!ids.empty() && bits.size() <= ids.back() / 64)
                bits.resize(ids.back() / 64 + 1, 0);
            bare.bits.push_back(&bits);
            bare.made.emplace_back(&bits, &ids);
        }
        for (const auto &[bits, ids] : bare.made) {
            for (const uint32_t id : *ids)
                (*bits)[id / 64] |= uint64_t(1) << (id % 64);
        }
        return bare;
    }
    // On to the posting at place of the list bare() gave, as next() would come to it: the
    // whole words without bits of their own are moved on to it too, for weight().
    void moveTo(size_t place)
    {
        Postings &lead = m_alongLast ? m_anyOf.front() : m_whole.front();
        walked += place - lead.place();
        lead.moveTo(place);
        settle();
        for (size_t i = firstTested(); i < m_whole.size(); ++i) {
            if (!m_whole[i].present)
                m_whole[i].skipTo(m_at);
        }
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

    // The first of the whole words test() asks about: the rarest leads the walk unless the
    // words the last may be do.
    size_t firstTested() const { return m_alongLast ? 0 : 1; }

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

// The deepest page end a search ranks with a walk of its own rather than Xapian's matcher.
constexpr int64_t maxWalkedPage = 1000;

// The total of a walk that counted the first exactTotals + 1 matches, and is on the last of
// them (reached).
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

} // namespace

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

// The page [start, start + count) and the total, from one walk of the rarest part's postings
// in id order that weighs every match as Xapian would, where the query is one whose weights
// it can add up in Xapian's order and the tracks' lengths are in memory; nullopt where not.
// Xapian's matcher costs several times the walk for each posting, and the total would take a
// walk of its own: the walk ranks until no later track can enter the page (the page is full
// and its worst is the best weight possible), and counts on to exactTotals + 1 matches unless
// total is already known.
std::optional<FullTextReader::Matches> walkMatches(const Xapian::Database &db,
                                                   const BuiltQuery &built, CountsKeeper &known,
                                                   const TrackLengths &lengths,
                                                   FullTextReader::MadeBits &made, int64_t start,
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
    // Whether the walk may stop at the match just counted: ranked, and the total known or
    // past what is counted exactly.
    const auto done = [&] {
        return ranked && (total || counted > FullTextReader::exactTotals);
    };
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
        // A few matches at a time, their lengths and counts asked for before any is weighed.
        std::vector<Xapian::docid> ahead;
        for (size_t word = 0; word < words && !ranked;) {
            ahead.clear();
            for (; word < words && ahead.size() < 16; ++word) {
                for (uint64_t all = matchesAt(word); all != 0; all &= all - 1)
                    ahead.push_back(Xapian::docid(word * 64 + size_t(__builtin_ctzll(all))));
            }
            for (const Xapian::docid id : ahead)
                walk.prefetch(id, lengths);
            for (size_t i = 0; i < ahead.size() && !ranked; ++i) {
                walk.jump(ahead[i]);
                weigh(ahead[i]);
            }
        }
    } else if (const auto bare = walk.bare(made); bare.ids) {
        // The same walk as below, the list and the bits read here: 64 postings at a time are
        // tested without a branch, and the lengths and counts of their matches are asked for
        // before any is weighed. The bits made for it are cleared however it ends.
        struct Clear
        {
            const MatchWalk::Bare &bare;
            ~Clear()
            {
                for (const auto &[bits, ids] : bare.made) {
                    for (const uint32_t id : *ids)
                        (*bits)[id / 64] = 0;
                }
            }
        } clear{bare};
        const auto &ids = *bare.ids;
        std::array<size_t, 64> matched;
        for (size_t from = bare.place; from < ids.size() && walkedAll;) {
            const size_t to = std::min(ids.size(), from + matched.size());
            size_t found = 0;
            for (size_t place = from; place < to; ++place) {
                unsigned all = 1;
                for (const auto *part : bare.bits)
                    all &= bitOf(*part, ids[place]);
                matched[found] = place;
                found += all;
            }
            if (!ranked) {
                for (size_t i = 0; i < found; ++i)
                    walk.prefetch(ids[matched[i]], lengths);
            }
            for (size_t i = 0; i < found; ++i) {
                ++counted;
                if (!ranked) {
                    walk.moveTo(matched[i]);
                    weigh(ids[matched[i]]);
                }
                if (done()) {
                    walk.moveTo(matched[i]);
                    walkedAll = false;
                    break;
                }
            }
            from = to;
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
            if (done()) {
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

} // namespace catalog
