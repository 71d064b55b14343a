#include "curlfetch.h"

#include "curlmulti.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTimer>
#include <QUrl>

namespace {

// The header QNetworkAccessManager sends unless told otherwise.
QByteArray acceptLanguage()
{
    const QString locale = QLocale::system().name().replace(QLatin1Char('_'), QLatin1Char('-'));
    if (locale == QLatin1String("C"))
        return "en,*";
    if (locale.startsWith(QLatin1String("en-")))
        return locale.toLatin1() + ",*";
    return locale.toLatin1() + ",en,*";
}

} // namespace

CurlFetch::CurlFetch(QObject *parent)
    : QObject(parent)
    , curl(new CurlMulti(
          [this](const std::vector<CurlMulti::Done> &done) {
              for (const auto &[handle, result] : done) {
                  if (running && handle == easy) {
                      finish(result);
                      return; // the receiver may have started the next transfer, or deleted us
                  }
              }
          },
          this))
    , inactivity(new QTimer(this))
{
    inactivity->setSingleShot(true);
    connect(inactivity, &QTimer::timeout, this, [this] {
        if (running)
            finishWith(tr("the search service stopped answering"));
    });

    const QByteArray language = "Accept-Language: " + acceptLanguage();
    headers = curl_slist_append(headers, "Accept:");
    headers = curl_slist_append(headers, "Connection: Keep-Alive");
    headers = curl_slist_append(headers, language.constData());

    // One handle for all transfers: it keeps the cookies the service sets, as the
    // QNetworkAccessManager's jar would.
    easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // Removing a transfer whose host lookup still runs would otherwise wait for the resolver
    // thread, freezing the window for as long as the lookup takes; the thread is left to end
    // on its own.
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
    curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "Mozilla/5.0");
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "zstd, br, gzip, deflate");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlFetch::writeCallback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
}

CurlFetch::~CurlFetch()
{
    release();
    curl_easy_cleanup(easy);
    delete curl; // closes the kept-alive connections
    curl_slist_free_all(headers);
}

void CurlFetch::get(const QByteArray &url, qint64 maxBody, int inactivityMs)
{
    release();
    body.clear();
    bodyTooLarge = false;
    this->maxBody = maxBody;
    errorBuffer[0] = '\0';

    const QUrl parsed = QUrl::fromEncoded(url);
    host = parsed.host();
    inactivity->start(inactivityMs);
    const QString scheme = parsed.scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        // Reported from the event loop, as any other outcome.
        QTimer::singleShot(0, this, [this, scheme, ticket = generation] {
            if (ticket == generation)
                finishWith(
                    QCoreApplication::translate("QNetworkReply", "Protocol \"%1\" is unknown")
                        .arg(scheme));
        });
        return;
    }

    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_multi_add_handle(curl->handle(), easy);
    running = true;
}

void CurlFetch::abort()
{
    release();
}

QByteArray CurlFetch::takeBody()
{
    QByteArray taken;
    taken.swap(body);
    return taken;
}

void CurlFetch::release()
{
    ++generation; // a pending "unknown protocol" report is for an ended transfer
    inactivity->stop();
    if (!running)
        return;
    running = false;
    curl_multi_remove_handle(curl->handle(), easy);
}

size_t CurlFetch::writeCallback(char *data, size_t size, size_t count, void *self)
{
    auto *fetch = static_cast<CurlFetch *>(self);
    const size_t length = size * count;
    if (fetch->body.size() + qint64(length) > fetch->maxBody) {
        fetch->bodyTooLarge = true;
        fetch->body.clear();
        fetch->body.squeeze();
        return CURL_WRITEFUNC_ERROR;
    }
    fetch->body.append(data, qsizetype(length));
    fetch->inactivity->start();
    return length;
}

void CurlFetch::finish(CURLcode code)
{
    QString error;
    if (code != CURLE_OK && !bodyTooLarge)
        error = errorText(code);
    finishWith(error);
}

void CurlFetch::finishWith(const QString &error)
{
    release();
    if (!error.isEmpty())
        body.clear();
    emit finished(error);
}

QString CurlFetch::errorText(CURLcode code) const
{
    switch (code) {
    case CURLE_BAD_CONTENT_ENCODING:
        // A body that does not decompress is still a reply to Qt; it reads as no playlist.
        return {};
    case CURLE_RECV_ERROR: {
        long osError = 0;
        curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osError);
        // Without a socket error this is a broken chunked body, again a reply to Qt.
        if (osError == 0)
            return {};
        return QCoreApplication::translate("QHttp", "Connection closed");
    }
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_URL_MALFORMAT:
        return QCoreApplication::translate("QHttp", "Host %1 not found").arg(host);
    case CURLE_COULDNT_CONNECT:
        return QCoreApplication::translate("QHttp", "Connection refused");
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL: // an answer without a status line
    case CURLE_SEND_ERROR:
        return QCoreApplication::translate("QHttp", "Connection closed");
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return QCoreApplication::translate("QHttp", "SSL handshake failed") + QLatin1String(": ")
               + QString::fromLocal8Bit(errorBuffer);
    default:
        return errorBuffer[0] ? QString::fromLocal8Bit(errorBuffer)
                              : QString::fromLatin1(curl_easy_strerror(code));
    }
}
