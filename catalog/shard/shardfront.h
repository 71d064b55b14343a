#pragma once

#include "fulltextreader.h"
#include "pagesource.h"
#include "shardstatus.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace catalog {

class SearchTotals;

// How a front reaches its shards. Plain data, made from the command line.
struct ShardSettings
{
    // Each shard's copies as "host:port", the primary first: nodes serving their index over
    // Xapian's remote protocol (xapian-tcpsrv), or replicas of it.
    std::vector<std::vector<std::string>> shards;
    // A copy that does not answer within this time is left out of the search.
    std::chrono::milliseconds timeout{1000};
};

// A front's searches over shards: Xapian's remote backend opens each shard, and one
// Xapian::Database over them all ranks with the stock weight and global statistics: whole
// words and a last word's completions weigh as on one node holding every track (see
// FullTextReader::stockQuery; ties go by id, and Xapian interleaves the shards' ids). Each document
// carries what a page shows (TrackData); a file's location is made from the public address its node
// stored in its index.
//
// A copy that fails or does not answer within the timeout is left out at once, the search
// tried again without it (another copy of the shard, else the page of the others, marked
// partial), and only a thread of the front's own tries it again, after a back-off of 1 s
// doubling to a minute: no search waits on a dead copy twice. Searches run on any thread at
// once, each on a set of connections leased from a pool; the shards' state is shared under a
// mutex. The same thread asks every copy that is up, once a second, which index it serves, so
// that a node's compacted index reaches the searches. It owns that thread and the connections;
// nothing throws.
class ShardFront : public PageSource
{
public:
    explicit ShardFront(ShardSettings settings);
    ~ShardFront() override;
    ShardFront(const ShardFront &) = delete;
    ShardFront &operator=(const ShardFront &) = delete;

    // "host:port|host:port" into copies; false with *error for a bad address.
    static bool parseShard(const std::string &text, std::vector<std::string> &copies,
                           std::string *error);

    // Tries every copy once and starts the thread that retries those down; false with *error
    // when no shard is given.
    bool start(std::string *error);

    SearchPage search(const SearchQuery &query, int64_t start, int count) override;
    std::optional<TrackRecord> track(int64_t id) override;
    int64_t trackCount() override;
    uint64_t generation() const override { return m_generation; }

    std::vector<ShardStatus> status() const;

private:
    struct Copy;
    struct Connection;
    class Lease;

    std::unique_ptr<Connection> acquire();
    void release(std::unique_ptr<Connection> connection);
    // Opens the shard's copy for the connection (one that is up, spread over the copies);
    // false when none is.
    bool ensureShard(Connection &connection, size_t shard);
    // The copy an error names, or all the connection's copies when it names none: left out
    // until the retry thread finds them answering.
    void failed(Connection &connection, const std::string &context, const std::string &error);
    void markDown(size_t copy, const std::string &error);
    void markAnswered(const Connection &connection);
    void retryLoop();
    // What the last word stands for across the shards, kept for the searches of the same
    // generation: reading it asks every shard for the words that begin so.
    FullTextReader::Expansion expansion(const Xapian::Database &all, const std::string &prefix,
                                        uint64_t generation);
    // Opens the copy once: whether it answered, its document count and index, and what went
    // wrong.
    bool probe(size_t copy, uint64_t &documents, std::string &uuid, std::string &error) const;

    const ShardSettings m_settings;
    std::vector<Copy> m_copies;      // every copy of every shard, in order
    std::vector<size_t> m_firstCopy; // of each shard in m_copies, and one past the last
    const std::unique_ptr<SearchTotals> m_totals;
    std::atomic<uint64_t> m_generation{1};
    std::atomic<uint64_t> m_spread{0};

    mutable std::mutex m_mutex; // m_copies' state, the pool, the expansions and m_stopping
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::vector<std::unique_ptr<Connection>> m_pool;
    static constexpr size_t maxExpansions = 4096;
    std::unordered_map<std::string, std::pair<uint64_t, FullTextReader::Expansion>> m_expansions;
    std::thread m_retry;
};

} // namespace catalog
