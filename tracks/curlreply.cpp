#include "curlreply.h"

#include "curlnetwork.h"

#include <QPointer>
#include <QTimer>

#include <cstring>

namespace {

// What a reply keeps of a body nobody has read yet; curl stops reading the connection beyond.
constexpr qint64 MaxBuffered = 1024 * 1024;

} // namespace

CurlReply::CurlReply(CurlNetwork *network, CURL *easy, int inactivityMs)
    : QObject(network)
    , network(network)
    , easy(easy)
    , inactivity(new QTimer(this))
{
    inactivity->setSingleShot(true);
    inactivity->setInterval(inactivityMs);
    connect(inactivity, &QTimer::timeout, this, [this] {
        if (done)
            return;
        end(TimedOut);
        this->network->deliver();
    });
    inactivity->start();
}

CurlReply::~CurlReply()
{
    if (!done)
        network->detach(this);
    if (easy)
        curl_easy_cleanup(easy);
    curl_slist_free_all(headerList);
}

QByteArray CurlReply::rawHeader(const QByteArray &name) const
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return {};
}

qint64 CurlReply::contentLength() const
{
    bool ok = false;
    const qint64 length = rawHeader("Content-Length").trimmed().toLongLong(&ok);
    return ok && length >= 0 ? length : -1;
}

qint64 CurlReply::read(char *data, qint64 size)
{
    const qint64 n = qMin(size, bytesAvailable());
    if (n <= 0)
        return 0;
    std::memcpy(data, body.constData() + readAt, size_t(n));
    readAt += n;
    if (readAt == body.size()) {
        body.clear();
        readAt = 0;
    }
    if (receivingPaused && !done && bytesAvailable() < MaxBuffered) {
        // curl hands over what it held back from inside this call, through writeCallback().
        receivingPaused = false;
        curl_easy_pause(easy, CURLPAUSE_CONT);
        network->deliverLater();
    }
    return n;
}

void CurlReply::abort()
{
    if (!done) {
        network->detach(this);
        done = true;
    }
    inactivity->stop();
    headersDue = dataDue = finishDue = false;
}

void CurlReply::end(Error error)
{
    network->detach(this);
    done = true;
    failure = error;
    inactivity->stop();
    finishDue = true;
    network->notify(this);
}

void CurlReply::heardFrom()
{
    if (!done)
        inactivity->start();
}

void CurlReply::deliver()
{
    queued = false;
    QPointer<CurlReply> self(this);
    if (headersDue) {
        headersDue = false;
        emit headersReceived();
        if (!self)
            return;
    }
    if (dataDue) {
        dataDue = false;
        emit readyRead();
        if (!self)
            return;
    }
    if (finishDue) {
        finishDue = false;
        emit finished();
    }
}

size_t CurlReply::headerCallback(char *data, size_t size, size_t count, void *self)
{
    auto *reply = static_cast<CurlReply *>(self);
    const size_t length = size * count;
    reply->heardFrom();
    // Trailers of a chunked body come this way too; the answer's headers are settled by then.
    if (reply->statusCode != 0)
        return length;
    const QByteArray line(data, qsizetype(length));
    if (line.startsWith("HTTP/")) {
        // A new answer: an interim 1xx one is forgotten with its headers.
        reply->incoming.clear();
        const QList<QByteArray> parts = line.simplified().split(' ');
        reply->headerStatus = parts.size() > 1 ? parts.at(1).toInt() : 0;
        return length;
    }
    const QByteArray text = line.trimmed();
    if (text.isEmpty()) {
        if (reply->headerStatus >= 200) {
            reply->statusCode = reply->headerStatus;
            reply->headers.swap(reply->incoming);
            reply->headersDue = true;
            reply->network->notify(reply);
        }
        return length;
    }
    const int colon = text.indexOf(':');
    if (colon > 0)
        reply->incoming.append({text.left(colon).trimmed(), text.mid(colon + 1).trimmed()});
    return length;
}

size_t CurlReply::writeCallback(char *data, size_t size, size_t count, void *self)
{
    auto *reply = static_cast<CurlReply *>(self);
    const size_t length = size * count;
    reply->heardFrom();
    if (reply->bytesAvailable() >= MaxBuffered) {
        reply->receivingPaused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    reply->body.append(data, qsizetype(length));
    reply->dataDue = true;
    reply->network->notify(reply);
    return length;
}
