#pragma once

#include "crawlshare.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

struct pg_conn;

namespace catalog {

// The shared crawl state in PostgreSQL, through libpq: four small tables made with CREATE
// TABLE IF NOT EXISTS, crawl_nodes (the nodes alive, for each one's share of the hosts),
// crawl_hosts (lease owner and expiry, the politeness clock), crawl_pages (the frontier of
// pages) and crawl_tracks (track links to read). Leases are taken with SELECT ... FOR
// UPDATE SKIP LOCKED, so nodes looking at once take different hosts and never wait for each
// other. Transactions are short: a flush of the queued writes, a renewal, a take.
//
// It owns its one connection; used by one thread at a time (see CrawlShare). The lease
// expiry and the clocks are kept in the server's time, so the nodes' clocks need not agree;
// due times are the crawl's seconds since the epoch, as in the node's own store.
class PostgresCrawlShare : public CrawlShare
{
public:
    // uri: a libpq connection string or URI. leaseSeconds: how long a lease lasts unrenewed.
    PostgresCrawlShare(std::string uri, double leaseSeconds);
    ~PostgresCrawlShare() override;
    PostgresCrawlShare(const PostgresCrawlShare &) = delete;
    PostgresCrawlShare &operator=(const PostgresCrawlShare &) = delete;

    // uri without a password, in either of libpq's forms.
    static std::string shownUri(const std::string &uri);

    bool open(std::string *error) override;
    std::string name() const override { return shownUri(m_uri); }
    bool connected() override;

    void addSeed(const std::string &url, const std::string &origin) override;
    void addPage(const std::string &url, const std::string &origin, int depth) override;
    void addTrack(const FoundTrack &found, const std::string &origin) override;
    void pageFetched(const std::string &url, int64_t now, int64_t due, const std::string &etag,
                     const std::string &modified, const std::string &outcome) override;
    void pageFailed(const std::string &url, int64_t now, int64_t due,
                    const std::string &outcome) override;
    void pageGone(const std::string &url, int64_t due) override;
    void trackDone(const std::string &url, CrawlStore::TrackState state, int64_t due) override;
    bool flush() override;

    bool renew(const std::vector<Clock> &held, std::vector<std::string> *lost) override;
    bool take(const std::vector<std::string> &wanted, size_t held, int64_t now,
              std::vector<Lease> *taken, size_t *share) override;
    bool release(const std::vector<Clock> &hosts) override;

    std::vector<CrawlStore::Page> duePages(const std::vector<std::string> &hosts, int64_t now,
                                           size_t limit) override;
    std::vector<CrawlStore::Track> tracksToRead(const std::vector<std::string> &hosts, int64_t now,
                                                size_t limit) override;
    std::vector<CrawlStore::Page> seeds() override;

    // This node's name in crawl_nodes and crawl_hosts.owner.
    const std::string &node() const { return m_node; }

private:
    class Result;
    struct PageWrite
    {
        enum class Kind { Fetched, Failed, Gone } kind;
        std::string url;
        int64_t now = 0;
        int64_t due = 0;
        std::string etag, modified, outcome;
    };
    struct TrackWrite
    {
        int state = 0;
        int64_t due = 0;
    };

    bool connect(std::string *error);
    // A statement with text parameters; a failed one leaves the error in m_error and drops a
    // broken connection.
    Result exec(const char *sql, const std::vector<std::string> &params = {});
    bool command(const char *sql, const std::vector<std::string> &params = {});
    bool clocks(const char *sql, const std::vector<Clock> &hosts, std::vector<std::string> *names);

    const std::string m_uri;
    const double m_leaseSeconds;
    const std::string m_node;
    pg_conn *m_connection = nullptr;
    std::string m_error;

    // Queued for flush(): seeds, new pages and tracks, then what became of them.
    std::vector<std::string> m_seedUrls, m_seedOrigins;
    std::vector<std::string> m_pageUrls, m_pageOrigins, m_pageDepths;
    std::vector<std::string> m_trackUrls, m_trackOrigins, m_trackTitles, m_trackCreators,
        m_trackTexts;
    std::vector<PageWrite> m_pageWrites;
    std::map<std::string, TrackWrite> m_trackWrites;
};

} // namespace catalog
