#include "tunedhttpserver.h"

#include <sys/socket.h>

namespace catalog {

bool TunedHttpServer::setListenBacklog(int backlog)
{
    const socket_t sock = svr_sock_;
    // Calling listen() again on a listening socket only changes its queue length.
    return sock != INVALID_SOCKET && ::listen(sock, backlog) == 0;
}

} // namespace catalog
