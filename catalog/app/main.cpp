#include "catalogoptions.h"
#include "catalogsearch.h"
#include "catalogserver.h"
#include "catalogwriter.h"
#include "crawler.h"
#include "demolibrary.h"
#include "fulltextwriter.h"
#include "libraryscanner.h"
#include "postgrescrawlshare.h"
#include "scanloop.h"
#include "shardfront.h"
#include "shardserver.h"
#include "signalwatcher.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace catalog;

namespace {

void writeLog(const std::string &line)
{
    const std::string text = line + "\n";
    // One write per line keeps lines whole when several threads log at once.
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
}

bool writePortFile(const std::string &path, int port)
{
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << port << "\n";
        if (!out)
            return false;
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    return !error;
}

// Every connection is a descriptor: raise the soft limit so the server's connection limit
// can be reached, and lower that limit when the hard one is too low.
unsigned connectionLimit()
{
    constexpr unsigned wanted = 10000;
    constexpr unsigned spare = 1024; // refused connections, track files, the index, the log
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 64;
    if (limit.rlim_cur < wanted + spare) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, wanted + spare);
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur > spare + 64 ? unsigned(std::min<rlim_t>(wanted, limit.rlim_cur - spare))
                                       : 64;
}

// Answers --help and --version; false when the service is to run.
bool answered(const CatalogOptions &options)
{
    if (options.help)
        std::fputs(CatalogOptions::usage(), stdout);
    else if (options.version)
        std::fputs("larkspin-catalog (Larkspin) " LARKSPIN_VERSION "\n", stdout);
    return options.help || options.version;
}

bool openIndex(const std::string &path, CatalogWriter &writer, CatalogSearch &index)
{
    std::error_code fsError;
    std::filesystem::create_directories(std::filesystem::absolute(path).parent_path(), fsError);
    std::string error;
    if (!writer.open(path, &error) || !index.open(&error)) {
        writeLog("larkspin-catalog: cannot open " + path + ": " + error);
        return false;
    }
    writer.setCommitted([&index] { index.changed(); });
    return true;
}

// Starts the crawl, if there is one, and serves until stopped; false when serving could not
// start. A crawl that cannot start is logged and the service goes on without it.
bool serve(const CatalogOptions &options, CatalogServer &server, Crawler *crawler,
           const SignalWatcher &signals)
{
    std::string error;
    if (crawler && !signals.stopping() && !crawler->start(&error)) {
        writeLog("larkspin-catalog: " + error);
        // A node of a shared crawl is started to crawl: without the shared state it stops.
        if (!options.crawlState.empty())
            return false;
    }
    if (signals.stopping())
        return true;
    writeLog("listening on " + server.boundUrl());
    if (!options.portFile.empty() && !writePortFile(options.portFile, server.port()))
        writeLog("cannot write the port file " + options.portFile);
    if (!server.run(&error)) {
        writeLog("larkspin-catalog: " + error);
        return false;
    }
    return true;
}

// A front: the search API over the shards' indexes, with no catalogue of its own.
int runFront(const CatalogOptions &options, SignalWatcher &signals)
{
    std::string error;
    ShardFront front(options.shardSettings());
    if (!front.start(&error)) {
        writeLog("larkspin-catalog: " + error);
        return 1;
    }
    ServerSettings settings = options.serverSettings({}, connectionLimit());
    // A front's search mostly waits on its shards: more of them run at once than there are
    // cores (twice the searches a second of one a core, measured over three shards).
    if (options.searchThreads == 0)
        settings.searchThreads = 4 * std::max(1u, std::thread::hardware_concurrency());
    settings.shardStatus = [&front] {
        return front.status();
    };
    CatalogServer server(front, settings, writeLog);
    if (!server.bind(options.host, options.port, &error)) {
        writeLog("larkspin-catalog: " + error);
        return 1;
    }
    signals.start([] { writeLog("a front has no folders to rescan"); }, [&] { server.stop(); });
    for (const auto &shard : front.status()) {
        for (const auto &copy : shard.copies)
            writeLog("shard " + copy.address
                     + (copy.up ? ": " + std::to_string(shard.documents) + " tracks"
                                : " does not answer: " + copy.error));
    }
    const bool ok = serve(options, server, nullptr, signals);
    signals.finish();
    writeLog("stopped");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    CatalogOptions options;
    std::string error;
    if (!CatalogOptions::parse(argc, argv, options, &error)) {
        std::fprintf(stderr, "larkspin-catalog: %s\n%s", error.c_str(), CatalogOptions::usage());
        return 2;
    }
    if (answered(options))
        return 0;

    // The counts searches share (tables of 0.1-1.1 MB) are dropped and read again as the words
    // asked for change. Taken from the heap, they leave holes when dropped that smaller blocks
    // fill only in part: a fifth of the heap after a minute of searches. Mapped each on its
    // own, they go back to the system when dropped. A fixed threshold also stops glibc from
    // raising it to the largest block freed, which would send them back to the heap.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    SignalWatcher signals; // before any other thread starts
    if (!options.shards.empty())
        return runFront(options, signals);
    CatalogWriter writer;
    CatalogSearch index(options.databasePath);
    if (!openIndex(options.databasePath, writer, index))
        return 1;
    const std::vector<std::string> dirs = options.folders();

    // The scanner and the crawler write through one writer, in turn.
    std::mutex writerLock;
    std::unique_ptr<Crawler> crawler;
    if (!options.crawlState.empty())
        crawler = std::make_unique<Crawler>(
            writer, writerLock, options.crawlSettings(), writeLog,
            std::make_unique<PostgresCrawlShare>(options.crawlState, options.crawlLease));
    else if (!options.crawlSeeds.empty() || Crawler::hasState(writer))
        crawler = std::make_unique<Crawler>(writer, writerLock, options.crawlSettings(), writeLog);
    ServerSettings settings = options.serverSettings(dirs, connectionLimit());
    if (crawler)
        settings.crawlStatus = [&crawler] {
            return crawler->status();
        };
    // The Subsonic API, when it has users: a users file that cannot be trusted stops the start.
    std::unique_ptr<SubsonicApi> subsonic;
    if (!options.subsonicUsers.empty()) {
        subsonic = std::make_unique<SubsonicApi>(index, options.subsonicSettings(dirs));
        if (!subsonic->open(&error)) {
            writeLog("larkspin-catalog: " + error);
            return 1;
        }
        settings.restApi = [&subsonic](const HttpRequest &request, const std::string &path) {
            return subsonic->handle(request, path);
        };
    }
    CatalogServer server(index, settings, writeLog);
    if (subsonic)
        subsonic->setFileServer([&server](const HttpRequest &request, const TrackRecord &track) {
            return server.serveTrackFile(request, track);
        });
    if (!server.bind(options.host, options.port, &error)) {
        writeLog("larkspin-catalog: " + error);
        return 1;
    }
    // A front searching this index as a shard makes the files' locations from this address.
    if (!writer.setPublicUrl(options.publicUrl.empty() ? server.boundUrl() : options.publicUrl))
        writeLog("cannot store the public address in the search index: " + writer.lastError());
    std::unique_ptr<ShardServer> shardServer;
    if (!options.serveShard.empty()) {
        shardServer = std::make_unique<ShardServer>(
            options.serveShard, FullTextWriter::pathFor(options.databasePath), writeLog);
        if (!shardServer->start(&error)) {
            writeLog("larkspin-catalog: " + error);
            return 1;
        }
        writeLog("serving the index to fronts on " + options.serveShard);
    }

    std::atomic<bool> stopping{false};
    LibraryScanner scanner(writer, writeLog);
    ScanLoop rescans([&] {
        if (dirs.empty()) {
            writeLog("no folders to rescan");
        } else {
            std::lock_guard<std::mutex> writing(writerLock);
            scanner.scan(dirs, stopping);
        }
        index.changed();
    });
    signals.start([&rescans] { rescans.rescan(); },
                  [&] {
                      stopping = true;
                      server.stop();
                  });

    if (options.demo && !DemoLibrary::ensure(options.demoDir(), writeLog, &error)) {
        writeLog("larkspin-catalog: " + error);
        signals.finish();
        return 1;
    }
    if (dirs.empty()) {
        writeLog("no folders given; serving the " + std::to_string(index.trackCount())
                 + " tracks already indexed");
    } else {
        scanner.scan(dirs, stopping);
        index.changed();
    }

    if (!signals.stopping()) {
        const auto began = std::chrono::steady_clock::now();
        const size_t words = index.warm();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - began);
        writeLog("read the counts of the " + std::to_string(words) + " commonest words in "
                 + std::to_string(took.count()) + " ms");
    }
    const bool ok = serve(options, server, crawler.get(), signals);
    stopping = true;
    rescans.stop();
    if (crawler)
        crawler->stop();
    if (subsonic)
        subsonic->stop();
    if (shardServer)
        shardServer->stop();
    signals.finish();
    writeLog("stopped");
    return ok ? 0 : 1;
}
