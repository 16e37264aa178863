#include "service/names/NameHolder.h"

#include "protocol/NameServerPacket.h"

#include <algorithm>
#include <cstdio>
#include <type_traits>
#include <utility>
#include <variant>

namespace P = NameServerPacket;

namespace {

std::string dotted(std::uint32_t address)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
                  (address >> 8) & 0xFF, address & 0xFF);
    return text;
}

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

std::string seconds(std::chrono::milliseconds delay)
{
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(delay).count()) + " s";
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
    const auto found = std::find_if(m_interfaces.begin(), m_interfaces.end(),
                                    [&](const Interface& i) { return i.index == index; });
    return found == m_interfaces.end() ? nullptr : &*found;
}

void NameHolder::setInterfaces(const std::vector<Interface>& interfaces, Clock::time_point now)
{
    std::vector<Interface> usable;
    for (const Interface& interface : interfaces) {
        if (interface.loopback || interface.broadcast != 0)
            usable.push_back(interface);
    }

    for (auto& [bytes, held] : m_names) {
        const NetbiosName name(bytes);
        std::erase_if(held.entries, [&](const auto& entry) {
            return std::none_of(usable.begin(), usable.end(),
                                [&](const Interface& i) { return i.index == entry.first; });
        });
        for (const Interface& interface : usable) {
            const Interface* before = findInterface(interface.index);
            if (!interface.loopback && (before == nullptr || !(*before == interface)))
                startRegistration(name, held, interface, now);
        }
    }
    m_interfaces = std::move(usable);
    for (auto& [bytes, held] : m_names)
        updateStatus(NetbiosName(bytes), held);
}

void NameHolder::addName(const NetbiosName& name, Clock::time_point now)
{
    if (m_names.contains(name.bytes()))
        return;
    Name& held = m_names[name.bytes()];
    held.added = m_added++;
    for (const Interface& interface : m_interfaces) {
        if (!interface.loopback)
            startRegistration(name, held, interface, now);
    }
    held.reported = computeStatus(held);
    m_changes.push_back({name, held.reported});
}

void NameHolder::removeName(const NetbiosName& name)
{
    const auto found = m_names.find(name.bytes());
    if (found == m_names.end())
        return;
    for (const auto& [index, entry] : found->second.entries) {
        const Interface* interface = findInterface(index);
        if (interface != nullptr && entry.state == State::Held)
            sendRelease(name, *interface);
    }
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
    queue({interface.index, interface.address, interface.broadcast, m_settings.namePort,
           P::encodeRegistrationRequest(entry.transactionId, name, interface.address)});
}

void NameHolder::sendRelease(const NetbiosName& name, const Interface& interface)
{
    queue({interface.index, interface.address, interface.broadcast, m_settings.namePort,
           P::encodeReleaseRequest(m_nextTransactionId++, name, interface.address)});
    m_log.info("names: released " + describe(name, interface));
}

void NameHolder::retryConflict(const NetbiosName& name, Name& held, Clock::time_point now)
{
    held.retryAt.reset();
    m_log.notice("names: claiming " + nameText(name) + " again after a conflict");
    for (const Interface& interface : m_interfaces) {
        if (!interface.loopback)
            startRegistration(name, held, interface, now);
    }
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
                queue(
                    {index, interface->address, interface->broadcast, m_settings.namePort,
                     P::encodeRegistrationRequest(entry.transactionId, name, interface->address)});
            } else {
                entry.state = State::Held;
                m_log.info("names: registered " + describe(name, *interface));
            }
        }
        updateStatus(name, held);
    }
}

std::optional<NameHolder::Clock::time_point> NameHolder::nextDeadline() const
{
    std::optional<Clock::time_point> next;
    for (const auto& [bytes, held] : m_names) {
        for (const auto& [index, entry] : held.entries) {
            if (entry.state == State::Pending && (!next || entry.nextAt < *next))
                next = entry.nextAt;
        }
        if (held.retryAt && (!next || *held.retryAt < *next))
            next = held.retryAt;
    }
    return next;
}

NameHolder::Status NameHolder::computeStatus(const Name& held) const
{
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
            const auto oldest = std::min_element(
                m_sources.begin(), m_sources.end(),
                [](const auto& a, const auto& b) { return a.second.seen < b.second.seen; });
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
    if (!m_rateLoggedAt || now - *m_rateLoggedAt >= std::chrono::minutes(1)) {
        m_rateLoggedAt = now;
        m_log.warning("names: answer rate limit reached; " + std::to_string(m_rateLimited) +
                      " answers dropped so far");
    }
    return false;
}

void NameHolder::receive(std::span<const std::uint8_t> bytes, std::uint32_t sourceAddress,
                         std::uint16_t sourcePort, int interfaceIndex, Clock::time_point now)
{
    const auto incoming = P::decode(bytes);
    if (!incoming)
        return;
    const Interface* interface = findInterface(interfaceIndex);
    if (interface == nullptr)
        return;
    // Our own broadcasts come back to us.
    const bool ours =
        sourcePort == m_settings.namePort &&
        std::any_of(m_interfaces.begin(), m_interfaces.end(),
                    [&](const Interface& i) { return !i.loopback && i.address == sourceAddress; });
    if (ours)
        return;

    const auto answer = [&](std::vector<std::uint8_t> packet) {
        if (takeAnswerToken(Answer::Query, sourceAddress, now))
            queue({interface->index, interface->address, sourceAddress, sourcePort,
                   std::move(packet)});
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
                std::vector<std::pair<std::uint64_t, NetbiosName>> listed;
                bool asked = packet.name == NetbiosName::wildcard();
                for (const auto& [bytes, held] : m_names) {
                    if (!answersOn(held, *interface))
                        continue;
                    listed.emplace_back(held.added, NetbiosName(bytes));
                    asked = asked || packet.name.bytes() == bytes;
                }
                std::sort(listed.begin(), listed.end(),
                          [](const auto& a, const auto& b) { return a.first < b.first; });
                std::vector<P::NodeStatusName> table;
                for (const auto& entry : listed)
                    table.push_back({entry.second});
                if (asked && !table.empty())
                    answer(P::encodeNodeStatusResponse(packet.transactionId, packet.name, table));
            } else if constexpr (std::is_same_v<T, P::Registration>) {
                const auto found = m_names.find(packet.name.bytes());
                if (found == m_names.end() || !answersOn(found->second, *interface) ||
                    !takeAnswerToken(Answer::Defence, sourceAddress, now))
                    return;
                m_log.notice("names: defended " + describe(packet.name, *interface) + " against " +
                             dotted(packet.address));
                queue({interface->index, interface->address, sourceAddress, sourcePort,
                       P::encodeNegativeRegistrationResponse(packet.transactionId, packet.name,
                                                             packet.nbFlags, packet.address)});
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
                held.retryDelay = held.retryDelay.count() == 0
                                      ? m_settings.conflictRetry
                                      : std::min(2 * held.retryDelay, m_settings.conflictRetryMax);
                held.retryAt = now + held.retryDelay;
                m_log.warning("names: " + describe(packet.name, *interface) + " is held by " +
                              dotted(sourceAddress) + ", not claimed; trying again in " +
                              seconds(held.retryDelay));
                for (const auto& [index, other] : held.entries) {
                    const Interface* where = findInterface(index);
                    if (other.state == State::Held && where != nullptr)
                        sendRelease(packet.name, *where);
                }
                updateStatus(packet.name, held);
            }
            // A release of a name by another node is nothing to act on: we never cache.
        },
        *incoming);
}

void NameHolder::queue(Datagram datagram)
{
    if (m_outgoing.size() >= m_settings.maxQueuedDatagrams)
        return;
    m_outgoing.push_back(std::move(datagram));
}

std::vector<NameHolder::Datagram> NameHolder::takeOutgoing()
{
    return std::exchange(m_outgoing, {});
}

std::vector<NameHolder::Change> NameHolder::takeChanges()
{
    return std::exchange(m_changes, {});
}

std::optional<NameHolder::State> NameHolder::state(const NetbiosName& name,
                                                   int interfaceIndex) const
{
    const auto found = m_names.find(name.bytes());
    if (found == m_names.end())
        return std::nullopt;
    const auto entry = found->second.entries.find(interfaceIndex);
    if (entry == found->second.entries.end())
        return std::nullopt;
    return entry->second.state;
}

std::optional<NameHolder::Status> NameHolder::status(const NetbiosName& name) const
{
    const auto found = m_names.find(name.bytes());
    if (found == m_names.end())
        return std::nullopt;
    return computeStatus(found->second);
}

std::string NameHolder::describe(const NetbiosName& name, const Interface& interface) const
{
    return nameText(name) + " on " + interface.name + " (" + dotted(interface.address) + ")";
}
