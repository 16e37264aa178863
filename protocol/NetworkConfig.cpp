#include "protocol/NetworkConfig.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>

namespace NetworkConfigParser {

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

namespace {

// More than any real configuration; a bigger file is not read at all.
constexpr std::size_t kMaxFileBytes = 256 * 1024;
// At most this many servers are kept from any one source.
constexpr std::size_t kMaxServers = 16;

std::string lowered(std::string_view text)
{
    std::string out;
    for (const char c : text)
        out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return out;
}

// Samba compares keys without regard to case or spacing.
std::string sambaKey(std::string_view text)
{
    std::string out = lowered(text);
    std::erase_if(out, [](char c) { return c == ' ' || c == '\t' || c == '_'; });
    return out;
}

std::optional<bool> boolean(std::string_view text)
{
    const std::string word = lowered(trimmed(text));
    if (word == "yes" || word == "true" || word == "1" || word == "on")
        return true;
    if (word == "no" || word == "false" || word == "0" || word == "off")
        return false;
    return std::nullopt;
}

std::vector<std::string_view> words(std::string_view text)
{
    constexpr std::string_view kSeparators = " \t,";
    std::vector<std::string_view> out;
    for (auto start = text.find_first_not_of(kSeparators); start != std::string_view::npos;) {
        const auto end = text.find_first_of(kSeparators, start);
        out.push_back(text.substr(start, end - start));
        start = text.find_first_not_of(kSeparators, end);
    }
    return out;
}

void addServer(std::vector<std::uint32_t>& servers, std::uint32_t address)
{
    if (servers.size() < kMaxServers &&
        std::find(servers.begin(), servers.end(), address) == servers.end())
        servers.push_back(address);
}

std::optional<std::string> readBounded(const std::string& path, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    std::string text;
    char chunk[4096];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        text.append(chunk, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMaxFileBytes) {
            error = "is larger than " + std::to_string(kMaxFileBytes / 1024) + " KiB";
            return std::nullopt;
        }
    }
    if (!in.is_open() || in.bad()) {
        error = "cannot be read";
        return std::nullopt;
    }
    return text;
}

SambaSettings readSamba(const std::string& path)
{
    std::string ignored;
    const auto text = path.empty() ? std::nullopt : readBounded(path, ignored);
    return text ? parseSamba(*text) : SambaSettings{};
}

} // namespace

std::optional<std::string> workgroupName(std::string_view text)
{
    text = trimmed(text);
    if (text.empty() || text.size() > 15)
        return std::nullopt;
    std::string name;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E ||
            std::string_view("\"/\\[]:|<>+=;,?*").find(c) != std::string_view::npos)
            return std::nullopt;
        name.push_back(static_cast<char>(std::toupper(byte)));
    }
    return name;
}

std::optional<std::uint32_t> ipv4(std::string_view text)
{
    in_addr address{};
    if (::inet_pton(AF_INET, std::string(text).c_str(), &address) != 1)
        return std::nullopt;
    return ntohl(address.s_addr);
}

std::string dotted(std::uint32_t address)
{
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::optional<OwnSettings> parseOwn(std::string_view text, std::string& error)
{
    OwnSettings own;
    int number = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        const auto fail = [&](const std::string& what) {
            error = "line " + std::to_string(number) + ": " + what;
            return std::nullopt;
        };

        line = trimmed(line);
        if (line.empty() || line.front() == '#')
            continue;
        const auto equals = line.find('=');
        if (equals == std::string_view::npos)
            return fail("expected \"key = value\"");
        const std::string key(trimmed(line.substr(0, equals)));
        const std::string_view value = trimmed(line.substr(equals + 1));

        if (key == "workgroup") {
            own.workgroup = workgroupName(value);
            if (!own.workgroup)
                return fail("workgroup '" + std::string(value) +
                            "' is not a name of 1 to 15 characters");
        } else if (key == "wins-server") {
            std::vector<std::uint32_t> servers;
            for (const auto word : words(value)) {
                const auto address = ipv4(word);
                if (!address || *address == 0 || *address == 0xFFFFFFFF)
                    return fail("wins-server '" + std::string(word) + "' is not an IPv4 address");
                addServer(servers, *address);
            }
            own.winsServers = std::move(servers);
        } else if (key == "node-type") {
            const std::string type = lowered(value);
            if (type != "b" && type != "h")
                return fail("node-type must be b or h");
            own.nodeType = type == "b" ? NetworkConfig::NodeType::B : NetworkConfig::NodeType::H;
        } else if (key == "workgroup-messages") {
            own.workgroupMessages = boolean(value);
            if (!own.workgroupMessages)
                return fail("workgroup-messages must be yes or no");
        } else if (key == "samba-config") {
            own.sambaPath = std::string(value);
        } else if (key == "samba-dhcp-config") {
            own.sambaDhcpPath = std::string(value);
        } else {
            return fail("unknown key '" + key + "'");
        }
    }
    return own;
}

SambaSettings parseSamba(std::string_view text)
{
    SambaSettings samba;
    bool global = false;
    std::string pending;
    const auto take = [&](std::string_view line) {
        line = trimmed(line);
        if (line.empty() || line.front() == '#' || line.front() == ';')
            return;
        if (line.front() == '[') {
            const auto close = line.find(']');
            global =
                close != std::string_view::npos && sambaKey(line.substr(1, close - 1)) == "global";
            return;
        }
        const auto equals = line.find('=');
        if (!global || equals == std::string_view::npos)
            return;
        const std::string key = sambaKey(line.substr(0, equals));
        const std::string_view value = trimmed(line.substr(equals + 1));
        if (key == "workgroup") {
            if (const auto name = workgroupName(value))
                samba.workgroup = name;
        } else if (key == "winsserver") {
            samba.winsServers.clear();
            // "tag:address" and dhcp.conf's "interface:address" name the address last.
            for (auto word : words(value)) {
                word = word.substr(word.rfind(':') + 1);
                if (const auto address = ipv4(word); address && *address != 0)
                    addServer(samba.winsServers, *address);
            }
        } else if (key == "winssupport") {
            samba.winsSupport = boolean(value).value_or(false);
        }
    };

    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        line = trimmed(line);
        if (!line.empty() && line.back() == '\\') {
            line.remove_suffix(1);
            pending += line;
            pending += ' ';
            if (pending.size() > kMaxFileBytes)
                pending.clear();
            continue;
        }
        pending += line;
        take(pending);
        pending.clear();
    }
    take(pending);
    return samba;
}

NetworkConfig combine(const OwnSettings& own, const SambaSettings& samba,
                      const SambaSettings& sambaDhcp)
{
    NetworkConfig config;
    config.workgroup = own.workgroup.value_or(samba.workgroup.value_or(config.workgroup));
    if (own.winsServers) {
        config.winsServers = *own.winsServers;
    } else {
        config.winsServers = samba.winsServers;
        for (const auto address : sambaDhcp.winsServers)
            addServer(config.winsServers, address);
        // nmbd refuses "wins server" beside "wins support"; the server is then nmbd here.
        if (samba.winsSupport) {
            config.winsServerIsLocal = true;
            config.winsServers = {0x7F000001};
        }
    }
    config.nodeType = own.nodeType.value_or(NetworkConfig::NodeType::H);
    config.workgroupMessages = own.workgroupMessages.value_or(true);
    return config;
}

Loaded loadFrom(const std::string& path, bool mustExist)
{
    Loaded loaded;
    std::string error;
    OwnSettings own;
    if (mustExist || std::ifstream(path)) {
        const auto text = readBounded(path, error);
        const auto parsed = text ? parseOwn(*text, error) : std::nullopt;
        if (!parsed) {
            loaded.error = path + ": " + error + "; using broadcast only";
            return loaded;
        }
        own = *parsed;
    }
    const SambaSettings samba = readSamba(own.sambaPath.value_or(kDefaultSambaPath));
    const SambaSettings dhcp = readSamba(own.sambaDhcpPath.value_or(kDefaultSambaDhcpPath));
    loaded.config = combine(own, samba, dhcp);
    return loaded;
}

Loaded load()
{
    const char* path = std::getenv(kPathVariable);
    if (path != nullptr && *path != '\0')
        return loadFrom(path, true);
    return loadFrom(kDefaultPath, false);
}

} // namespace NetworkConfigParser
