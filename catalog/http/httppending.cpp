#include "httppending.h"

#include "httpfront.h"

namespace catalog {

void HttpPending::reply(HttpReply reply) const
{
    m_front->complete(m_connection, m_exchange, std::move(reply));
}

} // namespace catalog
