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

} // namespace

CompletionSource::Best CompletionSource::read(const Xapian::Database &db,
                                              const std::vector<std::string> &terms,
                                              const std::vector<double> &weights,
                                              const TrackLengths &lengths,
                                              Xapian::doccount &together)
{
    Best best(size_t(db.get_lastdocid()) + 1, 0);
    const double inverseAverage = TrackWeight::inverseAverage(db.get_avlength());
    const auto weigh = [&](uint8_t byte, Xapian::docid id) {
        return TrackWeight::part(weights[termOf(byte)], inverseAverage, countOf(byte),
                                 lengths.of(id));
    };
    together = 0;
    for (size_t term = 0; term < std::min(terms.size(), maxTerms); ++term) {
        for (auto it = db.postlist_begin(terms[term]); it != db.postlist_end(terms[term]); ++it) {
            uint8_t &had = best[*it];
            const uint8_t now = encode(term, it.get_wdf());
            if (had == 0) {
                ++together;
                had = now;
                continue;
            }
            // A completion at least as rare and as often in the track weighs at least as
            // much; only where one is rarer and the other more often in it does the track's
            // length decide.
            const double nowWeight = weights[term], hadWeight = weights[termOf(had)];
            if (nowWeight >= hadWeight && countOf(now) >= countOf(had)) {
                if (nowWeight > hadWeight || countOf(now) > countOf(had))
                    had = now;
            } else if (nowWeight > hadWeight || countOf(now) > countOf(had)) {
                if (weigh(now, *it) > weigh(had, *it))
                    had = now;
            }
        }
    }
    return best;
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
