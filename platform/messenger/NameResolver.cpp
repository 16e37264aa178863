#include "platform/messenger/NameResolver.h"

#include "platform/messenger/UdpSocket.h"
#include "protocol/NameServicePacket.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxDatagram = 1500;

// getaddrinfo cannot be cancelled, so it runs on a thread of its own that may outlive the
// wait; the state it writes to is shared with it.
struct LookupState
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::optional<std::uint32_t> address;
};

} // namespace

NameResolver::NameResolver(NameResolverOptions options)
    : m_options(std::move(options)), m_random(std::random_device{}())
{}

NameResolver::Result NameResolver::resolve(const NetbiosName& name, const std::string& hostName)
{
    std::vector<std::uint32_t> targets;
    if (m_options.broadcastTargets) {
        if (m_options.broadcastTargets->empty())
            return {Outcome::NoInterface, 0};
        targets = *m_options.broadcastTargets;
    } else {
        auto found = interfaceBroadcastAddresses();
        if (!found)
            return {Outcome::NoInterface, 0};
        targets = std::move(*found);
    }
    // A point-to-point link, or an address set up without a broadcast address, cannot
    // broadcast, but the hosts file and DNS may still know the name.
    if (!targets.empty()) {
        if (const auto address = queryByBroadcast(name, targets))
            return {Outcome::Found, *address};
    }

    const auto& lookup = m_options.hostLookup ? *m_options.hostLookup : HostLookup(systemLookup);
    if (const auto address = lookup(hostName, m_options.hostLookupTimeout))
        return {Outcome::Found, *address};
    return {Outcome::NotFound, 0};
}

std::optional<std::uint32_t>
NameResolver::queryByBroadcast(const NetbiosName& name, const std::vector<std::uint32_t>& targets)
{
    UdpSocket socket;
    if (!socket.open(true))
        return std::nullopt;
    const auto transactionId = static_cast<std::uint16_t>(m_random());
    const auto query = NameServicePacket::encodeNameQuery(transactionId, name, true);
    std::array<std::uint8_t, kMaxDatagram> buffer;

    for (int attempt = 0; attempt < m_options.tries; ++attempt) {
        for (const std::uint32_t target : targets)
            socket.sendTo(query, target, m_options.port);
        // A steady stream of junk must not hold a try open past its deadline.
        const auto deadline = Clock::now() + m_options.tryInterval;
        while (Clock::now() < deadline) {
            const auto received = socket.receive(buffer, deadline);
            if (received.status != UdpSocket::Status::Received)
                break;
            // Our own broadcast comes back as a request and fails to decode as a response.
            const auto response =
                NameServicePacket::decodeNameQueryResponse(std::span(buffer.data(), received.size));
            if (!response || response->transactionId != transactionId || response->name != name)
                continue;
            // 0.0.0.0 would connect to this machine, and the broadcast address nowhere.
            for (const auto& entry : response->addresses) {
                if (entry.address != 0 && entry.address != 0xFFFFFFFF)
                    return entry.address;
            }
        }
    }
    return std::nullopt;
}

std::optional<NetbiosName> NameResolver::messengerNameOf(std::uint32_t address)
{
    UdpSocket socket;
    if (!socket.open(false) || !socket.connectTo(address, m_options.port))
        return std::nullopt;
    const auto transactionId = static_cast<std::uint16_t>(m_random());
    const auto request = NameServicePacket::encodeNodeStatusRequest(transactionId);
    std::array<std::uint8_t, kMaxDatagram> buffer;

    for (int attempt = 0; attempt < m_options.tries; ++attempt) {
        socket.send(request);
        const auto deadline = Clock::now() + m_options.tryInterval;
        while (Clock::now() < deadline) {
            const auto received = socket.receive(buffer, deadline);
            // A refused port (ICMP) means nobody will answer: no point in trying again.
            if (received.status == UdpSocket::Status::Refused)
                return std::nullopt;
            if (received.status != UdpSocket::Status::Received)
                break;
            const auto response = NameServicePacket::decodeNodeStatusResponse(
                std::span(buffer.data(), received.size));
            if (!response || response->transactionId != transactionId)
                continue;
            // A name being released or held in conflict still shows as active; calling it
            // reaches nobody or the wrong node.
            for (const auto& entry : response->names) {
                if (entry.name.suffix() == NetbiosName::kMessengerSuffix && !entry.isGroup() &&
                    entry.isActive() && !entry.isDeregistering() && !entry.isInConflict())
                    return entry.name;
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint32_t>> NameResolver::interfaceBroadcastAddresses()
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return std::nullopt;
    bool anyUp = false;
    std::vector<std::uint32_t> targets;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        const unsigned flags = entry->ifa_flags;
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            (flags & IFF_UP) == 0 || (flags & IFF_LOOPBACK) != 0)
            continue;
        anyUp = true;
        // On a point-to-point link the same field holds the peer's address.
        if ((flags & IFF_BROADCAST) == 0 || entry->ifa_broadaddr == nullptr)
            continue;
        const auto* broadcast = reinterpret_cast<const sockaddr_in*>(entry->ifa_broadaddr);
        const std::uint32_t address = ntohl(broadcast->sin_addr.s_addr);
        if (address != 0 && std::find(targets.begin(), targets.end(), address) == targets.end())
            targets.push_back(address);
    }
    ::freeifaddrs(list);
    if (!anyUp)
        return std::nullopt;
    return targets;
}

std::optional<std::uint32_t> NameResolver::systemLookup(const std::string& hostName,
                                                        std::chrono::milliseconds timeout)
{
    auto state = std::make_shared<LookupState>();
    std::thread([state, hostName] {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        std::optional<std::uint32_t> address;
        if (::getaddrinfo(hostName.c_str(), nullptr, &hints, &found) == 0 && found != nullptr) {
            address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
            ::freeaddrinfo(found);
        }
        const std::lock_guard lock(state->mutex);
        state->address = address;
        state->finished = true;
        state->done.notify_all();
    }).detach();

    std::unique_lock lock(state->mutex);
    state->done.wait_for(lock, timeout, [&] { return state->finished; });
    return state->address;
}
