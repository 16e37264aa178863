#include "platform/messenger/NameResolver.h"

#include "platform/messenger/UdpSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace {

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

NameResolver::Result
NameResolver::resolve(const NetbiosName& name, const std::string& hostName,
                      const std::optional<std::vector<std::uint32_t>>& broadcastTargets,
                      const AddressCheck& acceptable, Clock::time_point deadline)
{
    if (!broadcastTargets)
        return {Outcome::NoInterface, 0};
    // H-node: the servers first. Whatever they say short of an address, the segment may
    // still hold the name: a "no such name" sends us there at once, silence after the tries.
    bool refused = false;
    if (!m_options.nameServers.empty()) {
        const Result served = queryServers(name, acceptable, deadline);
        if (served.outcome == Outcome::Found)
            return served;
        refused = served.outcome == Outcome::Refused;
    }
    // A point-to-point link, or an address set up without a broadcast address, cannot
    // broadcast, but the hosts file and DNS may still know the name.
    if (!broadcastTargets->empty()) {
        const Result answered = queryByBroadcast(name, *broadcastTargets, acceptable, deadline);
        if (answered.outcome != Outcome::NotFound && answered.outcome != Outcome::Refused)
            return answered;
        refused = refused || answered.outcome == Outcome::Refused;
    }

    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
        return {Outcome::TimedOut, 0};
    const auto& lookup = m_options.hostLookup ? *m_options.hostLookup : HostLookup(systemLookup);
    if (const auto address = lookup(hostName, std::min(m_options.hostLookupTimeout, left))) {
        if (acceptable(*address))
            return {Outcome::Found, *address};
        refused = true;
    }
    if (refused)
        return {Outcome::Refused, 0};
    return {Clock::now() >= deadline ? Outcome::TimedOut : Outcome::NotFound, 0};
}

NameResolver::Result NameResolver::queryServers(const NetbiosName& name,
                                                const AddressCheck& acceptable,
                                                Clock::time_point deadline)
{
    std::array<std::uint8_t, kMaxDatagram> buffer;
    for (const std::uint32_t server : m_options.nameServers) {
        UdpSocket socket;
        // Connected: only the server's answers arrive, and a closed port shows at once.
        if (!socket.open(false) || !socket.connectTo(server, m_options.port))
            continue;
        const auto transactionId = static_cast<std::uint16_t>(m_random());
        // RD set: a WINS server looks a name up only when asked to recurse.
        const auto query = NameServicePacket::encodeNameQuery(transactionId, name, false);
        bool serverDead = false;
        for (int attempt = 0; attempt < m_options.serverTries && !serverDead; ++attempt) {
            if (Clock::now() >= deadline)
                return {Outcome::TimedOut, 0};
            socket.send(query);
            const auto tryDeadline = std::min(deadline, Clock::now() + m_options.serverTryInterval);
            while (Clock::now() < tryDeadline) {
                const auto received = socket.receive(buffer, tryDeadline);
                if (received.status == UdpSocket::Status::Refused) {
                    serverDead = true;
                    break;
                }
                if (received.status != UdpSocket::Status::Received)
                    break;
                const std::span packet(buffer.data(), received.size);
                if (const auto negative =
                        NameServicePacket::decodeNegativeNameQueryResponse(packet);
                    negative && negative->transactionId == transactionId && negative->name == name)
                    return {Outcome::NotFound, 0};
                const auto response = NameServicePacket::decodeNameQueryResponse(packet);
                if (!response || response->transactionId != transactionId || response->name != name)
                    continue;
                // A group's 0.0.0.0 or 255.255.255.255 is the policy's to refuse.
                for (const auto& entry : response->addresses) {
                    if (acceptable(entry.address))
                        return {Outcome::Found, entry.address};
                }
                return {Outcome::Refused, 0};
            }
        }
    }
    return {Outcome::TimedOut, 0};
}

NameResolver::Result NameResolver::queryByBroadcast(const NetbiosName& name,
                                                    const std::vector<std::uint32_t>& targets,
                                                    const AddressCheck& acceptable,
                                                    Clock::time_point deadline)
{
    UdpSocket socket;
    if (!socket.open(true))
        return {Outcome::NotFound, 0};
    const auto transactionId = static_cast<std::uint16_t>(m_random());
    const auto query = NameServicePacket::encodeNameQuery(transactionId, name, true);
    std::array<std::uint8_t, kMaxDatagram> buffer;
    bool refused = false;

    for (int attempt = 0; attempt < m_options.tries; ++attempt) {
        if (Clock::now() >= deadline)
            return {Outcome::TimedOut, 0};
        for (const std::uint32_t target : targets)
            socket.sendTo(query, target, m_options.port);
        // A steady stream of junk must not hold a try open past its deadline.
        const auto tryDeadline = std::min(deadline, Clock::now() + m_options.tryInterval);
        while (Clock::now() < tryDeadline) {
            const auto received = socket.receive(buffer, tryDeadline);
            if (received.status != UdpSocket::Status::Received)
                break;
            // Our own broadcast comes back as a request and fails to decode as a response.
            const auto response =
                NameServicePacket::decodeNameQueryResponse(std::span(buffer.data(), received.size));
            if (!response || response->transactionId != transactionId || response->name != name)
                continue;
            for (const auto& entry : response->addresses) {
                if (acceptable(entry.address))
                    return {Outcome::Found, entry.address};
                refused = true;
            }
        }
    }
    return {refused ? Outcome::Refused : Outcome::NotFound, 0};
}

// A message to an address is the machine's, not one of its users': the messenger name of the
// node's workstation name (its first unique <00>) when it lists one, else the first messenger
// name it lists. A name being released or held in conflict still shows as active; calling it
// reaches nobody or the wrong node.
std::optional<NetbiosName>
NameResolver::nameToCall(const std::vector<NameServicePacket::NodeStatusEntry>& names)
{
    const auto usable = [](const NameServicePacket::NodeStatusEntry& entry) {
        return !entry.isGroup() && entry.isActive() && !entry.isDeregistering() &&
               !entry.isInConflict();
    };
    const auto workstation = std::find_if(names.begin(), names.end(), [&](const auto& entry) {
        return entry.name.suffix() == NetbiosName::kWorkstationSuffix && usable(entry);
    });
    if (workstation != names.end()) {
        for (const auto& entry : names) {
            if (entry.name.suffix() == NetbiosName::kMessengerSuffix && usable(entry) &&
                entry.name.trimmedName() == workstation->name.trimmedName())
                return entry.name;
        }
    }
    for (const auto& entry : names) {
        if (entry.name.suffix() == NetbiosName::kMessengerSuffix && usable(entry))
            return entry.name;
    }
    return std::nullopt;
}

std::optional<NetbiosName> NameResolver::messengerNameOf(std::uint32_t address,
                                                         Clock::time_point deadline)
{
    UdpSocket socket;
    if (!socket.open(false) || !socket.connectTo(address, m_options.port))
        return std::nullopt;
    const auto transactionId = static_cast<std::uint16_t>(m_random());
    const auto request = NameServicePacket::encodeNodeStatusRequest(transactionId);
    std::array<std::uint8_t, kMaxDatagram> buffer;

    for (int attempt = 0; attempt < m_options.tries && Clock::now() < deadline; ++attempt) {
        socket.send(request);
        const auto tryDeadline = std::min(deadline, Clock::now() + m_options.tryInterval);
        while (Clock::now() < tryDeadline) {
            const auto received = socket.receive(buffer, tryDeadline);
            // A refused port (ICMP) means nobody will answer: no point in trying again.
            if (received.status == UdpSocket::Status::Refused)
                return std::nullopt;
            if (received.status != UdpSocket::Status::Received)
                break;
            const auto response = NameServicePacket::decodeNodeStatusResponse(
                std::span(buffer.data(), received.size));
            if (!response || response->transactionId != transactionId)
                continue;
            return nameToCall(response->names);
        }
    }
    return std::nullopt;
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
