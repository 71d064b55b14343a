#include "httptestserver.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <memory>

QByteArray HttpTestServer::Request::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return {};
}

HttpTestServer::HttpTestServer(QObject *parent, const QHostAddress &address)
    : QObject(parent)
{
    clock.start();
    server.listen(address);
    connect(&server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            auto buffer = std::make_shared<QByteArray>();
            ++open;
            connect(socket, &QTcpSocket::disconnected, this, [this] { --open; });
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
                buffer->append(socket->readAll());
                const int end = buffer->indexOf("\r\n\r\n");
                if (end < 0 || socket->property("answered").toBool())
                    return;
                socket->setProperty("answered", true);
                const QList<QByteArray> lines = buffer->left(end).split('\n');
                Request request;
                request.requestLine = lines.value(0).trimmed();
                const QList<QByteArray> parts = request.requestLine.split(' ');
                request.method = parts.value(0);
                request.target = parts.value(1);
                request.version = parts.value(2);
                request.atMs = clock.elapsed();
                request.openConnections = open;
                for (int i = 1; i < lines.size(); ++i) {
                    const QByteArray line = lines.at(i).trimmed();
                    const int colon = line.indexOf(':');
                    if (colon > 0)
                        request.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
                }
                recorded.append(request);
                respond(socket, request);
                emit requestReceived();
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

HttpTestServer::~HttpTestServer() = default;

QUrl HttpTestServer::url(const QByteArray &encodedPath) const
{
    return QUrl::fromEncoded("http://" + server.serverAddress().toString().toLatin1() + ':'
                             + QByteArray::number(port()) + encodedPath);
}

QString HttpTestServer::urlText(const QString &path) const
{
    return QStringLiteral("http://%1:%2%3")
        .arg(server.serverAddress().toString())
        .arg(port())
        .arg(path);
}

void HttpTestServer::setReply(const QByteArray &path, const Reply &reply)
{
    for (auto &r : replies) {
        if (r.first == path) {
            r.second = reply;
            return;
        }
    }
    replies.append({path, reply});
}

void HttpTestServer::setDefaultReply(const Reply &reply)
{
    defaultReply = reply;
}

const HttpTestServer::Reply &HttpTestServer::replyFor(const QByteArray &path) const
{
    for (const auto &r : replies) {
        if (r.first == path)
            return r.second;
    }
    return defaultReply;
}

QList<HttpTestServer::Request> HttpTestServer::requests(const QByteArray &method) const
{
    QList<Request> matching;
    for (const auto &r : recorded) {
        if (r.method == method)
            matching.append(r);
    }
    return matching;
}

bool HttpTestServer::answerDeferred(const Reply &reply)
{
    if (deferred.isEmpty())
        return false;
    const auto [socket, request] = deferred.takeFirst();
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return false;
    Reply answer = reply;
    answer.deferred = false;
    send(socket, request, answer);
    return true;
}

bool HttpTestServer::deferredClientConnected(int index) const
{
    const QTcpSocket *socket = deferred.value(index).first;
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

int HttpTestServer::requestCount(const QByteArray &method) const
{
    int n = 0;
    for (const auto &r : recorded)
        n += r.method == method;
    return n;
}

bool HttpTestServer::waitForRequests(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return recorded.size() >= count; }, timeoutMs);
}

void HttpTestServer::respond(QTcpSocket *socket, const Request &request)
{
    QByteArray path = request.target;
    const int query = path.indexOf('?');
    if (query >= 0)
        path.truncate(query);
    Reply reply;
    if (!handler || !handler(request, reply))
        reply = replyFor(path);
    if (reply.silent)
        return;
    if (reply.deferred) {
        deferred.append({socket, request});
        return;
    }
    send(socket, request, reply);
}

void HttpTestServer::send(QTcpSocket *socket, const Request &request, Reply reply)
{
    if (reply.ranges && reply.status == 200) {
        reply.headers.append(qMakePair(QByteArray("Accept-Ranges"), QByteArray("bytes")));
        const QByteArray range = request.header("Range");
        const qint64 size = reply.body.size();
        qint64 first = -1, last = size - 1;
        if (range.startsWith("bytes=-")) {
            first = std::max<qint64>(0, size - range.mid(7).toLongLong());
        } else if (range.startsWith("bytes=")) {
            const QList<QByteArray> ends = range.mid(6).split('-');
            first = ends.value(0).toLongLong();
            if (!ends.value(1).isEmpty())
                last = std::min(last, ends.value(1).toLongLong());
        }
        if (first >= 0 && first <= last) {
            reply.status = 206;
            reply.reason = "Partial Content";
            reply.headers.append(
                qMakePair(QByteArray("Content-Range"),
                          QByteArray("bytes " + QByteArray::number(first) + '-'
                                     + QByteArray::number(last) + '/' + QByteArray::number(size))));
            reply.body = reply.body.mid(first, last - first + 1);
        }
    }

    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reply.reason + "\r\n";
    if (!reply.contentType.isEmpty())
        head += "Content-Type: " + reply.contentType + "\r\n";
    for (const auto &h : reply.headers)
        head += h.first + ": " + h.second + "\r\n";
    if (reply.contentLength)
        head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    head += "Connection: close\r\n\r\n";
    socket->write(head);

    if (reply.headersOnly || request.method == "HEAD") {
        socket->disconnectFromHost();
        return;
    }
    switch (reply.mode) {
    case BodyMode::Whole:
        socket->write(reply.body);
        socket->disconnectFromHost();
        break;
    case BodyMode::CutOff:
        socket->write(reply.body.left(reply.cutAfter));
        socket->disconnectFromHost();
        break;
    case BodyMode::Stall:
        socket->write(reply.body.left(reply.cutAfter));
        break;
    case BodyMode::Held:
        held.append(socket);
        break;
    case BodyMode::Drip: {
        auto *timer = new QTimer(socket);
        auto sent = std::make_shared<qint64>(0);
        const QByteArray body = reply.body;
        const int size = reply.dripSize;
        connect(timer, &QTimer::timeout, socket, [socket, timer, sent, body, size] {
            socket->write(body.mid(*sent, size));
            *sent += size;
            if (*sent >= body.size()) {
                timer->stop();
                socket->disconnectFromHost();
            }
        });
        timer->start(reply.dripInterval);
        break;
    }
    }
}

void HttpTestServer::push(const QByteArray &data)
{
    for (const auto &socket : std::as_const(held)) {
        if (socket) {
            socket->write(data);
            socket->flush();
        }
    }
}

void HttpTestServer::finishHeld()
{
    for (const auto &socket : std::as_const(held)) {
        if (socket)
            socket->disconnectFromHost();
    }
    held.clear();
}

int HttpTestServer::heldCount() const
{
    int n = 0;
    for (const auto &socket : held) {
        if (socket && socket->state() == QAbstractSocket::ConnectedState)
            ++n;
    }
    return n;
}

quint16 HttpTestServer::refusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}
