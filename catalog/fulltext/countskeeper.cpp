#include "countskeeper.h"

#include "commonwordsource.h"

#include <algorithm>

namespace catalog {

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
