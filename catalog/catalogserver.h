#pragma once

#include "adslots.h"

#include <functional>
#include <memory>
#include <string>

namespace httplib {
struct Request;
struct Response;
} // namespace httplib

namespace catalog {

class CatalogIndex;
class TunedHttpServer;

struct ServerSettings
{
    std::string publicUrl;  // base of track locations; empty: from the Host header
    std::string adsDir;     // empty: built-in advertisements
    int throttleKBps = 0;   // per track transfer, kilobytes per second; 0: unlimited
    int workerThreads = 48; // a keep-alive connection holds a worker while it is open
};

// The HTTP face of the catalogue: search API, track files, advertisement slots and product
// pages. Handlers run on httplib's worker threads; the index is shared between them.
class CatalogServer
{
public:
    using Log = std::function<void(const std::string &line)>;

    CatalogServer(CatalogIndex &index, ServerSettings settings, Log log);
    ~CatalogServer();
    CatalogServer(const CatalogServer &) = delete;
    CatalogServer &operator=(const CatalogServer &) = delete;

    // Binds host:port (port 0 picks a free port). False with *error on failure.
    bool bind(const std::string &host, int port, std::string *error);
    int port() const { return m_port; }
    // "http://host:port" of the bound socket.
    std::string boundUrl() const;

    // Serves until stop(); returns false if serving could not start.
    bool run();
    // Safe to call from any thread, also before run().
    void stop();

private:
    void handle(const httplib::Request &request, httplib::Response &response);
    void serveSearch(const httplib::Request &request, httplib::Response &response,
                     const std::string &path);
    void serveTrack(const httplib::Request &request, httplib::Response &response,
                    const std::string &path);
    void serveAd(const httplib::Request &request, httplib::Response &response,
                 const std::string &path);
    std::string baseUrl(const httplib::Request &request) const;
    void logRequest(const httplib::Request &request, const httplib::Response &response);

    CatalogIndex &m_index;
    const ServerSettings m_settings;
    const AdSlots m_ads;
    Log m_log;
    std::unique_ptr<TunedHttpServer> m_server;
    std::string m_host;
    int m_port = 0;
};

} // namespace catalog
