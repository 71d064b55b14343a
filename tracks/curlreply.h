#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>

#include <curl/curl.h>

class CurlNetwork;
class QTimer;

// One request of a CurlNetwork, which owns it (as its child) and drives it on its thread.
//
// Signals come from the event loop, never from inside curl, in the order headersReceived(),
// readyRead() (as often as data arrives), finished(); a receiver may abort or delete the reply.
// The body is kept until read, up to 1 MiB: beyond, the connection is not read until it is.
class CurlReply : public QObject
{
    Q_OBJECT

public:
    enum Error {
        NoError,
        ConnectionFailed, // unresolved, refused, closed early, a body short of its length, ...
        TimedOut,         // nothing received for the request's inactivity limit
    };

    ~CurlReply() override;

    // The final answer's status code; 0 until its headers are in.
    int status() const { return statusCode; }
    // A header of the final answer (name in any letter case); empty when absent.
    QByteArray rawHeader(const QByteArray &name) const;
    // Its Content-Length; -1 when it announced none.
    qint64 contentLength() const;

    qint64 bytesAvailable() const { return body.size() - readAt; }
    // Takes up to size bytes of the body received so far; 0 when there is none.
    qint64 read(char *data, qint64 size);

    bool isRunning() const { return !done; }
    Error error() const { return failure; }
    // Ends the request at once; finished() does not follow.
    void abort();

signals:
    void headersReceived();
    void readyRead();
    void finished();

private:
    friend class CurlNetwork;

    CurlReply(CurlNetwork *network, CURL *easy, int inactivityMs);

    static size_t headerCallback(char *data, size_t size, size_t count, void *self);
    static size_t writeCallback(char *data, size_t size, size_t count, void *self);
    void heardFrom();
    void end(Error error);
    void deliver();

    CurlNetwork *network;
    CURL *easy;
    curl_slist *headerList = nullptr;
    QTimer *inactivity;

    int statusCode = 0;
    int headerStatus = 0;
    QList<QPair<QByteArray, QByteArray>> headers;
    QList<QPair<QByteArray, QByteArray>> incoming;
    QByteArray body;
    qint64 readAt = 0;

    // The body waiting to be read reached its bound: curl holds the rest back until read().
    bool receivingPaused = false;
    bool done = false;
    Error failure = NoError;
    // What deliver() still has to say.
    bool headersDue = false;
    bool dataDue = false;
    bool finishDue = false;
    bool queued = false;
};
