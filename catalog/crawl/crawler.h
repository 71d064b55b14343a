#pragma once

#include "crawlstatus.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace catalog {

class IndexWriter;

struct CrawlSettings
{
    std::vector<std::string> seeds;
    double delaySeconds = 1.0; // between requests to one host (robots.txt may ask more)
    unsigned connections = 32; // in all
    unsigned perHost = 2;      // connections to one host
    int maxDepth = 3;          // links followed from a seed
    size_t pagesPerHost = 10000;
    double recrawlHours = 6;
    bool allowPrivate = false;  // loopback and private addresses (tests)
    double progressSeconds = 5; // between progress lines
};

// Finds MP3s on the web from seed addresses: fetches pages, directory listings, feeds and
// playlists, follows their links to a bounded depth, reads each MP3's tags from its first
// and last bytes, and puts the tracks in the index with their own addresses. One thread
// drives all transfers through libcurl's multi interface; robots.txt, a delay and a
// connection limit per host keep it polite, and addresses inside private networks are
// refused after every name resolution and redirect. The crawl state lives in the index
// database, so a restart goes on where it stopped; pages are fetched again every
// recrawlHours with conditional requests.
class Crawler
{
public:
    using Log = std::function<void(const std::string &line)>;

    // writerLock guards writer against the folder scanner; the crawler holds it while it
    // writes a batch (a quarter of a second at most).
    Crawler(IndexWriter &writer, std::mutex &writerLock, CrawlSettings settings, Log log);
    ~Crawler();
    Crawler(const Crawler &) = delete;
    Crawler &operator=(const Crawler &) = delete;

    // Stores the seeds and starts crawling on a thread of its own.
    bool start(std::string *error);
    // Stops the thread after committing what it has read; safe from any thread.
    void stop();

    CrawlStatus status() const;

    // Whether the database holds a crawl to go on with (seeds stored by an earlier run).
    static bool hasState(IndexWriter &writer);

    // What the crawler calls itself in robots.txt.
    static const char *productToken();
    static std::string userAgent();

private:
    class Engine;
    std::unique_ptr<Engine> m_engine;
};

} // namespace catalog
