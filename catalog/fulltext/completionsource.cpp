#include "completionsource.h"

#include "tracklengths.h"
#include "trackweight.h"

#include <algorithm>

namespace catalog {

namespace {

// A track's byte: see CompletionSource::termOf (counts are capped at TrackWeight::maxWdf, 4).
static_assert(TrackWeight::maxWdf == 4);

uint8_t encode(size_t term, Xapian::termcount count)
{
    return uint8_t((term + 1) << 2 | (std::min(count, TrackWeight::maxWdf) - 1));
}

// Of a track's bytes, the one whose completion weighs more in it: had, met first, where they
// tie.
class Better
{
public:
    Better(const Xapian::Database &db, const std::vector<double> &weights,
           const TrackLengths &lengths)
        : m_weights(weights)
        , m_lengths(lengths)
        , m_inverseAverage(TrackWeight::inverseAverage(db.get_avlength()))
    {}

    uint8_t operator()(uint8_t had, uint8_t now, Xapian::docid id) const
    {
        using Source = CompletionSource;
        // A completion at least as rare and as often in the track weighs at least as much;
        // only where one is rarer and the other more often in it does the track's length
        // decide.
        const double nowWeight = m_weights[Source::termOf(now)];
        const double hadWeight = m_weights[Source::termOf(had)];
        if (nowWeight >= hadWeight && Source::countOf(now) >= Source::countOf(had))
            return nowWeight > hadWeight || Source::countOf(now) > Source::countOf(had) ? now : had;
        if (nowWeight > hadWeight || Source::countOf(now) > Source::countOf(had))
            return weigh(now, id) > weigh(had, id) ? now : had;
        return had;
    }

private:
    double weigh(uint8_t byte, Xapian::docid id) const
    {
        return TrackWeight::part(m_weights[CompletionSource::termOf(byte)], m_inverseAverage,
                                 CompletionSource::countOf(byte), m_lengths.of(id));
    }

    const std::vector<double> &m_weights;
    const TrackLengths &m_lengths;
    const double m_inverseAverage;
};

} // namespace

CompletionSource::Best
CompletionSource::read(const Xapian::Database &db, const std::vector<std::string> &terms,
                       const std::vector<double> &weights, const TrackLengths &lengths,
                       Xapian::doccount &together, std::vector<uint64_t> &present)
{
    Best best(size_t(db.get_lastdocid()) + 1, 0);
    present.assign((best.size() + 63) / 64, 0);
    const Better better(db, weights, lengths);
    together = 0;
    for (size_t term = 0; term < std::min(terms.size(), maxTerms); ++term) {
        for (auto it = db.postlist_begin(terms[term]); it != db.postlist_end(terms[term]); ++it) {
            uint8_t &had = best[*it];
            const uint8_t now = encode(term, it.get_wdf());
            if (had == 0) {
                ++together;
                had = now;
                present[*it / 64] |= uint64_t(1) << (*it % 64);
            } else {
                had = better(had, now, *it);
            }
        }
    }
    return best;
}

Xapian::doccount CompletionSource::list(const Xapian::Database &db,
                                        const std::vector<std::string> &terms,
                                        const std::vector<double> &weights,
                                        const TrackLengths &lengths, std::vector<uint32_t> &ids,
                                        std::vector<uint8_t> &bests)
{
    // Every posting as its track's id and byte, one run a term, each in id order; the runs
    // merged in pairs, so that a track's bytes come together in term order, as read() meets
    // them.
    std::vector<uint64_t> postings;
    std::vector<size_t> runs{0};
    for (size_t term = 0; term < std::min(terms.size(), maxTerms); ++term) {
        for (auto it = db.postlist_begin(terms[term]); it != db.postlist_end(terms[term]); ++it)
            postings.push_back(uint64_t(*it) << 8 | encode(term, it.get_wdf()));
        runs.push_back(postings.size());
    }
    const size_t count = runs.size() - 1;
    for (size_t width = 1; width < count; width *= 2) {
        for (size_t run = 0; run + width < count; run += 2 * width) {
            std::inplace_merge(postings.begin() + ptrdiff_t(runs[run]),
                               postings.begin() + ptrdiff_t(runs[run + width]),
                               postings.begin()
                                   + ptrdiff_t(runs[std::min(run + 2 * width, count)]));
        }
    }
    const Better better(db, weights, lengths);
    ids.clear();
    bests.clear();
    for (const uint64_t posting : postings) {
        const auto id = uint32_t(posting >> 8);
        const auto byte = uint8_t(posting);
        if (!ids.empty() && ids.back() == id) {
            bests.back() = better(bests.back(), byte, id);
        } else {
            ids.push_back(id);
            bests.push_back(byte);
        }
    }
    return Xapian::doccount(ids.size());
}

Xapian::docid CompletionSource::firstFrom(const Best &best, Xapian::docid id)
{
    return Xapian::docid(firstSet(best, id));
}

double CompletionSource::most(const std::vector<double> &weights, bool exact)
{
    double most = 0;
    for (const double weight : weights)
        most = std::max(most, exact ? TrackWeight::bestPart(weight) : TrackWeight::maxPart(weight));
    return most;
}

CompletionSource::CompletionSource(const Best &best, const TrackLengths &lengths,
                                   std::vector<double> weights, Xapian::doccount together,
                                   bool exactBound)
    : WordSource(lengths, together, 1.0, exactBound)
    , m_best(best)
    , m_weights(std::move(weights))
{}

void CompletionSource::init(const Xapian::Database &db)
{
    WordSource::init(db);
    // The bound is the best completion's.
    set_maxweight(most(m_weights, m_exactBound));
    m_at = 0;
}

double CompletionSource::get_weight() const
{
    const uint8_t byte = m_best[m_at];
    return weigh(m_weights[termOf(byte)], countOf(byte), m_at);
}

Xapian::docid CompletionSource::get_docid() const
{
    return m_at;
}

void CompletionSource::next(double)
{
    m_at = firstFrom(m_best, m_at + 1);
}

void CompletionSource::skip_to(Xapian::docid id, double minWeight)
{
    if (id <= m_at)
        return;
    m_at = id - 1;
    next(minWeight);
}

bool CompletionSource::check(Xapian::docid id, double)
{
    // Either on the track, or off it at a place from which next() finds the one after.
    m_at = std::max(m_at, id);
    return m_at >= m_best.size() || m_best[m_at] != 0;
}

bool CompletionSource::at_end() const
{
    return m_at >= m_best.size();
}

Xapian::PostingSource *CompletionSource::clone() const
{
    return new CompletionSource(m_best, m_lengths, m_weights, m_frequency, m_exactBound);
}

} // namespace catalog
