#pragma once

#include "fulltextreader.h"
#include "sharedcounts.h"

#include <xapian.h>

#include <cstdint>
#include <string>
#include <vector>

namespace catalog {

// Where a search gets the counts it reads: those it holds already, else those another search
// of the same revision has read, else read now and shared; held until the search ends. Made by
// FullTextReader for one search, on its thread: what it returns stays valid while held.
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

// A common word's counts, when it is common enough to be asked again and again: one track in
// 32 or more. They are read when a walk would move through most of its list anyway (a lead
// entry for every few hundred of its own, about one a chunk), and kept for the next searches.
const SharedCounts::Entry *commonWordCounts(const Xapian::Database &db, CountsKeeper &known,
                                            const std::string &term, Xapian::doccount frequency,
                                            Xapian::doccount leadFrequency);

// A less common word's tracks and counts, where it is in one track in 1,000 or more (at a
// million tracks of English titles, some 700 words and 15 MB together). Read when a walk
// would move through most of its list anyway, and kept for the next searches: walked in
// memory, a list costs a fraction of its decoding from the index.
const SharedCounts::Entry *listedPostings(const Xapian::Database &db, CountsKeeper &known,
                                          const std::string &term, Xapian::doccount frequency,
                                          Xapian::doccount leadFrequency);

} // namespace catalog
