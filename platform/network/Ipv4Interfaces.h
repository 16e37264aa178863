#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// An up IPv4 interface as a service that holds names on it needs it: its first address and,
// where it has one, its directed broadcast address. Addresses in host byte order.
struct Ipv4Interface
{
    int index = 0;
    std::string name;
    std::uint32_t address = 0;
    std::uint32_t broadcast = 0; // 0: no broadcast (point-to-point, loopback)
    bool loopback = false;

    bool operator==(const Ipv4Interface&) const = default;
};

class Ipv4Interfaces
{
public:
    virtual ~Ipv4Interfaces() = default;

    // Every up interface with an IPv4 address, loopback included, in interface index order;
    // nothing when the list could not be read.
    virtual std::optional<std::vector<Ipv4Interface>> GetIpv4Interfaces() = 0;
};
