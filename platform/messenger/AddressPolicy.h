#pragma once

#include <cstdint>
#include <vector>

// Which addresses the sender may connect to, whoever named them: the user, a name answer, a
// node or a session retarget. A LAN peer must not be able to steer the user's text to a local
// service or to many hosts at once.
struct AddressPolicy
{
    // Loopback is for a send to this machine: the user's own target was a loopback address
    // or this machine's own name.
    bool loopbackAllowed = false;
    // The directed broadcast addresses of this machine's interfaces, as far as they are known.
    std::vector<std::uint32_t> broadcasts;

    // Addresses in host byte order.
    bool mayConnect(std::uint32_t address, std::uint16_t port) const;
    // A retarget stays on the host that sent it; only the port may change.
    bool mayFollowRetarget(std::uint32_t from, std::uint32_t to, std::uint16_t port) const;

    static bool isLoopback(std::uint32_t address) { return (address >> 24) == 127; }
};
