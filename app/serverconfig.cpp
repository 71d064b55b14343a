#include "serverconfig.h"

#include <QtGlobal>

std::optional<QUrl> ServerConfig::parseBaseUrl(const QString &text)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return std::nullopt;
    const QString scheme = url.scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return std::nullopt;
    if (!url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment())
        return std::nullopt;
    if (!url.path().isEmpty() && url.path() != QLatin1String("/"))
        return std::nullopt;
    QUrl base;
    base.setScheme(scheme);
    base.setHost(url.host());
    base.setPort(url.port());
    return base;
}

std::optional<ServerConfig> ServerConfig::fromEnvironment(QString *error)
{
    ServerConfig config;
    const struct
    {
        const char *name;
        QUrl *target;
    } vars[] = {
        {"LARKSPIN_SEARCH_URL", &config.searchUrl},
        {"LARKSPIN_ADS_URL", &config.adsUrl},
        {"LARKSPIN_WEB_URL", &config.webUrl},
    };
    for (const auto &var : vars) {
        const QString value = qEnvironmentVariableIsSet(var.name) ? qEnvironmentVariable(var.name)
                                                                  : QString::fromLatin1(defaultUrl);
        const std::optional<QUrl> url = parseBaseUrl(value);
        if (!url) {
            if (error) {
                *error = QStringLiteral("larkspin: %1=\"%2\" is not a base URL such as %3")
                             .arg(QLatin1String(var.name), value, QLatin1String(defaultUrl));
            }
            return std::nullopt;
        }
        *var.target = *url;
    }
    return config;
}
