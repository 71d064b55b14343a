#pragma once

#include <httplib.h>

namespace catalog {

// httplib's server with a longer listen queue: the library's own queue of 5 makes bursts
// of new connections (a page of availability checks) wait a second for a retry.
class TunedHttpServer : public httplib::Server
{
public:
    // Call after bind_to_port() / bind_to_any_port().
    bool setListenBacklog(int backlog);
};

} // namespace catalog
