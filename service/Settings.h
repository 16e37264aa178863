#pragma once

#include "service/CommandLine.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Everything vorelind can be told, from /etc/vorelin/vorelind.conf ("key = value") or from the
// command line ("--key value"); both use the same keys, and the command line wins.
struct Settings
{
    // Direct mode: sockets made here instead of passed by systemd.
    std::string bind;
    std::uint16_t sessionPort = 0;
    std::string runtimeDir;
    std::string stateDir;

    std::string computerName; // empty: from the host name
    int codePage = 850;

    std::size_t maxSessions = 32;
    std::size_t maxSessionsPerAddress = 4;
    std::chrono::milliseconds idleTimeout{30'000};
    std::chrono::milliseconds messageTimeout{60'000};
    std::size_t messagesPerMinute = 20; // per source address; 0 = no limit
    std::size_t spoolMaxMessages = 1000;
    std::size_t spoolMaxBytes = 16u * 1024 * 1024;

    std::vector<std::string> blockedSenders;   // compared without regard to ASCII case
    std::vector<std::string> blockedAddresses; // dotted IPv4, as written
    std::string messageCommandAccount = "nobody";

    // The name service (UDP 137); in direct mode only with a port.
    std::uint16_t namePort = 0;
    std::vector<std::string> nameInterfaces; // empty: every interface
    // How long a user's alias stays held after the last client left.
    std::chrono::milliseconds aliasGrace{30'000};
    // Hold an alias for every user logind counts as logged in, not only for users with a client.
    bool loginAliases = true;
    // How often the socket table is read for another program (nmbd) on the names port.
    std::chrono::milliseconds nameWatchInterval{2'000};
    // How often names registered with a WINS server are refreshed; nothing: half the TTL the
    // server granted, at most 20 minutes.
    std::optional<std::chrono::milliseconds> winsRefreshInterval;
    // Workgroup messages (UDP 138); in direct mode only with a port.
    std::uint16_t datagramPort = 0;

    bool directMode() const { return !bind.empty() || sessionPort != 0 || !runtimeDir.empty(); }
};

namespace SettingsParser {

// Applies one setting; false with a reason when the key is unknown or the value is bad.
bool apply(Settings& settings, std::string_view key, std::string_view value, std::string& error);

// Reads a configuration file: "key = value" lines, '#' comments, blank lines.
bool readFile(Settings& settings, const std::string& path, std::string& error);

using Outcome = CommandLine::Outcome;

// The command line; --config FILE is read first, then every other option over it.
Outcome parseCommandLine(Settings& settings, int argc, char** argv, std::string& error);

extern const std::string kUsage;

} // namespace SettingsParser
