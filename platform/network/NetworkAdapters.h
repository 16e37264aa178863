#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

// One IPv4 address as the adapter list reports it: dotted-decimal text in the ANSI code page,
// NUL-padded in a fixed 16-byte field. "255.255.255.255" takes 15 bytes, so a well-formed field
// always ends in at least one NUL; readers must still cope with a field that holds none.
using AddressField = std::array<char, 16>;

// One entry of the adapter list.
struct AdapterRecord
{
    // The interface name, for diagnostics only.
    std::string name;
    // The adapter's first IPv4 address; all NULs when the adapter has none.
    AddressField ipAddress{};
    // The adapter's further IPv4 addresses, in the platform's order.
    std::vector<AddressField> moreAddresses;
};

// The list of network adapters of this machine, in the platform's order, with their IPv4
// addresses: the service that GetAdaptersInfo gives on Windows.
class NetworkAdapters
{
public:
    virtual ~NetworkAdapters() = default;

    // Every adapter with its addresses, or nothing when the platform could not list them.
    // The loopback interface is never listed.
    virtual std::optional<std::vector<AdapterRecord>> GetAdaptersInfo() = 0;
};
