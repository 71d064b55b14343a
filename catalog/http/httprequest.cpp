#include "httprequest.h"

#include "httpfront.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace catalog {

HttpRequest::HttpRequest(HttpFront &front, MHD_Connection *connection, void *exchange,
                         std::string method, std::string target, std::string_view body)
    : m_front(front)
    , m_connection(connection)
    , m_exchange(exchange)
    , m_method(std::move(method))
    , m_target(std::move(target))
    , m_body(body)
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

bool HttpRequest::fromLoopback() const
{
    const auto *info = MHD_get_connection_info(m_connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr)
        return false;
    const sockaddr *address = info->client_addr;
    if (address->sa_family == AF_INET) {
        const auto &in = reinterpret_cast<const sockaddr_in *>(address)->sin_addr;
        return (ntohl(in.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        const auto &in6 = reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&in6))
            return true;
        return IN6_IS_ADDR_V4MAPPED(&in6) && in6.s6_addr[12] == 127;
    }
    return false;
}

std::string HttpRequest::clientAddress() const
{
    const auto *info = MHD_get_connection_info(m_connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr)
        return {};
    char text[INET6_ADDRSTRLEN] = {};
    const sockaddr *address = info->client_addr;
    if (address->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, text,
                    sizeof text);
    else if (address->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr, text,
                    sizeof text);
    return text;
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
