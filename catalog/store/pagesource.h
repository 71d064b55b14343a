#pragma once

#include "trackrecord.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace catalog {

class SearchQuery;

// One page of a search. Plain data.
struct SearchPage
{
    int64_t total = 0;
    std::vector<TrackRecord> tracks;
    // Some of the index could not be searched (a shard that did not answer): the page and
    // total are of the rest, and the page is not to be kept.
    bool partial = false;
};

// Where the HTTP face gets its pages: one node's own catalogue, or a front's shards. Called
// from any thread at once; nothing throws, and what cannot be read gives an empty page, no
// track or a count of 0.
class PageSource
{
public:
    virtual ~PageSource() = default;

    // Matches best first; the tracks of [start, start + count).
    virtual SearchPage search(const SearchQuery &query, int64_t start, int count) = 0;
    // The track whose file this service serves, by id; nothing for a front.
    virtual std::optional<TrackRecord> track(int64_t id) = 0;
    virtual int64_t trackCount() = 0;
    // Moves on whenever pages may have changed: a page kept under an older one is stale.
    virtual uint64_t generation() const = 0;
};

} // namespace catalog
