#include "service/names/NameHolder.h"

#include "protocol/NameServerPacket.h"
#include "protocol/NetworkConfig.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <type_traits>
#include <utility>
#include <variant>

namespace P = NameServerPacket;
using namespace std::chrono_literals;

namespace {

std::string nameText(const NetbiosName& name)
{
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "<%02x>", name.suffix());
    std::string text;
    // Names come from the LAN: keep the log line printable.
    for (const char c : name.trimmedName())
        text.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    return text + suffix;
}

// Whether address is another node on interface's subnet, as far as its address and broadcast
// address tell: the host part is at most the bits in which the two differ.
bool onSubnet(const NameHolder::Interface& interface, std::uint32_t address)
{
    std::uint32_t host = interface.address ^ interface.broadcast;
    if (interface.broadcast == 0 || host == 0)
        return false;
    for (int shift = 1; shift < 32; shift *= 2)
        host |= host >> shift;
    return (address & ~host) == (interface.address & ~host) && address != interface.address;
}

std::string describe(const NetbiosName& name, const NameHolder::Interface& interface)
{
    return nameText(name) + " on " + interface.name + " (" +
           NetworkConfigParser::dotted(interface.address) + ")";
}

} // namespace

NameHolder::NameHolder(Settings settings, std::uint16_t firstTransactionId, Log log)
    : m_settings(settings), m_nextTransactionId(firstTransactionId),
      m_log(std::move(log)), m_total{double(settings.answersPerSecond), {}},
      m_shared{double(settings.sharedAnswersPerSecond), {}}
{}

void NameHolder::Bucket::refill(double rate, Clock::time_point now)
{
    const double elapsed = std::chrono::duration<double>(now - at).count();
    if (elapsed > 0)
        tokens = std::min(rate, tokens + elapsed * rate);
    at = std::max(at, now);
}

const NameHolder::Interface* NameHolder::findInterface(int index) const
{
    const auto found = std::ranges::find(m_interfaces, index, &Interface::index);
    return found == m_interfaces.end() ? nullptr : &*found;
}

void NameHolder::setInterfaces(const std::vector<Interface>& interfaces, Clock::time_point now)
{
    std::vector<Interface> usable;
    std::ranges::copy_if(interfaces, std::back_inserter(usable),
                         [](const Interface& i) { return i.loopback || i.broadcast != 0; });

    for (auto& [bytes, held] : m_names) {
        const NetbiosName name(bytes);
        std::erase_if(held.entries, [&](const auto& entry) {
            return std::ranges::find(usable, entry.first, &Interface::index) == usable.end();
        });
        for (const Interface& interface : usable) {
            const Interface* before = findInterface(interface.index);
            if (!interface.loopback && (before == nullptr || !(*before == interface)))
                startRegistration(name, held, interface, now);
        }
    }
    m_interfaces = std::move(usable);
    const Interface* registered = winsInterface();
    for (auto& [bytes, held] : m_names) {
        const NetbiosName name(bytes);
        // The server knows the name at one address: a new one is registered again.
        if (!held.wins || registered == nullptr || held.wins->address != registered->address) {
            releaseWins(name, held);
            startWins(name, held, now);
        }
        updateStatus(name, held);
    }
}

void NameHolder::addName(const NetbiosName& name, Clock::time_point now)
{
    if (m_names.contains(name.bytes()))
        return;
    Name& held = m_names[name.bytes()];
    held.added = m_added++;
    registerEverywhere(name, held, now);
    startWins(name, held, now);
    held.reported = computeStatus(held);
    m_changes.push_back({name, held.reported});
}

void NameHolder::removeName(const NetbiosName& name)
{
    const auto found = m_names.find(name.bytes());
    if (found == m_names.end())
        return;
    releaseHeld(name, found->second);
    m_names.erase(found);
}

void NameHolder::shutdown()
{
    while (!m_names.empty())
        removeName(NetbiosName(m_names.begin()->first));
}

void NameHolder::startRegistration(const NetbiosName& name, Name& held, const Interface& interface,
                                   Clock::time_point now)
{
    Entry& entry = held.entries[interface.index];
    entry = Entry{State::Pending, m_nextTransactionId++, 1, now + m_settings.retryInterval};
    queue(interface, interface.broadcast, m_settings.namePort,
          P::encodeRegistrationRequest(entry.transactionId, name, interface.address));
}

void NameHolder::registerEverywhere(const NetbiosName& name, Name& held, Clock::time_point now)
{
    for (const Interface& interface : m_interfaces) {
        if (!interface.loopback)
            startRegistration(name, held, interface, now);
    }
}

void NameHolder::sendRelease(const NetbiosName& name, const Interface& interface)
{
    queue(interface, interface.broadcast, m_settings.namePort,
          P::encodeReleaseRequest(m_nextTransactionId++, name, interface.address));
    m_log.info("names: released " + describe(name, interface));
}

void NameHolder::releaseHeld(const NetbiosName& name, const Name& held)
{
    for (const auto& [index, entry] : held.entries) {
        const Interface* interface = findInterface(index);
        if (interface != nullptr && entry.state == State::Held)
            sendRelease(name, *interface);
    }
    releaseWins(name, held);
}

void NameHolder::retryConflict(const NetbiosName& name, Name& held, Clock::time_point now)
{
    held.retryAt.reset();
    m_log.notice("names: claiming " + nameText(name) + " again after a conflict");
    registerEverywhere(name, held, now);
    if (held.wins)
        startWins(name, held, now);
}

void NameHolder::tick(Clock::time_point now)
{
    for (auto& [bytes, held] : m_names) {
        const NetbiosName name(bytes);
        if (held.retryAt && now >= *held.retryAt)
            retryConflict(name, held, now);
        for (auto& [index, entry] : held.entries) {
            const Interface* interface = findInterface(index);
            if (entry.state != State::Pending || now < entry.nextAt || interface == nullptr)
                continue;
            if (entry.sent < m_settings.registrationSends) {
                ++entry.sent;
                entry.nextAt =
                    now + (entry.sent < m_settings.registrationSends ? m_settings.retryInterval
                                                                     : m_settings.defenceWindow);
                queue(*interface, interface->broadcast, m_settings.namePort,
                      P::encodeRegistrationRequest(entry.transactionId, name, interface->address));
            } else {
                entry.state = State::Held;
                m_log.info("names: registered " + describe(name, *interface));
            }
        }
        tickWins(name, held, now);
        updateStatus(name, held);
    }
}

std::optional<NameHolder::Clock::time_point> NameHolder::nextDeadline() const
{
    std::optional<Clock::time_point> next;
    const auto consider = [&](std::optional<Clock::time_point> at) {
        if (at && (!next || *at < *next))
            next = at;
    };
    for (const auto& [bytes, held] : m_names) {
        for (const auto& [index, entry] : held.entries) {
            if (entry.state == State::Pending)
                consider(entry.nextAt);
        }
        consider(held.retryAt);
        if (held.wins && held.wins->phase != Wins::Phase::Refused)
            consider(held.wins->nextAt);
    }
    return next;
}

NameHolder::Status NameHolder::computeStatus(const Name& held) const
{
    // The server's refusal is as final as a defence on the segment.
    if (held.wins && held.wins->phase == Wins::Phase::Refused)
        return Status::Conflict;
    Status status = Status::Held;
    for (const auto& [index, entry] : held.entries) {
        if (entry.state == State::Conflict)
            return Status::Conflict;
        if (entry.state == State::Pending)
            status = Status::Pending;
    }
    return status;
}

void NameHolder::updateStatus(const NetbiosName& name, Name& held)
{
    const Status now = computeStatus(held);
    if (now != Status::Conflict)
        held.retryAt.reset();
    if (now == Status::Held)
        held.retryDelay = {};
    if (now != held.reported) {
        held.reported = now;
        m_changes.push_back({name, now});
    }
}

// A name in conflict anywhere is answered nowhere: sessions to it are refused, so no sender
// should be sent here. Loopback answers once the name is held on every interface.
bool NameHolder::answersOn(const Name& held, const Interface& interface) const
{
    const Status status = computeStatus(held);
    if (status == Status::Conflict)
        return false;
    if (interface.loopback)
        return status == Status::Held;
    const auto entry = held.entries.find(interface.index);
    return entry != held.entries.end() && entry->second.state == State::Held;
}

NameHolder::Bucket& NameHolder::sourceBucket(std::uint32_t source, Clock::time_point now)
{
    auto found = m_sources.find(source);
    if (found == m_sources.end()) {
        if (m_sources.size() >= m_settings.maxSources) {
            const auto oldest = std::ranges::min_element(
                m_sources, {}, [](const auto& entry) { return entry.second.seen; });
            // A full table of recent askers is not churned by newcomers: they share the pool.
            if (oldest == m_sources.end() || now - oldest->second.seen < m_settings.sourceKeep)
                return m_shared;
            m_sources.erase(oldest);
        }
        found = m_sources.emplace(source, Source{{double(m_settings.answersPerSource), now}, now})
                    .first;
    }
    found->second.seen = now;
    return found->second.bucket;
}

bool NameHolder::takeAnswerToken(Answer kind, std::uint32_t source, Clock::time_point now)
{
    m_total.refill(m_settings.answersPerSecond, now);
    m_shared.refill(m_settings.sharedAnswersPerSecond, now);
    Bucket& bucket = sourceBucket(source, now);
    if (&bucket != &m_shared)
        bucket.refill(m_settings.answersPerSource, now);
    const double floor = kind == Answer::Defence ? 1 : 1 + m_settings.defenceReserve;
    if (m_total.tokens >= floor && bucket.tokens >= 1) {
        m_total.tokens -= 1;
        bucket.tokens -= 1;
        return true;
    }
    // One line a minute at most, however long the flood lasts.
    ++m_rateLimited;
    if (!m_rateLoggedAt || now - *m_rateLoggedAt >= 1min) {
        m_rateLoggedAt = now;
        m_log.warning("names: answer rate limit reached; " + std::to_string(m_rateLimited) +
                      " answers dropped so far");
    }
    return false;
}

void NameHolder::receive(std::span<const std::uint8_t> bytes, std::uint32_t sourceAddress,
                         std::uint16_t sourcePort, int interfaceIndex, Clock::time_point now)
{
    if (receiveWins(bytes, sourceAddress, sourcePort, now))
        return;
    const auto incoming = P::decode(bytes);
    if (!incoming)
        return;
    const Interface* interface = findInterface(interfaceIndex);
    if (interface == nullptr)
        return;
    // Our own broadcasts come back to us.
    const bool ours = sourcePort == m_settings.namePort &&
                      std::ranges::any_of(m_interfaces, [&](const Interface& i) {
                          return !i.loopback && i.address == sourceAddress;
                      });
    if (ours)
        return;

    const auto answer = [&](std::vector<std::uint8_t> packet) {
        if (takeAnswerToken(Answer::Query, sourceAddress, now))
            queue(*interface, sourceAddress, sourcePort, std::move(packet));
    };

    std::visit(
        [&](const auto& packet) {
            using T = std::decay_t<decltype(packet)>;
            if constexpr (std::is_same_v<T, P::NameQuery>) {
                const auto found = m_names.find(packet.name.bytes());
                if (found != m_names.end() && answersOn(found->second, *interface))
                    answer(P::encodePositiveQueryResponse(packet.transactionId, packet.name,
                                                          interface->address,
                                                          m_settings.answerTtl));
            } else if constexpr (std::is_same_v<T, P::NodeStatusRequest>) {
                std::map<std::uint64_t, NetbiosName> listed;
                bool asked = packet.name == NetbiosName::wildcard();
                for (const auto& [bytes, held] : m_names) {
                    if (!answersOn(held, *interface))
                        continue;
                    listed.emplace(held.added, NetbiosName(bytes));
                    asked = asked || packet.name.bytes() == bytes;
                }
                std::vector<P::NodeStatusName> table;
                for (const auto& [added, name] : listed)
                    table.push_back({name});
                if (asked && !table.empty())
                    answer(P::encodeNodeStatusResponse(packet.transactionId, packet.name, table));
            } else if constexpr (std::is_same_v<T, P::Registration>) {
                const auto found = m_names.find(packet.name.bytes());
                if (found == m_names.end() || !answersOn(found->second, *interface) ||
                    !takeAnswerToken(Answer::Defence, sourceAddress, now))
                    return;
                m_log.notice("names: defended " + describe(packet.name, *interface) + " against " +
                             NetworkConfigParser::dotted(packet.address));
                queue(*interface, sourceAddress, sourcePort,
                      P::encodeNegativeRegistrationResponse(packet.transactionId, packet.name,
                                                            packet.nbFlags, packet.address));
            } else if constexpr (std::is_same_v<T, P::NegativeRegistration>) {
                const auto found = m_names.find(packet.name.bytes());
                if (found == m_names.end())
                    return;
                Name& held = found->second;
                const auto entry = held.entries.find(interface->index);
                // Only an answer to the claim in progress, by transaction id, from a node on the
                // subnet the claim was broadcast to: anything else could be anyone's forgery.
                if (entry == held.entries.end() || entry->second.state != State::Pending ||
                    entry->second.transactionId != packet.transactionId ||
                    !onSubnet(*interface, sourceAddress))
                    return;
                entry->second.state = State::Conflict;
                enterConflict(packet.name, held, now);
                m_log.warning("names: " + describe(packet.name, *interface) + " is held by " +
                              NetworkConfigParser::dotted(sourceAddress) +
                              ", not claimed; trying again in " +
                              std::to_string(held.retryDelay.count() / 1000) + " s");
            }
            // A release of a name by another node is nothing to act on: we never cache.
        },
        *incoming);
}

// Lost to another node, on a segment or at the server: what was held is released, and the
// name is claimed again later, each time later still.
void NameHolder::enterConflict(const NetbiosName& name, Name& held, Clock::time_point now)
{
    held.retryDelay = held.retryDelay.count() == 0
                          ? m_settings.conflictRetry
                          : std::min(2 * held.retryDelay, m_settings.conflictRetryMax);
    held.retryAt = now + held.retryDelay;
    releaseHeld(name, held);
    updateStatus(name, held);
}

// The server sees one address per name: the first interface's, as Samba's client registers.
const NameHolder::Interface* NameHolder::winsInterface() const
{
    const auto found = std::ranges::find(m_interfaces, false, &Interface::loopback);
    return found == m_interfaces.end() ? nullptr : &*found;
}

void NameHolder::startWins(const NetbiosName& name, Name& held, Clock::time_point now)
{
    const Interface* interface = winsInterface();
    if (m_settings.winsServers.empty() || interface == nullptr) {
        held.wins.reset();
        return;
    }
    held.wins = Wins{Wins::Phase::Registering, 0, interface->address, 0, 0, now};
    sendWins(name, held, now);
}

// One registration or refresh to the current server, under a new transaction id per server.
void NameHolder::sendWins(const NetbiosName& name, Name& held, Clock::time_point now)
{
    Wins& wins = *held.wins;
    const Interface* interface = winsInterface();
    if (interface == nullptr)
        return;
    if (wins.sent == 0)
        wins.transactionId = m_nextTransactionId++;
    ++wins.sent;
    wins.nextAt = now + m_settings.winsRetryInterval;
    const auto request = wins.phase == Wins::Phase::Refreshing ? P::WinsRequest::Refresh
                                                               : P::WinsRequest::Registration;
    queue(
        *interface, m_settings.winsServers[wins.server], m_settings.namePort,
        P::encodeWinsRequest(request, wins.transactionId, name, wins.address, m_settings.winsTtl));
}

void NameHolder::tickWins(const NetbiosName& name, Name& held, Clock::time_point now)
{
    if (!held.wins || now < held.wins->nextAt)
        return;
    Wins& wins = *held.wins;
    switch (wins.phase) {
    case Wins::Phase::Registering:
    case Wins::Phase::Refreshing:
    case Wins::Phase::Waiting:
        if (wins.phase != Wins::Phase::Waiting && wins.sent < m_settings.winsSends) {
            sendWins(name, held, now);
            return;
        }
        // Silence, or a WACK never followed up: the next server.
        wins.sent = 0;
        if (wins.phase == Wins::Phase::Waiting)
            wins.phase = Wins::Phase::Registering;
        if (++wins.server < m_settings.winsServers.size()) {
            sendWins(name, held, now);
            return;
        }
        wins.server = 0;
        wins.phase = Wins::Phase::Unreached;
        wins.nextAt = now + m_settings.winsRefreshInterval.value_or(20min);
        m_log.warning("names: no WINS server answered for " + nameText(name) +
                      "; trying again later");
        return;
    case Wins::Phase::Unreached:
    case Wins::Phase::Registered:
        wins.phase = wins.phase == Wins::Phase::Unreached ? Wins::Phase::Registering
                                                          : Wins::Phase::Refreshing;
        sendWins(name, held, now);
        return;
    case Wins::Phase::Refused:
        return;
    }
}

// Only the answer to the request in progress, by transaction id, from the server it went to.
bool NameHolder::receiveWins(std::span<const std::uint8_t> bytes, std::uint32_t sourceAddress,
                             std::uint16_t sourcePort, Clock::time_point now)
{
    if (m_settings.winsServers.empty() || sourcePort != m_settings.namePort)
        return false;
    const auto answer = P::decodeWinsAnswer(bytes);
    if (!answer)
        return false;
    const auto found = m_names.find(answer->name.bytes());
    if (found == m_names.end() || !found->second.wins)
        return false;
    const NetbiosName name(found->first);
    Name& held = found->second;
    Wins& wins = *held.wins;
    const bool waiting = wins.phase == Wins::Phase::Registering ||
                         wins.phase == Wins::Phase::Refreshing ||
                         wins.phase == Wins::Phase::Waiting;
    if (!waiting || answer->transactionId != wins.transactionId ||
        sourceAddress != m_settings.winsServers[wins.server])
        return false;

    using Kind = P::WinsAnswer::Kind;
    switch (answer->kind) {
    case Kind::Granted: {
        const bool refreshed = wins.phase == Wins::Phase::Refreshing;
        wins.phase = Wins::Phase::Registered;
        wins.sent = 0;
        const auto half = std::chrono::milliseconds(std::uint64_t(answer->ttl) * 500);
        wins.nextAt = now + m_settings.winsRefreshInterval.value_or(
                                std::clamp<std::chrono::milliseconds>(half, 30s, 20min));
        if (!refreshed)
            m_log.info("names: registered " + nameText(name) + " at " +
                       NetworkConfigParser::dotted(wins.address) + " with WINS server " +
                       NetworkConfigParser::dotted(sourceAddress) + " for " +
                       std::to_string(answer->ttl) + " s");
        break;
    }
    case Kind::Wait:
        wins.phase = Wins::Phase::Waiting;
        wins.nextAt = now + std::min(std::chrono::milliseconds(std::uint64_t(answer->ttl) * 1000),
                                     m_settings.winsMaxWait);
        break;
    case Kind::Refused:
        wins.phase = Wins::Phase::Refused;
        m_log.warning("names: WINS server " + NetworkConfigParser::dotted(sourceAddress) +
                      " refused " + nameText(name) + " (rcode " + std::to_string(answer->rcode) +
                      "); trying again later");
        enterConflict(name, held, now);
        break;
    case Kind::Released:
    case Kind::NotReleased:
        return false;
    }
    updateStatus(name, held);
    return true;
}

// Sent once, unanswered: the name is gone here whatever the server says.
void NameHolder::releaseWins(const NetbiosName& name, const Name& held)
{
    if (!held.wins || m_settings.winsServers.empty())
        return;
    const Wins& wins = *held.wins;
    if (wins.phase != Wins::Phase::Registered && wins.phase != Wins::Phase::Refreshing &&
        wins.phase != Wins::Phase::Waiting)
        return;
    const Interface* interface = winsInterface();
    if (interface == nullptr)
        return;
    queue(*interface, m_settings.winsServers[wins.server], m_settings.namePort,
          P::encodeWinsRequest(P::WinsRequest::Release, m_nextTransactionId++, name, wins.address,
                               0));
    m_log.info("names: released " + nameText(name) + " at WINS server " +
               NetworkConfigParser::dotted(m_settings.winsServers[wins.server]));
}

void NameHolder::queue(const Interface& from, std::uint32_t address, std::uint16_t port,
                       std::vector<std::uint8_t> bytes)
{
    if (m_outgoing.size() < m_settings.maxQueuedDatagrams)
        m_outgoing.push_back({from.index, from.address, address, port, std::move(bytes)});
}

std::vector<NameHolder::Datagram> NameHolder::takeOutgoing()
{
    return std::exchange(m_outgoing, {});
}

std::vector<NameHolder::Change> NameHolder::takeChanges()
{
    return std::exchange(m_changes, {});
}

std::optional<NameHolder::Status> NameHolder::status(const NetbiosName& name,
                                                     std::optional<int> interfaceIndex) const
{
    const auto found = m_names.find(name.bytes());
    if (found == m_names.end())
        return std::nullopt;
    if (!interfaceIndex)
        return computeStatus(found->second);
    const auto entry = found->second.entries.find(*interfaceIndex);
    if (entry == found->second.entries.end())
        return std::nullopt;
    return entry->second.state;
}
