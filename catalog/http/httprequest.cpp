#include "httprequest.h"

#include "httpfront.h"

#include <microhttpd.h>

namespace catalog {

HttpRequest::HttpRequest(HttpFront &front, MHD_Connection *connection, void *exchange,
                         std::string method, std::string target)
    : m_front(front)
    , m_connection(connection)
    , m_exchange(exchange)
    , m_method(std::move(method))
    , m_target(std::move(target))
{}

std::string HttpRequest::header(const char *name) const
{
    const char *value = MHD_lookup_connection_value(m_connection, MHD_HEADER_KIND, name);
    return value ? value : "";
}

bool HttpRequest::hasHeader(const char *name) const
{
    return MHD_lookup_connection_value(m_connection, MHD_HEADER_KIND, name) != nullptr;
}

HttpPending HttpRequest::defer() const
{
    m_front.defer(m_connection, m_exchange);
    HttpPending pending;
    pending.m_front = &m_front;
    pending.m_connection = m_connection;
    pending.m_exchange = m_exchange;
    return pending;
}

} // namespace catalog
