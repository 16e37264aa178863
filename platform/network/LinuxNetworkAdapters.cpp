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

std::optional<std::vector<AdapterRecord>> LinuxNetworkAdapters::GetAdaptersInfo()
{
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0)
        return std::nullopt;
    const std::unique_ptr<ifaddrs, FreeIfAddrs> list(raw);

    std::vector<AdapterRecord> adapters;
    std::vector<bool> hasAddress;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr || (entry->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        const std::string_view name(entry->ifa_name);
        auto found = std::find_if(adapters.begin(), adapters.end(),
                                  [&](const AdapterRecord& a) { return a.name == name; });
        if (found == adapters.end()) {
            adapters.push_back(AdapterRecord{std::string(name), {}, {}});
            hasAddress.push_back(false);
            found = adapters.end() - 1;
        }
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
            continue;

        AddressField field{};
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (inet_ntop(AF_INET, &address->sin_addr, field.data(), field.size()) == nullptr)
            continue;
        const auto index = static_cast<std::size_t>(found - adapters.begin());
        if (!hasAddress[index]) {
            found->ipAddress = field;
            hasAddress[index] = true;
        } else {
            found->moreAddresses.push_back(field);
        }
    }
    return adapters;
}
