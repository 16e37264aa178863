#include "platform/network/LinuxNetworkAdapters.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <memory>
#include <string_view>

namespace {

struct FreeIfAddrs
{
    void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

} // namespace

template <typename Visit> bool LinuxNetworkAdapters::walk(Visit visit)
{
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0)
        return false;
    const std::unique_ptr<ifaddrs, FreeIfAddrs> list(raw);
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next)
        visit(*entry);
    return true;
}

std::optional<std::vector<AdapterRecord>> LinuxNetworkAdapters::GetAdaptersInfo()
{
    std::vector<AdapterRecord> adapters;
    const bool listed = walk([&](const ifaddrs& entry) {
        if (entry.ifa_name == nullptr || (entry.ifa_flags & IFF_LOOPBACK) != 0)
            return;
        const std::string_view name(entry.ifa_name);
        auto found = std::find_if(adapters.begin(), adapters.end(),
                                  [&](const AdapterRecord& a) { return a.name == name; });
        if (found == adapters.end())
            found = adapters.insert(adapters.end(), AdapterRecord{std::string(name), {}, {}});
        if (entry.ifa_addr == nullptr || entry.ifa_addr->sa_family != AF_INET)
            return;

        AddressField field{};
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry.ifa_addr);
        if (inet_ntop(AF_INET, &address->sin_addr, field.data(), field.size()) == nullptr)
            return;
        // inet_ntop never writes an empty address: an empty field is one not filled yet.
        if (found->ipAddress[0] == '\0')
            found->ipAddress = field;
        else
            found->moreAddresses.push_back(field);
    });
    if (!listed)
        return std::nullopt;
    return adapters;
}

std::optional<std::vector<std::uint32_t>> LinuxNetworkAdapters::GetBroadcastAddresses()
{
    bool anyUp = false;
    std::vector<std::uint32_t> targets;
    const bool listed = walk([&](const ifaddrs& entry) {
        const unsigned flags = entry.ifa_flags;
        if (entry.ifa_addr == nullptr || entry.ifa_addr->sa_family != AF_INET ||
            (flags & IFF_UP) == 0 || (flags & IFF_LOOPBACK) != 0)
            return;
        anyUp = true;
        // On a point-to-point link the same field holds the peer's address.
        if ((flags & IFF_BROADCAST) == 0 || entry.ifa_broadaddr == nullptr)
            return;
        const auto* broadcast = reinterpret_cast<const sockaddr_in*>(entry.ifa_broadaddr);
        const std::uint32_t address = ntohl(broadcast->sin_addr.s_addr);
        if (address != 0 && std::find(targets.begin(), targets.end(), address) == targets.end())
            targets.push_back(address);
    });
    if (!listed || !anyUp)
        return std::nullopt;
    return targets;
}

std::optional<std::vector<Ipv4Interface>> LinuxNetworkAdapters::GetIpv4Interfaces()
{
    std::vector<Ipv4Interface> interfaces;
    const bool listed = walk([&](const ifaddrs& entry) {
        const unsigned flags = entry.ifa_flags;
        if (entry.ifa_name == nullptr || entry.ifa_addr == nullptr ||
            entry.ifa_addr->sa_family != AF_INET || (flags & IFF_UP) == 0)
            return;
        const int index = static_cast<int>(if_nametoindex(entry.ifa_name));
        // The first address of an interface stands for it; a secondary one on the same
        // subnet would answer for the same broadcast domain.
        if (index == 0 || std::any_of(interfaces.begin(), interfaces.end(),
                                      [&](const Ipv4Interface& i) { return i.index == index; }))
            return;
        Ipv4Interface interface;
        interface.index = index;
        interface.name = entry.ifa_name;
        interface.address =
            ntohl(reinterpret_cast<const sockaddr_in*>(entry.ifa_addr)->sin_addr.s_addr);
        interface.loopback = (flags & IFF_LOOPBACK) != 0;
        // On a point-to-point link the same field holds the peer's address.
        if ((flags & IFF_BROADCAST) != 0 && entry.ifa_broadaddr != nullptr)
            interface.broadcast =
                ntohl(reinterpret_cast<const sockaddr_in*>(entry.ifa_broadaddr)->sin_addr.s_addr);
        interfaces.push_back(interface);
    });
    if (!listed)
        return std::nullopt;
    std::sort(interfaces.begin(), interfaces.end(),
              [](const Ipv4Interface& a, const Ipv4Interface& b) { return a.index < b.index; });
    return interfaces;
}
