#pragma once

#include "httppending.h"

#include <string>
#include <string_view>

struct MHD_Connection;

namespace catalog {

class HttpFront;

// One request as the handler sees it: its header is complete. It borrows the front and the
// connection, so it is valid only during the handler's call, on the event loop that made it.
class HttpRequest
{
public:
    HttpRequest(HttpFront &front, MHD_Connection *connection, void *exchange, std::string method,
                std::string target, std::string_view body);

    const std::string &method() const { return m_method; }
    // The request target as sent, query included.
    const std::string &target() const { return m_target; }
    // The body of a POST the front read (HttpLimits::maxFormBody); empty for others.
    std::string_view body() const { return m_body; }
    // The first value of a header field, empty when absent.
    std::string header(const char *name) const;
    bool hasHeader(const char *name) const;
    // Whether the client is on this machine (a loopback address).
    bool fromLoopback() const;
    // The client's address as text ("127.0.0.1", "::1"); empty when unknown.
    std::string clientAddress() const;

    // Answers later: the handler's return value is ignored, and the reply given through the
    // returned handle is sent instead. Call at most once.
    HttpPending defer() const;

private:
    HttpFront &m_front;
    MHD_Connection *m_connection;
    void *m_exchange;
    std::string m_method;
    std::string m_target;
    std::string_view m_body;
};

} // namespace catalog
