#include "service/Settings.h"

#include "protocol/NetworkConfig.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <ranges>

namespace {

using NetworkConfigParser::trimmed;

using Units = std::vector<std::pair<std::string_view, std::uint64_t>>;

// A number from low to high in the smallest unit: a bare number counts in plain units, one
// with a suffix of units in that unit ("30" and "30s", "500ms"; "16M", "16384K").
auto amount(std::uint64_t low, std::uint64_t high, std::uint64_t plain = 1, Units units = {})
{
    return [=](std::string_view text) -> std::optional<std::uint64_t> {
        std::uint64_t scale = plain;
        for (const auto& [suffix, size] : units) {
            if (text.ends_with(suffix)) {
                text.remove_suffix(suffix.size());
                scale = size;
                break;
            }
        }
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size() || value > high / scale ||
            value * scale < low)
            return std::nullopt;
        return value * scale;
    };
}

const auto port = amount(1, 65535);
// "ms" first: it ends with "s".
const auto duration = amount(1, 24 * 3600 * 1000, 1000, {{"ms", 1}, {"s", 1000}});
const auto size = amount(1, std::uint64_t(1) << 40, 1, {{"K", 1024}, {"M", 1024 * 1024}});

// Text of least to longest bytes.
auto text(std::size_t least = 0, std::size_t longest = std::string::npos)
{
    return [=](std::string_view value) {
        return value.size() >= least && value.size() <= longest ? std::optional(value)
                                                                : std::nullopt;
    };
}

std::optional<std::vector<std::string>> list(std::string_view text)
{
    std::vector<std::string> items;
    // Not std::views::split: clang 14, which builds the fuzzers, cannot compile it.
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find(',', start), text.size());
        if (const auto item = trimmed(text.substr(start, end - start)); !item.empty())
            items.emplace_back(item);
        start = end + 1;
    }
    return items;
}

std::optional<bool> yesNo(std::string_view text)
{
    return text == "yes" || text == "no" ? std::optional(text == "yes") : std::nullopt;
}

// A value that parse reads, stored when it reads one.
template <typename Field, typename Parse> auto with(Field Settings::*field, Parse parse)
{
    return [=](Settings& s, std::string_view value) {
        const auto parsed = parse(value);
        if (parsed)
            s.*field = static_cast<Field>(*parsed);
        return parsed.has_value();
    };
}

// Every key of the file, which is an option too, with what the help says of it. "config" is
// the command line's only.
struct Key
{
    const char* name;
    const char* value; // its name in the help
    const char* help;
    std::function<bool(Settings&, std::string_view)> set;
};

const Key kKeys[] = {
    {"config", "FILE", "read settings from FILE first", nullptr},
    {"bind", "ADDRESS", "direct mode: listen on this IPv4 address", with(&Settings::bind, text())},
    {"session-port", "PORT", "direct mode: TCP port of the session service",
     with(&Settings::sessionPort, port)},
    {"state-dir", "DIR", "where the spool lives", with(&Settings::stateDir, text())},
    {"runtime-dir", "DIR", "direct mode: where inbox.socket is made",
     with(&Settings::runtimeDir, text())},
    {"computer-name", "NAME", "the name to answer to instead of the host name's",
     with(&Settings::computerName, text(0, 15))},
    {"code-page", "N", "OEM code page of names and text (default 850)",
     with(&Settings::codePage, amount(1, 65535))},
    {"max-sessions", "N", "concurrent sessions (default 32)",
     with(&Settings::maxSessions, amount(1, 4096))},
    {"max-sessions-per-address", "N", "concurrent sessions from one address (default 4)",
     with(&Settings::maxSessionsPerAddress, amount(1, 4096))},
    {"idle-timeout", "T", "close a silent session after T (default 30s)",
     with(&Settings::idleTimeout, duration)},
    {"message-timeout", "T", "a message must end within T of its start (default 60s)",
     with(&Settings::messageTimeout, duration)},
    {"messages-per-minute", "N", "from one address; 0 means no limit (default 20)",
     with(&Settings::messagesPerMinute, amount(0, 1'000'000))},
    {"spool-max-messages", "N", "messages waiting at most (default 1000)",
     with(&Settings::spoolMaxMessages, amount(1, 1'000'000))},
    {"spool-max-bytes", "SIZE", "bytes waiting at most (default 16M)",
     with(&Settings::spoolMaxBytes, size)},
    {"blocked-senders", "LIST", "comma-separated sender names to refuse",
     with(&Settings::blockedSenders, list)},
    {"blocked-addresses", "LIST", "comma-separated IPv4 addresses to refuse",
     with(&Settings::blockedAddresses, list)},
    {"message-command-account", "USER", "who may hand messages in besides root (default nobody)",
     with(&Settings::messageCommandAccount, text(1))},
    {"name-port", "PORT", "direct mode: hold the names on this UDP port",
     with(&Settings::namePort, port)},
    {"name-interfaces", "LIST", "comma-separated interfaces to hold names on (default all)",
     with(&Settings::nameInterfaces, list)},
    {"alias-grace", "T", "keep a user's alias T after the last client left (30s)",
     with(&Settings::aliasGrace, duration)},
    {"login-aliases", "yes|no", "hold the aliases of logged-in users (default yes)",
     with(&Settings::loginAliases, yesNo)},
    {"name-watch-interval", "T", "look for another program on the names port every T (2s)",
     with(&Settings::nameWatchInterval, duration)},
    {"datagram-port", "PORT", "direct mode: take workgroup messages on this UDP port",
     with(&Settings::datagramPort, port)},
    {"wins-refresh-interval", "T",
     "refresh names at the WINS servers of vorelin.conf every T\n"
     "(default: half the time they were granted, 20 min at most)",
     with(&Settings::winsRefreshInterval, duration)},
};

constexpr std::size_t kHelpColumn = 34;

std::string usage()
{
    std::string out =
        "Usage: vorelind [--config FILE] [OPTION...]\n"
        "       vorelind --bind ADDRESS --session-port PORT --state-dir DIR --runtime-dir DIR\n"
        "                [--computer-name NAME] [OPTION...]\n"
        "\n"
        "Receives LAN messenger messages (NetBIOS session service, SMB message commands), keeps\n"
        "them in a durable spool and hands them to local clients over a Unix socket.\n"
        "Without --bind it runs with the sockets systemd passes (inbox, session).\n"
        "\n"
        "Options (each also a key in the configuration file):\n";
    for (const Key& key : kKeys) {
        std::string line = std::string("  --") + key.name + " " + key.value;
        line.resize(std::max(line.size() + 2, kHelpColumn), ' ');
        for (const char c : std::string_view(key.help))
            line += c == '\n' ? "\n" + std::string(kHelpColumn, ' ') : std::string(1, c);
        out += line + "\n";
    }
    return out + "  -h, --help                      show this help\n"
                 "  -V, --version                   show the version\n"
                 "Times take s or ms (\"30\", \"30s\", \"500ms\"); sizes take K or M.\n";
}

} // namespace

namespace SettingsParser {

const std::string kUsage = usage();

bool apply(Settings& s, std::string_view key, std::string_view value, std::string& error)
{
    value = trimmed(value);
    const auto known = std::find_if(std::begin(kKeys), std::end(kKeys),
                                    [key](const Key& k) { return k.set && k.name == key; });
    if (known != std::end(kKeys) && known->set(s, value))
        return true;
    error = known == std::end(kKeys)
                ? "unknown setting '" + std::string(key) + "'"
                : "bad value '" + std::string(value) + "' for " + std::string(key);
    return false;
}

bool readFile(Settings& settings, const std::string& path, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    // Bounded: a configuration file is a few dozen lines.
    for (int number = 1; number <= 10'000 && std::getline(in, line); ++number) {
        const auto text = trimmed(line);
        if (text.empty() || text.front() == '#')
            continue;
        const auto equals = text.find('=');
        std::string reason = "expected key = value";
        if (equals == std::string_view::npos ||
            !apply(settings, trimmed(text.substr(0, equals)), text.substr(equals + 1), reason)) {
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
    std::vector<CommandLine::Option> options;
    for (const Key& key : kKeys)
        options.push_back({key.name, true});
    std::vector<std::pair<std::string, std::string>> given;
    const Outcome outcome = CommandLine::parse(
        argc, argv, options,
        [&given](std::string_view name, std::string_view value, std::string&) {
            given.emplace_back(name, value);
            return true;
        },
        error);
    if (outcome != Outcome::Run)
        return outcome;
    // The file first, so that options override it.
    for (const auto& [name, value] : given)
        if (name == "config" && !readFile(settings, value, error))
            return Outcome::Error;
    for (const auto& [name, value] : given) {
        if (name != "config" && !apply(settings, name, value, error)) {
            error = "--" + name + ": " + error;
            return Outcome::Error;
        }
    }
    return Outcome::Run;
}

} // namespace SettingsParser
