#pragma once

#include "service/names/NameHolder.h"

#include "protocol/NetbiosName.h"

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Which user aliases the machine should hold: the login name upper-cased with suffix 0x03, for
// every user logged in (where logind says so) or with at least one local client connected, as
// the classic messenger registered the logged-on user. Decides only; the name service does the
// registering.
// A client that connects and leaves in a loop must not make the machine broadcast in a loop:
// an alias is released only a grace period after its last client left, and never sooner than a
// minimum hold after its registration, so that each user registers at most once per hold.
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

    using Clock = NameHolder::Clock;
    struct Timing
    {
        std::chrono::milliseconds grace{30'000};
        std::chrono::milliseconds minimumHold{60'000};
    };

    Aliases(bool serviceOn, std::string computerName, Timing timing);

    // The first client of a user: the name to register, if any. The computer name is held
    // already and is not registered twice, nor is an alias still held after its user left.
    std::optional<NetbiosName> connected(const std::string& user, Clock::time_point now);
    // A client of a user left; the last one starts the alias's grace period: when the alias
    // will be released.
    std::optional<Clock::time_point> disconnected(const std::string& user, Clock::time_point now);
    // Who is logged in now, by login name: the names to register for those who were not. A
    // user who logged out loses the alias as when the last client leaves.
    std::vector<NetbiosName> setLoggedIn(const std::set<std::string>& users, Clock::time_point now);
    // The aliases whose time is up: the names to release.
    std::vector<NetbiosName> expire(Clock::time_point now);
    std::optional<Clock::time_point> nextDeadline() const;

    // The name service went off (another program took the port) or came back: the users
    // whose alias state changed, and the aliases that were registered (going off) or are to
    // be registered again (coming back).
    struct Switch
    {
        std::vector<std::string> users;
        std::vector<NetbiosName> names;
    };
    Switch setServiceOn(bool on, Clock::time_point now);

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
        bool loggedIn = false;
        Alias alias;
        Clock::time_point registeredAt{};
        // Once the last client left, or the user logged out.
        std::optional<Clock::time_point> releaseAt;
    };

    // The alias of a user who now counts: the name to register, if any.
    std::optional<NetbiosName> wanted(User& entry, const std::string& user, Clock::time_point now);
    // The user counts no more: the alias is released after the grace, or forgotten at once.
    std::optional<Clock::time_point> unwanted(std::map<std::string, User>::iterator found,
                                              Clock::time_point now);

    bool m_serviceOn;
    Timing m_timing;
    std::string m_computerName;
    State m_computerNameState = State::Pending;
    std::map<std::string, User> m_users;
};
