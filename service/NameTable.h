#pragma once

#include "protocol/NetbiosName.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

// The <03> names this machine answers sessions for, and whose messages they are: the computer
// name (every local user's), this machine's own addresses written as text (what a sender calls
// when node status got no answer; they count as the computer name), and user aliases, which
// the name service adds as it registers them.
class NameTable
{
public:
    // The IPv4 addresses of this machine as dotted text, asked at each session request.
    using AddressSource = std::function<std::vector<std::string>()>;

    struct Recipient
    {
        std::string user; // empty: the computer name, for every local user
    };

    NameTable(std::string computerName, AddressSource addresses);

    // The computer name as the table holds it: upper case, at most 15 bytes.
    const std::string& computerName() const { return m_computerName; }

    // A user alias NAME<03>; a later add of the same name replaces the user.
    void addAlias(const std::string& name, const std::string& user);
    void removeAlias(const std::string& name);
    // Name-service hook: another node defended the computer name, so sessions called to it
    // are refused, unless they reached one of this machine's own addresses: such a caller found
    // the right machine (calls to the addresses as names count as the computer name anyway).
    void setComputerNameLost(bool lost) { m_computerNameLost = lost; }

    // localAddress: where the session arrived, as dotted text; empty when unknown.
    std::optional<Recipient> find(const NetbiosName& called,
                                  const std::string& localAddress = {}) const;

private:
    std::string m_computerName;
    AddressSource m_addresses;
    std::vector<std::pair<NetbiosName, std::string>> m_aliases;
    bool m_computerNameLost = false;
};
