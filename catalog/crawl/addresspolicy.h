#pragma once

struct sockaddr;

namespace catalog {

// Which peers the crawler may connect to. A link on a public page can name any address, so
// only public unicast addresses are reached by default (IPv4, IPv6, and IPv4 mapped into
// IPv6 judged as IPv4). Loopback, private, shared and link-local networks can be allowed,
// for a crawl of one's own network or a test; unspecified, multicast, broadcast and reserved
// addresses never are (a connection to 0.0.0.0 reaches the machine itself), nor is an
// address of any other family. Pure functions, safe on any thread.
class AddressPolicy
{
public:
    enum class Kind { Public, Private, Never };

    static Kind kind(const sockaddr *address);
    static bool allowed(const sockaddr *address, bool allowPrivate);
};

} // namespace catalog
