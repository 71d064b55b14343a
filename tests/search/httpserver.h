#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

// A loopback HTTP/1.1 server for tests. It records every request exactly as received and
// answers through a handler, which may also hold a request (answer later) or stall it (never).
class HttpServer : public QTcpServer
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray method;
        QByteArray target;
        QByteArray version;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray header(const QByteArray &name) const;
    };

    struct Reply
    {
        enum Mode { Send, Hold, Stall };
        Reply() = default;
        Reply(int status, const QByteArray &body = {},
              const QByteArray &contentType = "application/xspf+xml")
            : status(status)
            , body(body)
            , contentType(contentType)
        {}
        int status = 200;
        QByteArray body;
        QByteArray contentType = "application/xspf+xml";
        QList<QPair<QByteArray, QByteArray>> headers;
        Mode mode = Send;
    };

    using Handler = std::function<Reply(const Request &)>;

    explicit HttpServer(QObject *parent = nullptr);

    void setHandler(Handler handler) { this->handler = std::move(handler); }
    QString baseUrl() const;

    const QList<Request> &requests() const { return received; }
    QList<Request> requests(const QByteArray &method) const;
    int heldCount() const { return held.size(); }
    // Answers the oldest held request; false if its client has gone away.
    bool releaseHeld(const Reply &reply);
    bool heldClientConnected(int index) const;

signals:
    void requestReceived(const HttpServer::Request &request);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Connection
    {
        QPointer<QTcpSocket> socket;
        QByteArray buffer;
        bool waiting = false; // a request of it is held or stalled
    };

    void readFrom(QTcpSocket *socket);
    void send(QTcpSocket *socket, const Request &request, const Reply &reply);

    Handler handler;
    QList<Request> received;
    QList<QPair<QPointer<QTcpSocket>, Request>> held;
    QHash<QTcpSocket *, Connection> connections;
};
