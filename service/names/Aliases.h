#pragma once

#include "service/names/NameHolder.h"

#include "protocol/NetbiosName.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

// Which user aliases the machine should hold: the login name upper-cased with suffix 0x03, for
// every user with at least one local client connected, as the classic messenger registered the
// logged-on user. Decides only; the name service does the registering.
class Aliases
{
public:
    enum class State
    {
        Pending,
        Held,
        Conflict,
        TooLong,    // the login has more than 15 bytes: senders refuse such names
        Unavailable // the name service is off (another program holds UDP 137)
    };
    struct Alias
    {
        std::string name; // upper-cased login, also when too long
        State state = State::Unavailable;
    };

    Aliases(bool serviceOn, std::string computerName);

    // The first client of a user: the name to register, if any. The computer name is held
    // already and is not registered twice.
    std::optional<NetbiosName> connected(const std::string& user);
    // The last client of a user left: the name to release, if any.
    std::optional<NetbiosName> disconnected(const std::string& user);

    std::optional<Alias> aliasOf(const std::string& user) const;
    // The user whose alias name is.
    std::optional<std::string> ownerOf(const NetbiosName& name) const;
    // A name's status on the LAN changed: the users whose alias state changed.
    std::vector<std::string> statusChanged(const NetbiosName& name, NameHolder::Status status);

    // Where the computer name stands: every local user's, so every client hears of it.
    State computerNameState() const
    {
        return m_serviceOn ? m_computerNameState : State::Unavailable;
    }

    static const char* stateText(State state);
    static std::string upperCased(std::string login);
    static NetbiosName messengerName(const std::string& upperCasedName);

private:
    struct User
    {
        int clients = 0;
        Alias alias;
    };

    bool m_serviceOn;
    std::string m_computerName;
    State m_computerNameState = State::Pending;
    std::map<std::string, User> m_users;
};
