#include "platform/messenger/AddressPolicy.h"

#include <algorithm>

bool AddressPolicy::mayConnect(std::uint32_t address, std::uint16_t port) const
{
    const std::uint32_t top = address >> 24;
    // 0/8 is "this network" (0.0.0.0 reaches this machine); 224/4 is multicast and 240/4,
    // 255.255.255.255 included, is reserved or broadcast: none is one host.
    if (port == 0 || top == 0 || top >= 224)
        return false;
    if (isLoopback(address) && !loopbackAllowed)
        return false;
    return std::find(broadcasts.begin(), broadcasts.end(), address) == broadcasts.end();
}

bool AddressPolicy::mayFollowRetarget(std::uint32_t from, std::uint32_t to,
                                      std::uint16_t port) const
{
    return to == from && mayConnect(to, port);
}
