#pragma once

#include "catalogserver.h"
#include "crawlsettings.h"
#include "shardfront.h"
#include "subsonicapi.h"

#include <string>
#include <vector>

namespace catalog {

// The command line of larkspin-catalog, and the settings of the service's parts made from it.
// Plain data, filled by parse() on the main thread.
struct CatalogOptions
{
    std::string host = "127.0.0.1";
    int port = 8642;
    std::string databasePath; // default: <data dir>/catalog.sqlite
    std::string publicUrl;
    std::string adsDir;
    std::string portFile;
    int throttleKBps = 0;
    unsigned maxPerClient = 256;
    unsigned searchThreads = 0; // 0: one per core
    unsigned searchQueue = 64;
    bool followSymlinks = false;
    bool demo = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> dirs;
    // The web crawl.
    std::vector<std::string> crawlSeeds;
    double crawlDelay = 1.0;
    unsigned crawlConnections = 32;
    int crawlDepth = 3;
    unsigned crawlHostPages = 10000;
    double recrawlHours = 6;
    bool crawlAllowPrivate = false;
    double crawlTimeout = 300;
    // A crawl shared with other nodes: the PostgreSQL database (libpq URI) and the lease.
    std::string crawlState;
    double crawlLease = 30;
    // Per-host crawl detail on /status for clients beyond this machine too.
    bool statusPublic = false;
    // The Subsonic API's users; empty: the API is off.
    std::string subsonicUsers;
    // Where this node serves its index to fronts; empty: it does not.
    std::string serveShard;
    // A front's shards, each with its copies; empty: this is a node with its own catalogue.
    std::vector<std::vector<std::string>> shards;
    double shardTimeout = 1;

    // Fills the options from argv; false with *error on a bad command line.
    static bool parse(int argc, const char *const *argv, CatalogOptions &options,
                      std::string *error);

    // $XDG_DATA_HOME/larkspin, else ~/.local/share/larkspin.
    static std::string dataDir();
    // Where --demo makes its library.
    static std::string demoDir();

    // The folders to index: those given, and the demo library's with --demo.
    std::vector<std::string> folders() const;
    CrawlSettings crawlSettings() const;
    ShardSettings shardSettings() const;
    // Serves folders; maxConnections is what the descriptor limit allows.
    ServerSettings serverSettings(const std::vector<std::string> &folders,
                                  unsigned maxConnections) const;

    // The Subsonic API over folders, its plays kept beside the database.
    SubsonicSettings subsonicSettings(const std::vector<std::string> &folders) const;

    static const char *usage();
};

} // namespace catalog
