#pragma once

#include "platform/network/NetworkAdapters.h"

// The adapter list from getifaddrs: interfaces in the kernel's order (the order of their first
// entry in the getifaddrs list, which is the interface index order), loopback left out.
// Interfaces without an IPv4 address are listed with an all-NUL address field, as Windows lists
// an adapter without address; the caller then moves on to the next adapter.
class LinuxNetworkAdapters final : public NetworkAdapters
{
public:
    std::optional<std::vector<AdapterRecord>> GetAdaptersInfo() override;
};
