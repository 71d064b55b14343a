#pragma once

#include "httpreply.h"

struct MHD_Connection;

namespace catalog {

class HttpFront;

// A reply that another thread gives later, while the connection waits without a thread. A
// handle that borrows the front, which outlives it; a reply given after stop() is dropped,
// the front having answered 503 then.
class HttpPending
{
public:
    // Call exactly once, from any thread.
    void reply(HttpReply reply) const;

private:
    friend class HttpRequest;
    HttpFront *m_front = nullptr;
    MHD_Connection *m_connection = nullptr;
    void *m_exchange = nullptr;
};

} // namespace catalog
