#include "service/names/Aliases.h"

#include <iterator>

namespace {

Aliases::State fromStatus(NameHolder::Status status)
{
    return status == NameHolder::Status::Held       ? Aliases::State::Held
           : status == NameHolder::Status::Conflict ? Aliases::State::Conflict
                                                    : Aliases::State::Pending;
}

bool registered(const Aliases::Alias& alias)
{
    return alias.state == Aliases::State::Pending || alias.state == Aliases::State::Held ||
           alias.state == Aliases::State::Conflict;
}

} // namespace

Aliases::Aliases(bool serviceOn, std::string computerName, Timing timing)
    : m_serviceOn(serviceOn), m_timing(timing), m_computerName(upperCased(std::move(computerName)))
{}

std::string Aliases::upperCased(std::string login)
{
    // ASCII letters only, so that the byte count never changes.
    for (char& c : login) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return login;
}

NetbiosName Aliases::messengerName(const std::string& name)
{
    return NetbiosName::fromOem(
        std::span(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()),
        NetbiosName::kMessengerSuffix);
}

std::optional<NetbiosName> Aliases::connected(const std::string& user, Clock::time_point now)
{
    User& entry = m_users[user];
    if (entry.clients++ > 0)
        return std::nullopt;
    return wanted(entry, user, now);
}

std::optional<NetbiosName> Aliases::wanted(User& entry, const std::string& user,
                                           Clock::time_point now)
{
    entry.releaseAt.reset();
    if (registered(entry.alias))
        return std::nullopt;
    entry.alias.name = upperCased(user);
    if (entry.alias.name.size() > NetbiosName::kMaxNameBytes || entry.alias.name.empty()) {
        entry.alias.state = State::TooLong;
        return std::nullopt;
    }
    if (!m_serviceOn) {
        entry.alias.state = State::Unavailable;
        return std::nullopt;
    }
    if (entry.alias.name == m_computerName) {
        entry.alias.state = m_computerNameState;
        return std::nullopt;
    }
    entry.alias.state = State::Pending;
    entry.registeredAt = now;
    return messengerName(entry.alias.name);
}

std::optional<Aliases::Clock::time_point> Aliases::disconnected(const std::string& user,
                                                                Clock::time_point now)
{
    const auto found = m_users.find(user);
    if (found == m_users.end() || found->second.clients == 0 || --found->second.clients > 0 ||
        found->second.loggedIn)
        return std::nullopt;
    return unwanted(found, now);
}

std::optional<Aliases::Clock::time_point>
Aliases::unwanted(std::map<std::string, User>::iterator found, Clock::time_point now)
{
    User& entry = found->second;
    if (!registered(entry.alias) || entry.alias.name == m_computerName) {
        m_users.erase(found);
        return std::nullopt;
    }
    entry.releaseAt = std::max(now + m_timing.grace, entry.registeredAt + m_timing.minimumHold);
    return entry.releaseAt;
}

std::vector<NetbiosName> Aliases::setLoggedIn(const std::set<std::string>& users,
                                              Clock::time_point now)
{
    std::vector<std::string> left;
    for (auto& [user, entry] : m_users) {
        if (entry.loggedIn && !users.contains(user)) {
            entry.loggedIn = false;
            if (entry.clients == 0)
                left.push_back(user);
        }
    }
    for (const std::string& user : left)
        unwanted(m_users.find(user), now);
    std::vector<NetbiosName> names;
    for (const std::string& user : users) {
        User& entry = m_users[user];
        if (entry.loggedIn)
            continue;
        entry.loggedIn = true;
        if (entry.clients > 0)
            continue;
        if (const auto name = wanted(entry, user, now))
            names.push_back(*name);
    }
    return names;
}

std::vector<NetbiosName> Aliases::expire(Clock::time_point now)
{
    std::vector<NetbiosName> released;
    std::erase_if(m_users, [&](const auto& item) {
        const User& entry = item.second;
        if (!entry.releaseAt || now < *entry.releaseAt)
            return false;
        released.push_back(messengerName(entry.alias.name));
        return true;
    });
    return released;
}

std::optional<Aliases::Clock::time_point> Aliases::nextDeadline() const
{
    std::optional<Clock::time_point> next;
    for (const auto& [user, entry] : m_users) {
        if (entry.releaseAt && (!next || *entry.releaseAt < *next))
            next = entry.releaseAt;
    }
    return next;
}

Aliases::Switch Aliases::setServiceOn(bool on, Clock::time_point now)
{
    Switch result;
    if (on == m_serviceOn)
        return result;
    m_serviceOn = on;
    m_computerNameState = State::Pending;
    for (const auto& [user, entry] : m_users) {
        if (!on && registered(entry.alias) && entry.alias.name != m_computerName)
            result.names.push_back(messengerName(entry.alias.name));
    }
    // Aliases kept after their users left go with the names.
    std::erase_if(m_users, [](const auto& item) {
        return item.second.clients == 0 && !item.second.loggedIn;
    });
    for (auto& [user, entry] : m_users) {
        const bool tooLong = entry.alias.state == State::TooLong;
        if (tooLong || (on && entry.alias.state != State::Unavailable))
            continue;
        if (!on) {
            entry.alias.state = State::Unavailable;
        } else {
            entry.alias.state = State::Pending;
            if (entry.alias.name != m_computerName) {
                entry.registeredAt = now;
                result.names.push_back(messengerName(entry.alias.name));
            }
        }
        result.users.push_back(user);
    }
    return result;
}

std::optional<Aliases::Alias> Aliases::aliasOf(const std::string& user) const
{
    const auto found = m_users.find(user);
    return found == m_users.end() ? std::nullopt : std::optional(found->second.alias);
}

std::optional<std::string> Aliases::ownerOf(const NetbiosName& name) const
{
    for (const auto& [user, entry] : m_users) {
        if (entry.alias.state != State::TooLong && entry.alias.state != State::Unavailable &&
            messengerName(entry.alias.name) == name)
            return user;
    }
    return std::nullopt;
}

std::vector<std::string> Aliases::statusChanged(const NetbiosName& name, NameHolder::Status status)
{
    const State state = fromStatus(status);
    const bool computer = !m_computerName.empty() && name == messengerName(m_computerName);
    if (computer)
        m_computerNameState = state;
    std::vector<std::string> changed;
    for (auto& [user, entry] : m_users) {
        if (!registered(entry.alias) || messengerName(entry.alias.name) != name ||
            entry.alias.state == state)
            continue;
        entry.alias.state = state;
        changed.push_back(user);
    }
    return changed;
}

const char* Aliases::stateText(State state)
{
    // In the order State lists them.
    static const char* const texts[] = {"pending", "held", "conflict", "too-long", "unavailable"};
    static_assert(std::size(texts) == std::size_t(State::Unavailable) + 1);
    return texts[std::size_t(state)];
}
