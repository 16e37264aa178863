#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The network-wide settings every program shares (/etc/vorelin/vorelin.conf): which workgroup
// this machine is in and which WINS servers it uses. Where the file is silent, Samba's own
// configuration fills in, since most offices that have WINS set it up for Samba.
struct NetworkConfig
{
    enum class NodeType
    {
        // Broadcast only, whatever servers are listed.
        B,
        // The servers first, then broadcast.
        H
    };

    std::string workgroup = "WORKGROUP";    // upper case, at most 15 bytes
    std::vector<std::uint32_t> winsServers; // IPv4, host byte order, in order of preference
    NodeType nodeType = NodeType::H;
    bool workgroupMessages = true;
    // smb.conf's "wins support = yes": the WINS server is this machine.
    bool winsServerIsLocal = false;

    // The servers to ask: none for a B-node.
    std::vector<std::uint32_t> nameServers() const
    {
        return nodeType == NodeType::B ? std::vector<std::uint32_t>{} : winsServers;
    }
};

namespace NetworkConfigParser {

inline constexpr const char* kDefaultPath = "/etc/vorelin/vorelin.conf";
inline constexpr const char* kDefaultSambaPath = "/etc/samba/smb.conf";
inline constexpr const char* kDefaultSambaDhcpPath = "/var/lib/samba/dhcp.conf";
// Names the file to read instead of kDefaultPath.
inline constexpr const char* kPathVariable = "VORELIN_CONFIG";

// A configuration line's part without the blanks around it: spaces, tabs and a CR. Every
// Vorelin configuration file, vorelind.conf included, reads its keys and values so.
std::string_view trimmed(std::string_view text);

// What vorelin.conf says; an absent key stays empty.
struct OwnSettings
{
    std::optional<std::string> workgroup;
    std::optional<std::vector<std::uint32_t>> winsServers;
    std::optional<NetworkConfig::NodeType> nodeType;
    std::optional<bool> workgroupMessages;
    // Where Samba's files are read from; an empty path reads nothing.
    std::optional<std::string> sambaPath;
    std::optional<std::string> sambaDhcpPath;
};

// What Samba's [global] section says that matters here.
struct SambaSettings
{
    std::optional<std::string> workgroup;
    std::vector<std::uint32_t> winsServers;
    bool winsSupport = false;
};

// "key = value" lines, '#' comments. nullopt with error ("line N: ...") on the first bad line.
std::optional<OwnSettings> parseOwn(std::string_view text, std::string& error);
// smb.conf syntax: [sections], "key = value" in any case and spacing, '#' and ';' comments,
// '\' continuing a line. Anything it cannot use is passed over; include and registry
// configuration are not followed. Also reads dhcp.conf, whose servers carry an "iface:" tag.
SambaSettings parseSamba(std::string_view text);

// vorelin.conf over smb.conf over the defaults; the DHCP servers follow smb.conf's.
NetworkConfig combine(const OwnSettings& own, const SambaSettings& samba,
                      const SambaSettings& sambaDhcp);

struct Loaded
{
    NetworkConfig config;
    // One line for the user when the file was bad; the config is then broadcast only.
    std::optional<std::string> error;
};

// Reads the file VORELIN_CONFIG names, else kDefaultPath, and Samba's files. A missing default
// file is no error; a file that cannot be read or parsed is.
Loaded load();
Loaded loadFrom(const std::string& path, bool mustExist);

// A workgroup name as it goes on the wire: upper case, 1 to 15 bytes of printable ASCII that a
// name may hold. nullopt when it cannot be one.
std::optional<std::string> workgroupName(std::string_view text);
// A dotted IPv4 address in host byte order.
std::optional<std::uint32_t> ipv4(std::string_view text);
// The other way: "192.168.0.10", as the log lines and the spool write it.
std::string dotted(std::uint32_t address);

} // namespace NetworkConfigParser
