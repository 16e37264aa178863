#pragma once

#include "platform/network/BroadcastAddresses.h"
#include "platform/network/Ipv4Interfaces.h"
#include "platform/network/NetworkAdapters.h"

struct ifaddrs;

// The adapter list from getifaddrs: interfaces in the kernel's order (the order of their first
// entry in the getifaddrs list, which is the interface index order), loopback left out.
// Interfaces without an IPv4 address are listed with an all-NUL address field, as Windows lists
// an adapter without address; the caller then moves on to the next adapter.
// The broadcast addresses and the IPv4 interface list come from the same walk, so this is the
// one reader of getifaddrs.
class LinuxNetworkAdapters final : public NetworkAdapters,
                                   public BroadcastAddresses,
                                   public Ipv4Interfaces
{
public:
    std::optional<std::vector<AdapterRecord>> GetAdaptersInfo() override;
    std::optional<std::vector<std::uint32_t>> GetBroadcastAddresses() override;
    std::optional<std::vector<Ipv4Interface>> GetIpv4Interfaces() override;

private:
    // Calls visit for every entry of the kernel's list; false when it could not be read.
    template <typename Visit> static bool walk(Visit visit);
};
