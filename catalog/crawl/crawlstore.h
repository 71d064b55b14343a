#pragma once

#include "pagelinks.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace catalog {

class SqliteConnection;
class SqliteStatement;

// The crawler's memory, in the catalogue's database so that a restart, also after a crash,
// goes on where the crawl stopped: the pages known (when each is due, its validators, how
// its last fetch went), which tracks each page links, and each track link's state. It owns
// the tables crawl_pages and crawl_tracks (creates and migrates them in open()), and nothing
// else: tracks enter and leave the tracks table through CatalogWriter. It lives on the
// writer's connection (CatalogWriter::openTables), so every call writes within the transaction
// the caller holds on the writer and the tracks table and this state commit together. Used
// by one thread at a time, under the writer's lock. Times are seconds since the epoch. A
// failed write is not reported here: the writer's commit() fails and says why.
class CrawlStore
{
public:
    // Removed: left the index after failing checks while pages still link it; read again when
    // one of them is next fetched in full.
    enum class TrackState { ToRead = 0, Indexed = 1, Refused = 2, Removed = 3 };

    struct Page
    {
        std::string url;
        std::string origin;
        int depth = 0;
        bool seed = false;
        int64_t fetched = 0; // 0: never
        std::string etag;
        std::string modified;
        std::string outcome;
    };

    struct Track
    {
        FoundTrack found;
        std::string origin;
        TrackState state = TrackState::ToRead;
    };

    explicit CrawlStore(SqliteConnection &connection);

    // Creates or migrates the crawl tables; false with *error when it cannot. Call once,
    // before anything else.
    bool open(std::string *error);

    // A seed is a page of depth 0, due now if it is new.
    void addSeed(const std::string &url, const std::string &origin);
    // True when the page was not known before.
    bool addPage(const std::string &url, const std::string &origin, int depth);
    // Brings forward what an earlier, longer recrawl period put off.
    void limitRecrawl(int64_t seconds);
    // Pages due at now (new ones included), oldest due first.
    std::vector<Page> duePages(int64_t now, size_t limit);
    std::vector<Page> seeds();
    std::unordered_map<std::string, size_t> pagesPerOrigin();

    void pageFetched(const std::string &url, int64_t now, int64_t due, const std::string &etag,
                     const std::string &modified, const std::string &outcome);
    // A fetch that failed keeps what the page led to until it is tried again at due.
    void pageFailed(const std::string &url, int64_t now, int64_t due, const std::string &outcome);
    // A page that is gone (404, 410) leaves with its links: returns the tracks no page links
    // any more, which the caller removes.
    std::vector<std::string> pageGone(const std::string &url);

    // Makes tracks the page's links: new ones are stored to be read. Returns the state of
    // each track given (nothing for a repeat of an earlier one), and in *orphans the tracks the
    // page no longer links that no other page does.
    std::vector<std::optional<TrackState>> setLinks(const std::string &page,
                                                    const std::vector<FoundTrack> &tracks,
                                                    const std::vector<std::string> &trackOrigins,
                                                    std::vector<std::string> *orphans);
    std::vector<Track> tracksToRead();
    std::vector<Track> linkedTracks(const std::string &page);

    void trackIndexed(const std::string &url);
    void trackRefused(const std::string &url);
    // A failed check of an indexed track; true when it has now failed three checks in a row
    // over at least a day, and should leave the index.
    bool trackCheckFailed(const std::string &url, int64_t now);
    // The track left the index: forgets it when no page links it, else marks it Removed.
    void trackRemoved(const std::string &url);

    size_t count(const char *table);

private:
    SqliteConnection &m_db;
    // Run for every link of every page: prepared once, in open().
    SqliteStatement *m_pageLinks = nullptr;
    SqliteStatement *m_insertTrack = nullptr;
    SqliteStatement *m_trackState = nullptr;
    SqliteStatement *m_countLink = nullptr;
};

} // namespace catalog
