#pragma once

#include <QString>
#include <QUrl>

#include <optional>

// The three servers the client talks to, read from LARKSPIN_SEARCH_URL, LARKSPIN_ADS_URL and
// LARKSPIN_WEB_URL. Each is a base URL "scheme://host[:port]" and defaults to the local
// catalogue service.
class ServerConfig
{
public:
    static constexpr const char *defaultUrl = "http://localhost:8642";

    QUrl searchUrl;
    QUrl adsUrl;
    QUrl webUrl;

    // All three from the environment. A value that is not such a base URL gives no config and
    // a one-line message naming the variable in *error.
    static std::optional<ServerConfig> fromEnvironment(QString *error);

    // One base URL; nullopt when text is not "http(s)://host[:port]" with at most a "/" path.
    static std::optional<QUrl> parseBaseUrl(const QString &text);
};
