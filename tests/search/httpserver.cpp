#include "httpserver.h"

#include <QHostAddress>

QByteArray HttpServer::Request::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return {};
}

HttpServer::HttpServer(QObject *parent)
    : QTcpServer(parent)
{
    listen(QHostAddress::LocalHost);
}

QString HttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(serverPort());
}

QList<HttpServer::Request> HttpServer::requests(const QByteArray &method) const
{
    QList<Request> result;
    for (const Request &r : received) {
        if (r.method == method)
            result.append(r);
    }
    return result;
}

void HttpServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QTcpSocket(this);
    socket->setSocketDescriptor(descriptor);
    connections.insert(socket, Connection{socket, {}, false});
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        connections.remove(socket);
        socket->deleteLater();
    });
}

void HttpServer::readFrom(QTcpSocket *socket)
{
    auto it = connections.find(socket);
    if (it == connections.end())
        return;
    it->buffer += socket->readAll();
    while (!it->waiting) {
        const int end = it->buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QByteArray head = it->buffer.left(end);
        it->buffer.remove(0, end + 4);

        Request request;
        const QList<QByteArray> lines = head.split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.target = first.value(1);
        request.version = first.value(2);
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const int colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
        }
        received.append(request);
        emit requestReceived(request);

        const Reply reply = handler ? handler(request) : Reply{404, "no handler", "text/plain"};
        if (reply.mode == Reply::Send) {
            send(socket, request, reply);
            continue;
        }
        it->waiting = true;
        if (reply.mode == Reply::Hold)
            held.append({socket, request});
    }
}

void HttpServer::send(QTcpSocket *socket, const Request &request, const Reply &reply)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + " Status\r\n";
    out += "Content-Type: " + reply.contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    for (const auto &h : reply.headers)
        out += h.first + ": " + h.second + "\r\n";
    out += "\r\n";
    if (request.method != "HEAD")
        out += reply.body;
    socket->write(out);
}

bool HttpServer::heldClientConnected(int index) const
{
    const QTcpSocket *socket = held.value(index).first;
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

bool HttpServer::releaseHeld(const Reply &reply)
{
    if (held.isEmpty())
        return false;
    const auto [socket, request] = held.takeFirst();
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return false;
    send(socket, request, reply);
    auto it = connections.find(socket);
    if (it != connections.end()) {
        it->waiting = false;
        readFrom(socket);
    }
    return true;
}
