#pragma once

#include "protocol/NetbiosName.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

// The system resolver's answer for a host name (hosts file, DNS), IPv4 in host byte order,
// waiting at most timeout.
using HostLookup =
    std::function<std::optional<std::uint32_t>(const std::string&, std::chrono::milliseconds)>;

struct NameResolverOptions
{
    // Where name queries are broadcast; nullopt means the broadcast address of every up,
    // non-loopback IPv4 interface. An empty list stands for a machine without such an
    // interface.
    std::optional<std::vector<std::uint32_t>> broadcastTargets;
    std::uint16_t port = 137;
    // Windows' broadcast timing: three tries, 750 ms apart. Node status uses the same.
    int tries = 3;
    std::chrono::milliseconds tryInterval{750};
    // nullopt: the system resolver.
    std::optional<HostLookup> hostLookup;
    // With the three tries, a silent network ends the lookup after 3 s.
    std::chrono::milliseconds hostLookupTimeout{750};
};

// Finds the address of a messenger name with the NetBIOS name service (RFC 1002 4.2), and the
// messenger name of an address with a node status query.
class NameResolver
{
public:
    enum class Outcome
    {
        Found,
        NotFound,
        NoInterface
    };
    struct Result
    {
        Outcome outcome = Outcome::NotFound;
        std::uint32_t address = 0;
    };

    explicit NameResolver(NameResolverOptions options);

    // Broadcast query for name, then the host lookup of hostName when nobody answers.
    Result resolve(const NetbiosName& name, const std::string& hostName);
    // The first unique, active name with the messenger suffix in the node's name table.
    std::optional<NetbiosName> messengerNameOf(std::uint32_t address);

    // The broadcast addresses of the up, non-loopback IPv4 interfaces that have one; nullopt
    // when no such interface is up at all.
    static std::optional<std::vector<std::uint32_t>> interfaceBroadcastAddresses();
    static std::optional<std::uint32_t> systemLookup(const std::string& hostName,
                                                     std::chrono::milliseconds timeout);

private:
    std::optional<std::uint32_t> queryByBroadcast(const NetbiosName& name,
                                                  const std::vector<std::uint32_t>& targets);

    NameResolverOptions m_options;
    std::mt19937 m_random;
};
