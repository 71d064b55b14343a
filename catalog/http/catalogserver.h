#pragma once

#include "adslots.h"
#include "crawlstatus.h"
#include "httpfront.h"
#include "repeatfilter.h"
#include "searchcache.h"
#include "shardstatus.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct stat;

namespace catalog {

class PageSource;
struct TrackRecord;

// How the HTTP face serves. Plain data, made by CatalogOptions::serverSettings().
struct ServerSettings
{
    std::string publicUrl; // base of track locations; empty: from the Host header
    std::string adsDir;    // empty: built-in advertisements
    int throttleKBps = 0;  // per track transfer, kilobytes per second; 0: unlimited
    HttpLimits limits;
    // Track files are served from these folders only; a file whose real path lies outside
    // them (through a symbolic link) is served only with followSymlinks.
    std::vector<std::string> musicFolders;
    bool followSymlinks = false;
    // Searches run at once (0: one per core), each on one of as many event loops; more than
    // searchQueue waiting are answered 503. The limits' thread count is this one.
    unsigned searchThreads = 0;
    size_t searchQueue = 64;
    // What the crawler is doing, for /status; empty without a crawler.
    std::function<CrawlStatus()> crawlStatus;
    // How a front's shards answer, for /status; empty on a node.
    std::function<std::vector<ShardStatus>()> shardStatus;
    // Each crawled host's counts and errors on /status for every client; otherwise only for
    // clients on this machine (the errors by kind map which addresses answer).
    bool statusPublic = false;
    // Answers every request under /rest/ (any method; POST form bodies are read for it), on
    // the event loops; empty: /rest/ is not served (404).
    std::function<HttpReply(const HttpRequest &request, const std::string &path)> restApi;
};

// The HTTP face of the catalogue: search API, track files, advertisement slots and product
// pages. Requests are answered on the front's event-loop threads, searches too (posted to
// them). It owns the front and the page cache; the index (a node's catalogue, or a front's
// shards) is borrowed and outlives it. A search page left partial by a shard that did not
// answer carries X-Larkspin-Partial: 1 and is not kept. A
// request that fails is answered with its status: 400 for a broken search, 404, 405, 416, and
// 503 when more than searchQueue searches wait or the service is stopping.
class CatalogServer
{
public:
    using Log = std::function<void(const std::string &line)>;

    CatalogServer(PageSource &index, ServerSettings settings, Log log);
    ~CatalogServer();
    CatalogServer(const CatalogServer &) = delete;
    CatalogServer &operator=(const CatalogServer &) = delete;

    // Binds host:port (port 0 picks a free port). False with *error on failure.
    bool bind(const std::string &host, int port, std::string *error);
    int port() const { return m_front.port(); }
    // "http://host:port" of the bound socket.
    std::string boundUrl() const;

    // Serves until stop(); returns false, and why in *error, if serving could not start.
    bool run(std::string *error);
    // Safe to call from any thread, also before run().
    void stop();

    // The track's file as /tracks/ serves it (ranges, If-Range, the folder checks), on an event
    // loop: 404 for a track found on the web or a file that must not be served, 416.
    HttpReply serveTrackFile(const HttpRequest &request, const TrackRecord &track) const;

private:
    HttpReply handle(const HttpRequest &request);
    HttpReply serveSearch(const HttpRequest &request, const std::string &path);
    HttpReply serveTrack(const HttpRequest &request, const std::string &path);
    HttpReply serveAd(const HttpRequest &request, const std::string &path);
    // An open descriptor of the track's file and its status, or -1 when it must not be served.
    int openTrack(const TrackRecord &track, struct stat &info) const;
    std::string baseUrl(const HttpRequest &request) const;

    PageSource &m_index;
    const ServerSettings m_settings;
    const AdSlots m_ads;
    std::vector<std::string> m_realFolders;
    SearchCache m_pages;
    RepeatFilter m_asked; // search keys asked for lately
    HttpFront m_front;
    std::string m_host;

    std::mutex m_runMutex;
    std::condition_variable m_runWake;
    bool m_stopRequested = false;
};

} // namespace catalog
