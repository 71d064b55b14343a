#pragma once

#include "crawlstore.h"

#include <cstddef>
#include <string>
#include <vector>

namespace catalog {

// The part of the crawl state that several catalogue nodes share when they crawl one web
// together: the frontier (pages with their due times and validators, track links still to
// read), the seeds, and the hosts, each with its politeness clock and a lease that lets one
// node at a time send it requests. Everything else stays in the node's own CrawlStore: which
// tracks its pages link and the tracks it indexed into its own index, its shard.
//
// Writes are queued and sent together by flush(), which the crawler calls once the batch of
// the same writes has committed in its own index: a node that dies between the two leaves
// the work to be done again rather than lost. A node sends requests to a host only while it
// holds the host's lease (renew() keeps it; take() gets more); a lease not renewed within the
// lease time goes to whichever node takes it next, together with the clock: no request
// earlier than the last one plus the host's delay, nor before its back-off ends, and after a
// lease that ran out, none earlier than its end plus the delay (its holder may have sent a
// request its clock does not show yet).
//
// Owned by the crawler and used by one thread at a time: open() before the crawl thread
// runs, everything else on it. Every call that talks to the store returns false (or nothing)
// when it cannot; connected() says whether the store answers now, reconnecting when not.
class CrawlShare
{
public:
    // A held host's clock, as the crawl thread knows it: seconds since its last request
    // left (negative: none yet), its delay between requests, and seconds until its back-off
    // ends (zero or less: none).
    struct Clock
    {
        std::string host;
        double sinceLastRequest = -1;
        double delay = 0;
        double backoff = 0;
    };
    // A host taken, with the seconds its clock says the first request must wait.
    struct Lease
    {
        std::string host;
        double wait = 0;
    };

    virtual ~CrawlShare() = default;

    // Connects, creates the shared tables if they are missing and announces this node; false
    // with *error, which names the store without its password.
    virtual bool open(std::string *error) = 0;
    // The store as messages name it: without a password.
    virtual std::string name() const = 0;
    // Whether the store answers, trying to connect again when it did not.
    virtual bool connected() = 0;

    // Queued writes.
    virtual void addSeed(const std::string &url, const std::string &origin) = 0;
    virtual void addPage(const std::string &url, const std::string &origin, int depth) = 0;
    virtual void addTrack(const FoundTrack &found, const std::string &origin) = 0;
    virtual void pageFetched(const std::string &url, int64_t now, int64_t due,
                             const std::string &etag, const std::string &modified,
                             const std::string &outcome)
        = 0;
    virtual void pageFailed(const std::string &url, int64_t now, int64_t due,
                            const std::string &outcome)
        = 0;
    // A page that is gone leaves, unless it is a seed, which is tried again at due.
    virtual void pageGone(const std::string &url, int64_t due) = 0;
    // A track read (Indexed or Refused) leaves the frontier; one that failed on the way
    // (ToRead) waits until due.
    virtual void trackDone(const std::string &url, CrawlStore::TrackState state, int64_t due) = 0;
    // Sends the queued writes in one transaction; they stay queued when it fails.
    virtual bool flush() = 0;

    // Renews this node's leases on held hosts, storing their clocks; *lost gets the hosts
    // whose lease went to another node meanwhile.
    virtual bool renew(const std::vector<Clock> &held, std::vector<std::string> *lost) = 0;
    // Takes the leases of hosts that have work due (wanted ones first) and no live owner, up
    // to this node's share of them beside the held ones; *share gets that share.
    virtual bool take(const std::vector<std::string> &wanted, size_t held, int64_t now,
                      std::vector<Lease> *taken, size_t *share)
        = 0;
    // Gives leases up, storing the hosts' clocks for their next owner.
    virtual bool release(const std::vector<Clock> &hosts) = 0;

    // What is due at now on the given hosts, oldest first, at most limit a host.
    virtual std::vector<CrawlStore::Page> duePages(const std::vector<std::string> &hosts,
                                                   int64_t now, size_t limit)
        = 0;
    virtual std::vector<CrawlStore::Track> tracksToRead(const std::vector<std::string> &hosts,
                                                        int64_t now, size_t limit)
        = 0;
    virtual std::vector<CrawlStore::Page> seeds() = 0;
};

} // namespace catalog
