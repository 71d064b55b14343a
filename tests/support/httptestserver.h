#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QTcpServer>
#include <QUrl>

#include <functional>

class QTcpSocket;
class QTimer;

// A small HTTP/1.1 server on 127.0.0.1 for tests. It records every request exactly as it came
// (request line and headers) and answers each with the reply set for its path, or the default
// reply. Every reply is sent with "Connection: close" and the connection closed after it, so
// each request arrives on a connection of its own.
//
// Reply bodies can be sent at once, dripped in chunks, cut off, held back until the test
// releases them, or not sent at all (a stalled server); a whole answer can also wait until the
// test gives it.
class HttpTestServer : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray requestLine; // "GET /a%20b.mp3 HTTP/1.1", without CRLF
        QByteArray method;
        QByteArray target;
        QByteArray version;                              // "HTTP/1.1"
        QList<QPair<QByteArray, QByteArray>> headers;    // in arrival order, names as sent
        QByteArray header(const QByteArray &name) const; // case-insensitive; empty if absent
        qint64 atMs = 0;                                 // since the server started
        int openConnections = 0;                         // including this request's
    };

    enum class BodyMode {
        Whole,  // everything at once
        Drip,   // dripSize bytes every dripInterval ms
        CutOff, // cutAfter bytes of the body, then the connection is closed
        Stall,  // cutAfter bytes of the body, then nothing and the connection stays open
        Held,   // sent by the test with push() and ended with finishHeld()
    };

    struct Reply
    {
        int status = 200;
        QByteArray reason = "OK";
        QList<QPair<QByteArray, QByteArray>> headers; // extra headers
        QByteArray body;
        bool contentLength = true; // announce the body length; without it, the end is the close
        BodyMode mode = BodyMode::Whole;
        int dripSize = 1024;
        int dripInterval = 10;
        qint64 cutAfter = 0;
        bool headersOnly = false; // no body at all (as for HEAD), even if body is set
        bool silent = false;      // the request is recorded but never answered
        bool ranges = false;      // honour "Range: bytes=a-b" and "bytes=-n" with 206
        QByteArray contentType;   // sent as Content-Type unless empty
        bool deferred = false;    // no answer until answerDeferred() gives one
    };
    // Decides the reply for a request itself; false leaves it to the replies set by path.
    using Handler = std::function<bool(const Request &request, Reply &reply)>;

    explicit HttpTestServer(QObject *parent = nullptr,
                            const QHostAddress &address = QHostAddress::LocalHost);
    ~HttpTestServer() override;

    quint16 port() const { return server.serverPort(); }
    // http://<address>:<port><path>; path is put in as already encoded text.
    QUrl url(const QByteArray &encodedPath) const;
    QString urlText(const QString &path) const;

    // Replies for requests whose path (target without query) equals path.
    void setReply(const QByteArray &path, const Reply &reply);
    void setDefaultReply(const Reply &reply);
    void setHandler(Handler handler) { this->handler = std::move(handler); }
    void clearRequests() { recorded.clear(); }

    QList<Request> requests() const { return recorded; }
    QList<Request> requests(const QByteArray &method) const;
    int requestCount() const { return recorded.size(); }
    int requestCount(const QByteArray &method) const;
    // Waits (processing events) until count requests have arrived.
    bool waitForRequests(int count, int timeoutMs = 5000);

    // For BodyMode::Held: sends data on every held connection / ends them.
    void push(const QByteArray &data);
    void finishHeld();
    int heldCount() const;

    // For Reply::deferred: the requests waiting for an answer, oldest first. answerDeferred()
    // answers the oldest with reply; false when there is none or its client has gone away.
    int deferredCount() const { return deferred.size(); }
    bool answerDeferred(const Reply &reply);
    bool deferredClientConnected(int index) const;

    // A port on 127.0.0.1 on which nothing listens.
    static quint16 refusedPort();

signals:
    void requestReceived();

private:
    void respond(QTcpSocket *socket, const Request &request);
    void send(QTcpSocket *socket, const Request &request, Reply reply);
    const Reply &replyFor(const QByteArray &path) const;

    QTcpServer server;
    QElapsedTimer clock;
    Handler handler;
    int open = 0;
    QList<Request> recorded;
    QList<QPair<QByteArray, Reply>> replies;
    Reply defaultReply;
    QList<QPointer<QTcpSocket>> held;
    QList<QPair<QPointer<QTcpSocket>, Request>> deferred;
};
