#pragma once

#include "completionsource.h"
#include "sharedcounts.h"

#include <xapian.h>

#include <limits>
#include <string>
#include <vector>

namespace catalog {

// A query as FullTextReader builds it for one search, for a walk of its own and, where the walk
// declines, for Xapian's matcher. Plain data of that search, on its thread; the counts it
// points to are held by the search's CountsKeeper until the search ends.
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

} // namespace catalog
