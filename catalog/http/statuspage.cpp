#include "statuspage.h"

#include "texthelpers.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace catalog {

namespace {

std::string jsonString(const std::string &text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string isoTime(int64_t seconds)
{
    if (seconds <= 0)
        return {};
    const std::time_t time = std::time_t(seconds);
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string escaped(const std::string &text)
{
    return TextHelpers::escapeXml(text);
}

} // namespace

std::string StatusPage::shownAddress(const std::string &url)
{
    std::string shown = url.substr(0, url.find_first_of("?#"));
    const size_t scheme = shown.find("://");
    const size_t authority = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t path = std::min(shown.find('/', authority), shown.size());
    const size_t at = shown.rfind('@', path);
    if (at != std::string::npos && at >= authority)
        shown.erase(authority, at + 1 - authority);
    return shown;
}

std::string StatusPage::json(const CrawlStatus &status, int64_t indexedTracks, bool hosts,
                             const std::vector<ShardStatus> &shards)
{
    std::string out = "{\"tracks_indexed\":" + std::to_string(indexedTracks);
    if (!shards.empty()) {
        out += ",\"shards\":[";
        for (size_t i = 0; i < shards.size(); ++i) {
            out += i ? ",{" : "{";
            out += "\"documents\":" + std::to_string(shards[i].documents) + ",\"copies\":[";
            for (size_t j = 0; j < shards[i].copies.size(); ++j) {
                const auto &copy = shards[i].copies[j];
                out += j ? ",{" : "{";
                out += "\"address\":" + jsonString(copy.address);
                out += ",\"up\":" + std::string(copy.up ? "true" : "false");
                out += ",\"last_answer\":"
                       + (copy.lastAnswer ? jsonString(isoTime(copy.lastAnswer / 1000)) : "null");
                out += ",\"error\":" + jsonString(copy.error) + "}";
            }
            out += "]}";
        }
        out += "]";
    }
    out += ",\"crawl\":{\"running\":" + std::string(status.crawling ? "true" : "false");
    out += ",\"seconds\":" + std::to_string(int64_t(status.seconds));
    out += ",\"requests\":" + std::to_string(status.requests);
    out += ",\"pages\":" + std::to_string(status.pages);
    out += ",\"tracks\":" + std::to_string(status.tracks);
    out += ",\"tracks_removed\":" + std::to_string(status.tracksRemoved);
    out += ",\"errors\":" + std::to_string(status.errors);
    out += ",\"queued\":" + std::to_string(status.queued);
    out += ",\"hosts_shown\":" + std::string(hosts ? "true" : "false");
    out += ",\"hosts\":[";
    for (size_t i = 0; hosts && i < status.hosts.size(); ++i) {
        const auto &host = status.hosts[i];
        out += i ? ",{" : "{";
        out += "\"origin\":" + jsonString(host.origin);
        out += ",\"pages\":" + std::to_string(host.pages);
        out += ",\"tracks\":" + std::to_string(host.tracks);
        out += ",\"queued\":" + std::to_string(host.queued);
        out += ",\"errors\":{";
        bool first = true;
        for (const auto &[kind, count] : host.errors) {
            out += first ? "" : ",";
            out += jsonString(kind) + ":" + std::to_string(count);
            first = false;
        }
        out += "}}";
    }
    out += "],\"seeds\":[";
    for (size_t i = 0; i < status.seeds.size(); ++i) {
        const auto &seed = status.seeds[i];
        out += i ? ",{" : "{";
        out += "\"url\":" + jsonString(shownAddress(seed.url));
        out += ",\"last_crawl\":" + (seed.fetched ? jsonString(isoTime(seed.fetched)) : "null");
        out += ",\"outcome\":" + jsonString(seed.outcome) + "}";
    }
    out += "]";
    if (!status.shared.empty()) {
        // Which hosts this node holds in a shared crawl; their names only where hosts are shown.
        out += ",\"shared\":{\"state\":" + jsonString(shownAddress(status.shared));
        out += ",\"paused\":" + std::string(status.sharedPaused ? "true" : "false");
        out += ",\"lease_count\":" + std::to_string(status.leases.size());
        out += ",\"leases\":[";
        for (size_t i = 0; hosts && i < status.leases.size(); ++i)
            out += (i ? "," : "") + jsonString(status.leases[i]);
        out += "]}";
    }
    out += "}}\n";
    return out;
}

std::string StatusPage::html(const CrawlStatus &status, int64_t indexedTracks, bool hosts,
                             const std::vector<ShardStatus> &shards)
{
    std::string out = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
                      "<title>larkspin-catalog status</title>"
                      "<style>body{font-family:sans-serif;margin:2em}td,th{padding:2px 10px;"
                      "text-align:left}</style></head><body>\n";
    out += "<h1>Catalogue status</h1>\n<p>" + std::to_string(indexedTracks)
           + " tracks indexed.</p>\n";
    if (!shards.empty()) {
        out += "<h2>Shards</h2>\n<table><tr><th>Shard</th><th>Copy</th><th>State</th>"
               "<th>Last answer (UTC)</th><th>Tracks</th></tr>\n";
        for (size_t i = 0; i < shards.size(); ++i) {
            for (const auto &copy : shards[i].copies) {
                out += "<tr><td>" + std::to_string(i + 1) + "</td><td>" + escaped(copy.address)
                       + "</td><td>"
                       + (copy.up ? std::string("up") : "down: " + escaped(copy.error))
                       + "</td><td>" + escaped(isoTime(copy.lastAnswer / 1000)) + "</td><td>"
                       + std::to_string(shards[i].documents) + "</td></tr>\n";
            }
        }
        out += "</table>\n";
    }
    if (!status.crawling && status.seeds.empty()) {
        out += "<p>No web crawl: start the service with --crawl URL to add music from the "
               "web.</p>\n</body></html>\n";
        return out;
    }
    out += "<h2>Crawl</h2>\n<p>" + std::to_string(status.hosts.size()) + " hosts, "
           + std::to_string(status.pages) + " pages, " + std::to_string(status.tracks)
           + " tracks read, " + std::to_string(status.tracksRemoved) + " removed, "
           + std::to_string(status.errors) + " errors, " + std::to_string(status.queued)
           + " queued, " + std::to_string(status.requests) + " requests in "
           + std::to_string(int64_t(status.seconds)) + " s.</p>\n";
    if (!status.shared.empty()) {
        out += "<p>Shared crawl (" + escaped(shownAddress(status.shared)) + "): "
               + (status.sharedPaused ? "paused, the shared state is out of reach; "
                                      : std::string())
               + std::to_string(status.leases.size()) + " host leases held";
        std::string names;
        for (const auto &name : status.leases)
            names += (names.empty() ? "" : ", ") + name;
        out += hosts && !names.empty() ? ": " + escaped(names) + ".</p>\n" : ".</p>\n";
    }
    out += "<h2>Seeds</h2>\n<table><tr><th>Address</th><th>Last crawl (UTC)</th>"
           "<th>Outcome</th></tr>\n";
    for (const auto &seed : status.seeds)
        out += "<tr><td>" + escaped(shownAddress(seed.url)) + "</td><td>"
               + escaped(isoTime(seed.fetched)) + "</td><td>" + escaped(seed.outcome)
               + "</td></tr>\n";
    if (!hosts) {
        out += "</table>\n<p>Each host's counts and errors are shown to this machine only.</p>"
               "\n</body></html>\n";
        return out;
    }
    out += "</table>\n<h2>Hosts</h2>\n<table><tr><th>Host</th><th>Pages</th><th>Tracks</th>"
           "<th>Queued</th><th>Errors</th></tr>\n";
    for (const auto &host : status.hosts) {
        std::string errors;
        for (const auto &[kind, count] : host.errors)
            errors += (errors.empty() ? "" : ", ") + kind + ": " + std::to_string(count);
        out += "<tr><td>" + escaped(host.origin) + "</td><td>" + std::to_string(host.pages)
               + "</td><td>" + std::to_string(host.tracks) + "</td><td>"
               + std::to_string(host.queued) + "</td><td>" + escaped(errors) + "</td></tr>\n";
    }
    out += "</table>\n</body></html>\n";
    return out;
}

} // namespace catalog
