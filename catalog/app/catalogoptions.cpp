#include "catalogoptions.h"

#include "opmlseeds.h"
#include "shardfront.h"
#include "weblink.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace catalog {

namespace {

bool parsePort(const std::string &text, int &port)
{
    if (text.empty() || text.size() > 5
        || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::atoi(text.c_str());
    return port <= 65535;
}

bool parseNumber(const std::string &text, double low, double high, double &number)
{
    if (text.empty() || text.size() > 12
        || text.find_first_not_of("0123456789.") != std::string::npos)
        return false;
    char *end = nullptr;
    number = std::strtod(text.c_str(), &end);
    return end && *end == 0 && std::isfinite(number) && number >= low && number <= high;
}

// An http or https address a crawl can start from, as written.
bool addSeed(const std::string &text, std::vector<std::string> &seeds)
{
    const std::string url = WebLink::resolve(text, text);
    if (url.empty() || (text.compare(0, 7, "http://") != 0 && text.compare(0, 8, "https://") != 0))
        return false;
    seeds.push_back(url);
    return true;
}

bool fail(std::string *error, const std::string &message)
{
    if (error)
        *error = message;
    return false;
}

// The options without a value; false when arg is none of them.
bool setFlag(const std::string &arg, CatalogOptions &options)
{
    if (arg == "--help" || arg == "-h")
        options.help = true;
    else if (arg == "--version")
        options.version = true;
    else if (arg == "--demo")
        options.demo = true;
    else if (arg == "--crawl-allow-private")
        options.crawlAllowPrivate = true;
    else if (arg == "--follow-symlinks")
        options.followSymlinks = true;
    else if (arg == "--status-public")
        options.statusPublic = true;
    else
        return false;
    return true;
}

enum class Taken { No, Yes, Bad };

// The service's options with a value; Bad with *error on a bad value.
Taken setServiceValue(const std::string &name, std::string value, CatalogOptions &options,
                      std::string *error)
{
    const auto bad = [error](const std::string &message) {
        fail(error, message);
        return Taken::Bad;
    };
    if (name == "--listen") {
        const size_t colon = value.rfind(':');
        if (colon == std::string::npos || colon == 0)
            return bad("--listen needs ADDR:PORT");
        std::string host = value.substr(0, colon);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        if (!parsePort(value.substr(colon + 1), options.port))
            return bad("bad port in --listen " + value);
        options.host = host;
    } else if (name == "--db") {
        options.databasePath = value;
    } else if (name == "--public-url") {
        while (!value.empty() && value.back() == '/')
            value.pop_back();
        if (value.compare(0, 7, "http://") != 0 && value.compare(0, 8, "https://") != 0)
            return bad("--public-url must start with http:// or https://");
        options.publicUrl = value;
    } else if (name == "--ads") {
        options.adsDir = value;
    } else if (name == "--subsonic-users") {
        if (value.empty())
            return bad("--subsonic-users needs a file of name:password lines");
        options.subsonicUsers = value;
    } else if (name == "--port-file") {
        options.portFile = value;
    } else if (name == "--throttle") {
        if (value.empty() || value.size() > 7
            || value.find_first_not_of("0123456789") != std::string::npos)
            return bad("--throttle needs a number of kilobytes per second");
        options.throttleKBps = std::atoi(value.c_str());
    } else if (name == "--max-per-client" || name == "--search-threads"
               || name == "--search-queue") {
        if (value.empty() || value.size() > 5
            || value.find_first_not_of("0123456789") != std::string::npos
            || std::atoi(value.c_str()) == 0)
            return bad(name + " needs a number from 1 to 99999");
        const auto number = unsigned(std::atoi(value.c_str()));
        (name == "--max-per-client"   ? options.maxPerClient
         : name == "--search-threads" ? options.searchThreads
                                      : options.searchQueue)
            = number;
    } else {
        return Taken::No;
    }
    return Taken::Yes;
}

// The options of a catalogue over several machines: a node serving its index, a front over
// shards.
Taken setShardValue(const std::string &name, const std::string &value, CatalogOptions &options,
                    std::string *error)
{
    if (name == "--serve-shard") {
        std::vector<std::string> address;
        if (!ShardFront::parseShard(value, address, error) || address.size() != 1) {
            fail(error, "--serve-shard needs HOST:PORT, not " + value);
            return Taken::Bad;
        }
        options.serveShard = value;
    } else if (name == "--shard") {
        std::vector<std::string> copies;
        if (!ShardFront::parseShard(value, copies, error))
            return Taken::Bad;
        options.shards.push_back(std::move(copies));
    } else if (name == "--shard-timeout") {
        if (!parseNumber(value, 0.01, 600, options.shardTimeout)) {
            fail(error, "--shard-timeout needs seconds from 0.01 to 600");
            return Taken::Bad;
        }
    } else {
        return Taken::No;
    }
    return Taken::Yes;
}

// Each address in the file, one a line, # comments; or the feeds of an OPML subscription
// list (addresses other than http and https skipped).
bool readCrawlList(const std::string &path, std::vector<std::string> &seeds, std::string *error)
{
    std::ifstream file(path);
    if (!file)
        return fail(error, "cannot read the crawl list " + path);
    std::stringstream list;
    list << file.rdbuf();
    if (OpmlSeeds::isXml(list.str())) {
        const auto feeds = OpmlSeeds::read(list.str());
        if (!feeds)
            return fail(error, path + ": neither a list of addresses nor an OPML document");
        for (const std::string &feed : *feeds)
            addSeed(feed, seeds);
        return true;
    }
    std::string line;
    for (int number = 1; std::getline(list, line); ++number) {
        const size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.resize(hash);
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos)
            continue;
        line = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
        if (!addSeed(line, seeds))
            return fail(error, path + ":" + std::to_string(number)
                                   + ": not an http:// or https:// address: " + line);
    }
    return true;
}

// The crawl's options; an unknown name is an error here.
bool setCrawlValue(const std::string &name, const std::string &value, CatalogOptions &options,
                   std::string *error)
{
    if (name == "--crawl") {
        if (!addSeed(value, options.crawlSeeds))
            return fail(error, "--crawl needs an http:// or https:// address, not " + value);
    } else if (name == "--crawl-list") {
        return readCrawlList(value, options.crawlSeeds, error);
    } else if (name == "--crawl-delay") {
        if (!parseNumber(value, 0, 3600, options.crawlDelay))
            return fail(error, "--crawl-delay needs seconds from 0 to 3600");
    } else if (name == "--crawl-timeout") {
        if (!parseNumber(value, 1, 3600, options.crawlTimeout))
            return fail(error, "--crawl-timeout needs seconds from 1 to 3600");
    } else if (name == "--crawl-state") {
        if (value.empty())
            return fail(error, "--crawl-state needs a postgresql:// address");
        options.crawlState = value;
    } else if (name == "--crawl-lease") {
        if (!parseNumber(value, 1, 3600, options.crawlLease))
            return fail(error, "--crawl-lease needs seconds from 1 to 3600");
    } else if (name == "--recrawl") {
        if (!parseNumber(value, 0.0001, 24 * 365, options.recrawlHours))
            return fail(error, "--recrawl needs a number of hours");
    } else if (name == "--crawl-connections" || name == "--crawl-depth"
               || name == "--crawl-host-pages") {
        double number = 0;
        if (!parseNumber(value, name == "--crawl-depth" ? 0 : 1, 1000000, number)
            || number != std::floor(number))
            return fail(error, name + " needs a whole number");
        if (name == "--crawl-connections")
            options.crawlConnections = unsigned(number);
        else if (name == "--crawl-depth")
            options.crawlDepth = int(number);
        else
            options.crawlHostPages = unsigned(number);
    } else {
        return fail(error, "unknown option " + name);
    }
    return true;
}

} // namespace

std::string CatalogOptions::demoDir()
{
    return dataDir() + "/demo";
}

std::vector<std::string> CatalogOptions::folders() const
{
    std::vector<std::string> folders = dirs;
    if (demo)
        folders.push_back(demoDir());
    return folders;
}

CrawlSettings CatalogOptions::crawlSettings() const
{
    CrawlSettings crawl;
    crawl.seeds = crawlSeeds;
    crawl.delaySeconds = crawlDelay;
    crawl.connections = crawlConnections;
    crawl.maxDepth = crawlDepth;
    crawl.pagesPerHost = crawlHostPages;
    crawl.recrawlHours = recrawlHours;
    crawl.allowPrivate = crawlAllowPrivate;
    crawl.transferSeconds = crawlTimeout;
    crawl.leaseSeconds = crawlLease;
    return crawl;
}

ShardSettings CatalogOptions::shardSettings() const
{
    ShardSettings settings;
    settings.shards = shards;
    settings.timeout = std::chrono::milliseconds(int64_t(std::llround(shardTimeout * 1000)));
    return settings;
}

ServerSettings CatalogOptions::serverSettings(const std::vector<std::string> &folders,
                                              unsigned maxConnections) const
{
    ServerSettings settings;
    settings.publicUrl = publicUrl;
    settings.adsDir = adsDir;
    settings.throttleKBps = throttleKBps;
    settings.limits.maxPerClient = maxPerClient;
    settings.limits.maxConnections = maxConnections;
    settings.musicFolders = folders;
    settings.followSymlinks = followSymlinks;
    settings.searchThreads = searchThreads;
    settings.searchQueue = searchQueue;
    settings.statusPublic = statusPublic;
    return settings;
}

SubsonicSettings CatalogOptions::subsonicSettings(const std::vector<std::string> &folders) const
{
    SubsonicSettings settings;
    settings.usersFile = subsonicUsers;
    settings.playsPath = databasePath + ".plays";
    settings.musicFolders = folders;
    settings.relayAllowPrivate = crawlAllowPrivate;
    settings.relayTimeoutSeconds = crawlTimeout;
    return settings;
}

const char *CatalogOptions::usage()
{
    return "usage: larkspin-catalog [--listen ADDR:PORT] [--db FILE] [--public-url URL]\n"
           "                        [--ads DIR] [--throttle KBPS] [--port-file FILE] [--demo]\n"
           "                        [--max-per-client N] [--follow-symlinks]\n"
           "                        [--search-threads N] [--search-queue N]\n"
           "                        [--crawl URL] [--crawl-list FILE] [--crawl-delay SECONDS]\n"
           "                        [--crawl-connections N] [--crawl-depth N]\n"
           "                        [--crawl-host-pages N] [--recrawl HOURS]\n"
           "                        [--crawl-timeout SECONDS] [--crawl-allow-private]\n"
           "                        [--crawl-state postgresql://...] [--crawl-lease SECONDS]\n"
           "                        [--status-public] [--subsonic-users FILE]\n"
           "                        [--serve-shard HOST:PORT] [DIR ...]\n"
           "       larkspin-catalog [--listen ADDR:PORT] --shard HOST:PORT[|HOST:PORT...] ...\n"
           "                        [--shard-timeout SECONDS]\n"
           "\n"
           "Indexes the MP3 files below the DIRs and serves them to Larkspin; or, as a front,\n"
           "searches the indexes of other nodes (shards) as one.\n"
           "  --listen ADDR:PORT  address to listen on (127.0.0.1:8642; port 0 picks one)\n"
           "  --db FILE           index file (default $XDG_DATA_HOME/larkspin/catalog.sqlite)\n"
           "  --public-url URL    base URL of track locations (default: the request's Host)\n"
           "  --ads DIR           en1.png..en5.png and en1.txt..en5.txt for the ad slots\n"
           "  --throttle KBPS     limit each track transfer to KBPS kilobytes per second\n"
           "  --port-file FILE    write the bound port to FILE once serving\n"
           "  --demo              also index a generated demo library\n"
           "  --max-per-client N  open connections allowed from one address (256)\n"
           "  --follow-symlinks   also serve files that links in the folders point to\n"
           "                      outside them\n"
           "  --search-threads N  searches run at once (one per core; a front: 4 per core)\n"
           "  --search-queue N    searches waiting beyond those; more are answered 503 (64)\n"
           "  --crawl URL         crawl the web from this page, feed, directory listing or\n"
           "                      playlist (repeatable); the crawl is kept in the index file\n"
           "                      and goes on at the next start\n"
           "  --crawl-list FILE   crawl from each address in FILE (one a line, # comments),\n"
           "                      or from each feed of an OPML subscription list\n"
           "  --crawl-delay S     seconds between requests to one host (1; robots.txt may\n"
           "                      ask for more)\n"
           "  --crawl-connections N  connections of the crawl in all (32; 2 per host)\n"
           "  --crawl-depth N     links followed from a seed (3)\n"
           "  --crawl-host-pages N  pages read from one host at most (10000)\n"
           "  --recrawl HOURS     fetch pages and feeds again after HOURS (6)\n"
           "  --crawl-timeout S   seconds a crawl request may take in all (300)\n"
           "  --crawl-allow-private  let the crawl reach loopback and private addresses\n"
           "  --crawl-state URI   share the crawl with other nodes through this PostgreSQL\n"
           "                      database (a libpq URI): its frontier, seeds and host\n"
           "                      leases live there, the tracks found in this index\n"
           "  --crawl-lease S     seconds a node holds a host unrenewed, so how soon the\n"
           "                      hosts of a node that died go to the others (30)\n"
           "  --status-public     show each crawled host's errors on /status to every client,\n"
           "                      not only to this machine\n"
           "  --subsonic-users FILE  serve the Subsonic API under /rest/ to the users in FILE\n"
           "                      (name:password lines; readable by its owner only)\n"
           "  --serve-shard HOST:PORT  also serve the index to fronts over Xapian's remote\n"
           "                      protocol (xapian-tcpsrv) while indexing goes on\n"
           "  --shard HOST:PORT   search this node's index as a shard (repeatable); copies of\n"
           "                      one shard (replicas) are joined with |\n"
           "  --shard-timeout S   leave out of a search a shard that does not answer in S\n"
           "                      seconds (1)\n"
           "  --help              display this help and exit\n"
           "  --version           output version information and exit\n"
           "SIGHUP rescans the folders; SIGINT or SIGTERM stop the service.\n";
}

std::string CatalogOptions::dataDir()
{
    const char *xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/')
        return std::string(xdg) + "/larkspin";
    const char *home = std::getenv("HOME");
    return std::string(home && home[0] ? home : ".") + "/.local/share/larkspin";
}

bool CatalogOptions::parse(int argc, const char *const *argv, CatalogOptions &options,
                           std::string *error)
{
    bool onlyDirs = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (onlyDirs || arg.empty() || arg[0] != '-') {
            options.dirs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyDirs = true;
            continue;
        }
        if (setFlag(arg, options))
            continue;
        std::string name = arg, value;
        const size_t equals = arg.find('=');
        if (equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        } else {
            if (i + 1 >= argc)
                return fail(error, arg + " needs a value");
            value = argv[++i];
        }
        Taken taken = setServiceValue(name, value, options, error);
        if (taken == Taken::No)
            taken = setShardValue(name, value, options, error);
        if (taken == Taken::Bad
            || (taken == Taken::No && !setCrawlValue(name, value, options, error)))
            return false;
    }
    if (!options.shards.empty()
        && (!options.dirs.empty() || options.demo || !options.crawlSeeds.empty()
            || !options.crawlState.empty() || !options.serveShard.empty()
            || !options.subsonicUsers.empty()))
        return fail(error, "a front (--shard) searches its shards only: no folders, --demo, "
                           "--crawl, --crawl-state, --serve-shard or --subsonic-users");
    if (options.databasePath.empty())
        options.databasePath = dataDir() + "/catalog.sqlite";
    return true;
}

} // namespace catalog
