#pragma once

#include "builtquery.h"
#include "countskeeper.h"
#include "fulltextreader.h"

#include <xapian.h>

#include <cstdint>
#include <optional>

namespace catalog {

class TrackLengths;

// The walk of a query's postings in id order that counts and ranks its matches without
// Xapian's matcher, for FullTextReader. Both run on the searching thread and borrow what the
// search holds; Xapian's errors propagate to the caller.

// The matches of built: counted exactly up to FullTextReader::exactTotals, and estimated
// beyond from the share of the rest of the rarest part's postings that match.
int64_t countMatches(const Xapian::Database &db, const BuiltQuery &built, CountsKeeper &known);

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
                                                   int count, std::optional<int64_t> total);

} // namespace catalog
