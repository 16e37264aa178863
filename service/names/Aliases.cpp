#include "service/names/Aliases.h"

namespace {

Aliases::State fromStatus(NameHolder::Status status)
{
    switch (status) {
    case NameHolder::Status::Held:
        return Aliases::State::Held;
    case NameHolder::Status::Conflict:
        return Aliases::State::Conflict;
    case NameHolder::Status::Pending:
        break;
    }
    return Aliases::State::Pending;
}

} // namespace

Aliases::Aliases(bool serviceOn, std::string computerName)
    : m_serviceOn(serviceOn), m_computerName(upperCased(std::move(computerName)))
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

std::optional<NetbiosName> Aliases::connected(const std::string& user)
{
    User& entry = m_users[user];
    if (entry.clients++ > 0)
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
    return messengerName(entry.alias.name);
}

std::optional<NetbiosName> Aliases::disconnected(const std::string& user)
{
    const auto found = m_users.find(user);
    if (found == m_users.end() || --found->second.clients > 0)
        return std::nullopt;
    const Alias alias = found->second.alias;
    m_users.erase(found);
    const bool registered = alias.state == State::Pending || alias.state == State::Held ||
                            alias.state == State::Conflict;
    if (!registered || alias.name == m_computerName)
        return std::nullopt;
    return messengerName(alias.name);
}

std::optional<Aliases::Alias> Aliases::aliasOf(const std::string& user) const
{
    const auto found = m_users.find(user);
    if (found == m_users.end())
        return std::nullopt;
    return found->second.alias;
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
        const bool registered = entry.alias.state == State::Pending ||
                                entry.alias.state == State::Held ||
                                entry.alias.state == State::Conflict;
        if (!registered || messengerName(entry.alias.name) != name || entry.alias.state == state)
            continue;
        entry.alias.state = state;
        changed.push_back(user);
    }
    return changed;
}

const char* Aliases::stateText(State state)
{
    switch (state) {
    case State::Pending:
        return "pending";
    case State::Held:
        return "held";
    case State::Conflict:
        return "conflict";
    case State::TooLong:
        return "too-long";
    case State::Unavailable:
        break;
    }
    return "unavailable";
}
