#include "service/Settings.h"

#include "protocol/NetworkConfig.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>

namespace {

using NetworkConfigParser::trimmed;

std::optional<std::uint64_t> number(std::string_view text)
{
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// "30" (seconds), "30s", "500ms".
std::optional<std::chrono::milliseconds> duration(std::string_view text)
{
    std::uint64_t scale = 1000;
    if (text.ends_with("ms")) {
        text.remove_suffix(2);
        scale = 1;
    } else if (text.ends_with("s")) {
        text.remove_suffix(1);
    }
    const auto value = number(text);
    if (!value || *value == 0 || *value > 24ull * 3600 * 1000 / scale)
        return std::nullopt;
    return std::chrono::milliseconds(*value * scale);
}

// "16777216", "16384K", "16M".
std::optional<std::size_t> size(std::string_view text)
{
    std::uint64_t scale = 1;
    if (text.ends_with("K")) {
        scale = 1024;
        text.remove_suffix(1);
    } else if (text.ends_with("M")) {
        scale = 1024 * 1024;
        text.remove_suffix(1);
    }
    const auto value = number(text);
    if (!value || *value > (std::uint64_t(1) << 40) / scale)
        return std::nullopt;
    return static_cast<std::size_t>(*value * scale);
}

std::vector<std::string> list(std::string_view text)
{
    std::vector<std::string> items;
    while (!text.empty()) {
        const auto comma = text.find(',');
        const auto item = trimmed(text.substr(0, comma));
        if (!item.empty())
            items.emplace_back(item);
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    return items;
}

bool count(std::size_t& target, std::string_view value, std::uint64_t low, std::uint64_t high)
{
    const auto parsed = number(value);
    if (!parsed || *parsed < low || *parsed > high)
        return false;
    target = static_cast<std::size_t>(*parsed);
    return true;
}

} // namespace

namespace SettingsParser {

const char* const kUsage =
    "Usage: vorelind [--config FILE] [OPTION...]\n"
    "       vorelind --bind ADDRESS --session-port PORT --state-dir DIR --runtime-dir DIR\n"
    "                [--computer-name NAME] [OPTION...]\n"
    "\n"
    "Receives LAN messenger messages (NetBIOS session service, SMB message commands), keeps\n"
    "them in a durable spool and hands them to local clients over a Unix socket.\n"
    "Without --bind it runs with the sockets systemd passes (inbox, session).\n"
    "\n"
    "Options (each also a key in the configuration file):\n"
    "  --config FILE                   read settings from FILE first\n"
    "  --bind ADDRESS                  direct mode: listen on this IPv4 address\n"
    "  --session-port PORT             direct mode: TCP port of the session service\n"
    "  --state-dir DIR                 where the spool lives\n"
    "  --runtime-dir DIR               direct mode: where inbox.socket is made\n"
    "  --computer-name NAME            the name to answer to instead of the host name's\n"
    "  --code-page N                   OEM code page of names and text (default 850)\n"
    "  --max-sessions N                concurrent sessions (default 32)\n"
    "  --max-sessions-per-address N    concurrent sessions from one address (default 4)\n"
    "  --idle-timeout T                close a silent session after T (default 30s)\n"
    "  --message-timeout T             a message must end within T of its start (default 60s)\n"
    "  --messages-per-minute N         from one address; 0 means no limit (default 20)\n"
    "  --spool-max-messages N          messages waiting at most (default 1000)\n"
    "  --spool-max-bytes SIZE          bytes waiting at most (default 16M)\n"
    "  --blocked-senders LIST          comma-separated sender names to refuse\n"
    "  --blocked-addresses LIST        comma-separated IPv4 addresses to refuse\n"
    "  --message-command-account USER  who may hand messages in besides root (default nobody)\n"
    "  --name-port PORT                direct mode: hold the names on this UDP port\n"
    "  --name-interfaces LIST          comma-separated interfaces to hold names on (default all)\n"
    "  --alias-grace T                 keep a user's alias T after the last client left (30s)\n"
    "  --login-aliases yes|no          hold the aliases of logged-in users (default yes)\n"
    "  --name-watch-interval T         look for another program on the names port every T (2s)\n"
    "  --datagram-port PORT            direct mode: take workgroup messages on this UDP port\n"
    "  --wins-refresh-interval T       refresh names at the WINS servers of vorelin.conf every T\n"
    "                                  (default: half the time they were granted, 20 min at most)\n"
    "  -h, --help                      show this help\n"
    "  -V, --version                   show the version\n"
    "Times take s or ms (\"30\", \"30s\", \"500ms\"); sizes take K or M.\n";

bool apply(Settings& s, std::string_view key, std::string_view value, std::string& error)
{
    value = trimmed(value);
    bool ok = true;
    if (key == "bind") {
        s.bind = value;
    } else if (key == "session-port") {
        std::size_t port = 0;
        ok = count(port, value, 1, 65535);
        s.sessionPort = static_cast<std::uint16_t>(port);
    } else if (key == "state-dir") {
        s.stateDir = value;
    } else if (key == "runtime-dir") {
        s.runtimeDir = value;
    } else if (key == "computer-name") {
        s.computerName = value;
        ok = value.size() <= 15;
    } else if (key == "code-page") {
        std::size_t page = 0;
        ok = count(page, value, 1, 65535);
        s.codePage = static_cast<int>(page);
    } else if (key == "max-sessions") {
        ok = count(s.maxSessions, value, 1, 4096);
    } else if (key == "max-sessions-per-address") {
        ok = count(s.maxSessionsPerAddress, value, 1, 4096);
    } else if (key == "idle-timeout" || key == "message-timeout" || key == "alias-grace" ||
               key == "name-watch-interval") {
        const auto parsed = duration(value);
        ok = parsed && (key != "name-watch-interval" || parsed->count() > 0);
        if (ok)
            (key == "idle-timeout"          ? s.idleTimeout
             : key == "alias-grace"         ? s.aliasGrace
             : key == "name-watch-interval" ? s.nameWatchInterval
                                            : s.messageTimeout) = *parsed;
    } else if (key == "datagram-port") {
        std::size_t port = 0;
        ok = count(port, value, 1, 65535);
        s.datagramPort = static_cast<std::uint16_t>(port);
    } else if (key == "wins-refresh-interval") {
        s.winsRefreshInterval = duration(value);
        ok = s.winsRefreshInterval.has_value();
    } else if (key == "messages-per-minute") {
        ok = count(s.messagesPerMinute, value, 0, 1'000'000);
    } else if (key == "spool-max-messages") {
        ok = count(s.spoolMaxMessages, value, 1, 1'000'000);
    } else if (key == "spool-max-bytes") {
        const auto parsed = size(value);
        ok = parsed && *parsed > 0;
        if (ok)
            s.spoolMaxBytes = *parsed;
    } else if (key == "blocked-senders") {
        s.blockedSenders = list(value);
    } else if (key == "blocked-addresses") {
        s.blockedAddresses = list(value);
    } else if (key == "name-port") {
        std::size_t port = 0;
        ok = count(port, value, 1, 65535);
        s.namePort = static_cast<std::uint16_t>(port);
    } else if (key == "name-interfaces") {
        s.nameInterfaces = list(value);
    } else if (key == "login-aliases") {
        ok = value == "yes" || value == "no";
        s.loginAliases = value == "yes";
    } else if (key == "message-command-account") {
        s.messageCommandAccount = value;
        ok = !value.empty();
    } else {
        error = "unknown setting '" + std::string(key) + "'";
        return false;
    }
    if (!ok)
        error = "bad value '" + std::string(value) + "' for " + std::string(key);
    return ok;
}

bool readFile(Settings& settings, const std::string& path, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    int number = 0;
    // Bounded: a configuration file is a few dozen lines.
    while (number < 10'000 && std::getline(in, line)) {
        ++number;
        const auto text = trimmed(line);
        if (text.empty() || text.front() == '#')
            continue;
        const auto equals = text.find('=');
        if (equals == std::string_view::npos) {
            error = path + ":" + std::to_string(number) + ": expected key = value";
            return false;
        }
        std::string reason;
        if (!apply(settings, trimmed(text.substr(0, equals)), text.substr(equals + 1), reason)) {
            error = path + ":" + std::to_string(number) + ": " + reason;
            return false;
        }
    }
    if (in.bad()) { // a folder, or a read error
        error = "cannot read " + path;
        return false;
    }
    return true;
}

Outcome parseCommandLine(Settings& settings, int argc, char** argv, std::string& error)
{
    // Every key of the file is an option too.
    static constexpr CommandLine::Option kOptions[] = {
        {"config", true},
        {"bind", true},
        {"session-port", true},
        {"state-dir", true},
        {"runtime-dir", true},
        {"computer-name", true},
        {"code-page", true},
        {"max-sessions", true},
        {"max-sessions-per-address", true},
        {"idle-timeout", true},
        {"message-timeout", true},
        {"messages-per-minute", true},
        {"spool-max-messages", true},
        {"spool-max-bytes", true},
        {"blocked-senders", true},
        {"blocked-addresses", true},
        {"message-command-account", true},
        {"name-port", true},
        {"name-interfaces", true},
        {"alias-grace", true},
        {"name-watch-interval", true},
        {"login-aliases", true},
        {"datagram-port", true},
        {"wins-refresh-interval", true},
    };
    std::vector<std::pair<std::string, std::string>> given;
    std::vector<std::string> operands;
    const Outcome outcome = CommandLine::parse(
        argc, argv, kOptions,
        [&given](std::string_view name, std::string_view value, std::string&) {
            given.emplace_back(name, value);
            return true;
        },
        operands, error);
    if (outcome != Outcome::Run)
        return outcome;
    if (!operands.empty()) {
        error = "unexpected argument '" + operands.front() + "'";
        return Outcome::Error;
    }
    // The file first, so that options override it.
    for (const auto& [name, value] : given) {
        if (name == "config" && !readFile(settings, settings.configFile = value, error))
            return Outcome::Error;
    }
    for (const auto& [name, value] : given) {
        if (name != "config" && !apply(settings, name, value, error)) {
            error = "--" + name + ": " + error;
            return Outcome::Error;
        }
    }
    return Outcome::Run;
}

} // namespace SettingsParser
