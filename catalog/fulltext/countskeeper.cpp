#include "countskeeper.h"

#include "commonwordsource.h"

#include <algorithm>

namespace catalog {

const SharedCounts::Entry *commonWordCounts(const Xapian::Database &db, CountsKeeper &known,
                                            const std::string &term, Xapian::doccount frequency,
                                            Xapian::doccount leadFrequency)
{
    if (uint64_t(frequency) * 32 < db.get_lastdocid())
        return nullptr;
    const auto read = [&] {
        SharedCounts::Entry entry;
        entry.counts = CommonWordSource::read(db, term, entry.present);
        entry.together = frequency;
        return entry;
    };
    return known.get(term, read, uint64_t(leadFrequency) * 512 >= frequency);
}

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

} // namespace catalog
