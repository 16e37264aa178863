#pragma once

#include "protocol/NameServicePacket.h"
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
    std::uint16_t port = 137;
    // Windows' broadcast timing: three tries, 750 ms apart. Node status uses the same.
    int tries = 3;
    std::chrono::milliseconds tryInterval{750};
    // nullopt: the system resolver.
    std::optional<HostLookup> hostLookup;
    // With the three tries, a silent network ends the lookup after 3 s.
    std::chrono::milliseconds hostLookupTimeout{750};
    // WINS servers (host byte order), asked in turn before the broadcast: an H-node. None: a
    // B-node. Each gets serverTries unicast queries serverTryInterval apart.
    std::vector<std::uint32_t> nameServers;
    int serverTries = 3;
    std::chrono::milliseconds serverTryInterval{1500};
};

// Finds the address of a messenger name with the NetBIOS name service (RFC 1002 4.2), and the
// messenger name of an address with a node status query.
class NameResolver
{
public:
    using Clock = std::chrono::steady_clock;
    // Whether an address found may be used; the others are passed over.
    using AddressCheck = std::function<bool(std::uint32_t)>;

    enum class Outcome
    {
        Found,
        NotFound,
        NoInterface,
        // Only addresses the check refused were found.
        Refused,
        // The deadline came first.
        TimedOut
    };
    struct Result
    {
        Outcome outcome = Outcome::NotFound;
        std::uint32_t address = 0;
    };

    explicit NameResolver(NameResolverOptions options);

    // The name servers in turn (H-node), then a broadcast query for name to broadcastTargets
    // (as BroadcastAddresses reports them; nothing: no interface), then the host lookup of
    // hostName when nobody answers. Every wait ends by deadline.
    Result resolve(const NetbiosName& name, const std::string& hostName,
                   const std::optional<std::vector<std::uint32_t>>& broadcastTargets,
                   const AddressCheck& acceptable,
                   Clock::time_point deadline = Clock::time_point::max());
    // The messenger name to call at an address, from the node's name table (nameToCall).
    std::optional<NetbiosName>
    messengerNameOf(std::uint32_t address, Clock::time_point deadline = Clock::time_point::max());
    // The messenger name of the node's workstation name (unique <00>) when the table has one,
    // otherwise the first unique, active messenger name, in the node's order.
    static std::optional<NetbiosName>
    nameToCall(const std::vector<NameServicePacket::NodeStatusEntry>& names);

    static std::optional<std::uint32_t> systemLookup(const std::string& hostName,
                                                     std::chrono::milliseconds timeout);

private:
    // Found, Refused, NotFound (a server said so) or TimedOut (no server answered).
    Result queryServers(const NetbiosName& name, const AddressCheck& acceptable,
                        Clock::time_point deadline);
    Result queryByBroadcast(const NetbiosName& name, const std::vector<std::uint32_t>& targets,
                            const AddressCheck& acceptable, Clock::time_point deadline);

    NameResolverOptions m_options;
    std::mt19937 m_random;
};
