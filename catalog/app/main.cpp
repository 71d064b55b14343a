#include "catalogindex.h"
#include "catalogoptions.h"
#include "catalogserver.h"
#include "crawler.h"
#include "demolibrary.h"
#include "indexwriter.h"
#include "libraryscanner.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <pthread.h>
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

} // namespace

int main(int argc, char **argv)
{
    CatalogOptions options;
    std::string error;
    if (!CatalogOptions::parse(argc, argv, options, &error)) {
        std::fprintf(stderr, "larkspin-catalog: %s\n%s", error.c_str(), CatalogOptions::usage());
        return 2;
    }
    if (options.help) {
        std::fputs(CatalogOptions::usage(), stdout);
        return 0;
    }
    if (options.version) {
        std::fputs("larkspin-catalog (Larkspin) " LARKSPIN_VERSION "\n", stdout);
        return 0;
    }

    // Signals are taken by one thread with sigwait(); every other thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A peer that goes away mid-transfer is an error on that connection only.
    std::signal(SIGPIPE, SIG_IGN);

    std::error_code fsError;
    std::filesystem::create_directories(
        std::filesystem::absolute(options.databasePath).parent_path(), fsError);
    IndexWriter writer;
    CatalogIndex index(options.databasePath);
    if (!writer.open(options.databasePath, &error) || !index.open(&error)) {
        writeLog("larkspin-catalog: cannot open " + options.databasePath + ": " + error);
        return 1;
    }
    writer.setCommitted([&index] { index.changed(); });

    std::vector<std::string> dirs = options.dirs;
    const std::string demoDir = CatalogOptions::dataDir() + "/demo";
    if (options.demo)
        dirs.push_back(demoDir);

    // The scanner and the crawler write through one writer, in turn.
    std::mutex writerLock;
    std::unique_ptr<Crawler> crawler;
    if (!options.crawlSeeds.empty() || Crawler::hasState(writer)) {
        CrawlSettings crawl;
        crawl.seeds = options.crawlSeeds;
        crawl.delaySeconds = options.crawlDelay;
        crawl.connections = options.crawlConnections;
        crawl.maxDepth = options.crawlDepth;
        crawl.pagesPerHost = options.crawlHostPages;
        crawl.recrawlHours = options.recrawlHours;
        crawl.allowPrivate = options.crawlAllowPrivate;
        crawler = std::make_unique<Crawler>(writer, writerLock, crawl, writeLog);
    }

    ServerSettings settings;
    settings.publicUrl = options.publicUrl;
    settings.adsDir = options.adsDir;
    settings.throttleKBps = options.throttleKBps;
    settings.limits.maxPerClient = options.maxPerClient;
    settings.limits.maxConnections = connectionLimit();
    settings.musicFolders = dirs;
    settings.followSymlinks = options.followSymlinks;
    settings.searchThreads = options.searchThreads;
    settings.searchQueue = options.searchQueue;
    if (crawler)
        settings.crawlStatus = [&crawler] {
            return crawler->status();
        };
    CatalogServer server(index, settings, writeLog);
    if (!server.bind(options.host, options.port, &error)) {
        writeLog("larkspin-catalog: " + error);
        return 1;
    }

    std::mutex mutex;
    std::condition_variable wake;
    bool rescanRequested = false;
    std::atomic<bool> stopping{false};
    std::atomic<bool> served{false};
    std::thread signalThread([&] {
        for (;;) {
            int received = 0;
            if (sigwait(&signals, &received) != 0)
                continue;
            if (received == SIGHUP) {
                std::lock_guard<std::mutex> lock(mutex);
                rescanRequested = true;
                wake.notify_all();
                continue;
            }
            stopping = true;
            wake.notify_all();
            // stop() only reaches a server that is already running, so keep asking until
            // main has left run() or decided not to enter it.
            while (!served) {
                server.stop();
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            return;
        }
    });
    const auto finishSignalThread = [&] {
        served = true;
        if (!stopping)
            pthread_kill(signalThread.native_handle(), SIGTERM);
        signalThread.join();
    };

    if (options.demo && !DemoLibrary::ensure(demoDir, writeLog, &error)) {
        writeLog("larkspin-catalog: " + error);
        finishSignalThread();
        return 1;
    }

    LibraryScanner scanner(writer, writeLog);
    if (dirs.empty()) {
        writeLog("no folders given; serving the " + std::to_string(index.trackCount())
                 + " tracks already indexed");
    } else {
        scanner.scan(dirs, stopping);
        index.changed();
    }

    std::thread scanThread([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return rescanRequested || stopping; });
            if (stopping)
                return;
            rescanRequested = false;
            lock.unlock();
            if (dirs.empty())
                writeLog("no folders to rescan");
            else {
                std::lock_guard<std::mutex> writing(writerLock);
                scanner.scan(dirs, stopping);
            }
            index.changed();
            lock.lock();
        }
    });

    bool ok = true;
    if (crawler && !stopping && !crawler->start(&error)) {
        writeLog("larkspin-catalog: " + error);
        crawler.reset();
    }
    if (!stopping) {
        writeLog("listening on " + server.boundUrl());
        if (!options.portFile.empty() && !writePortFile(options.portFile, server.port()))
            writeLog("cannot write the port file " + options.portFile);
        ok = server.run();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        wake.notify_all();
    }
    scanThread.join();
    if (crawler)
        crawler->stop();
    finishSignalThread();
    writeLog("stopped");
    return ok ? 0 : 1;
}
