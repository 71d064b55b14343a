#include "addresspolicy.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>

namespace catalog {

namespace {

using Kind = AddressPolicy::Kind;

Kind kindV4(uint32_t address)
{
    const auto within = [address](uint32_t network, int bits) {
        return (address & (~uint32_t(0) << (32 - bits))) == network;
    };
    if (within(0x00000000, 8) || within(0xE0000000, 4) || within(0xF0000000, 4))
        return Kind::Never; // "this" network, multicast, reserved and broadcast
    if (within(0x0A000000, 8) || within(0x64400000, 10) || within(0x7F000000, 8)
        || within(0xA9FE0000, 16) || within(0xAC100000, 12) || within(0xC0000000, 24)
        || within(0xC0A80000, 16) || within(0xC6120000, 15))
        return Kind::Private; // private, shared, loopback, link-local, assignments, benchmarks
    return Kind::Public;
}

} // namespace

AddressPolicy::Kind AddressPolicy::kind(const sockaddr *address)
{
    if (!address)
        return Kind::Never;
    if (address->sa_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(address);
        return kindV4(ntohl(v4->sin_addr.s_addr));
    }
    if (address->sa_family != AF_INET6)
        return Kind::Never;
    const uint8_t *bytes = reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr.s6_addr;
    static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(bytes, mapped, 12) == 0) {
        uint32_t v4 = 0;
        std::memcpy(&v4, bytes + 12, 4);
        return kindV4(ntohl(v4));
    }
    static const uint8_t loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (std::memcmp(bytes, loopback, 16) == 0 || (bytes[0] & 0xFE) == 0xFC
        || (bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80))
        return Kind::Private; // loopback, unique local, link-local
    // Beyond those, only global unicast (2000::/3) leads anywhere; within it, 6to4 and
    // Teredo can wrap any IPv4 address and documentation addresses lead nowhere.
    if ((bytes[0] & 0xE0) != 0x20)
        return Kind::Never;
    if (bytes[0] == 0x20
        && (bytes[1] == 0x02 || (bytes[1] == 0x01 && bytes[2] == 0 && bytes[3] == 0)
            || (bytes[1] == 0x01 && bytes[2] == 0x0D && bytes[3] == 0xB8)))
        return Kind::Never;
    return Kind::Public;
}

bool AddressPolicy::allowed(const sockaddr *address, bool allowPrivate)
{
    const Kind k = kind(address);
    return k == Kind::Public || (allowPrivate && k == Kind::Private);
}

} // namespace catalog
