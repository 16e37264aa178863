#include "service/names/UdpPortOwners.h"

#include <sys/stat.h>

#include <charconv>
#include <fstream>
#include <sstream>

namespace UdpPortOwners {

// Each line after the header:
//   sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode ...
// with local_address as HEXADDR:HEXPORT.
std::vector<unsigned long> inodesOnPort(std::string_view table, std::uint16_t port)
{
    std::vector<unsigned long> inodes;
    std::istringstream in{std::string(table)};
    std::string line;
    std::getline(in, line); // the header
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string fields[10];
        for (std::string& field : fields)
            words >> field;
        const auto colon = fields[1].find(':');
        if (!words || colon == std::string::npos)
            continue;
        const std::string_view portText = std::string_view(fields[1]).substr(colon + 1);
        unsigned value = 0;
        const auto parsed =
            std::from_chars(portText.data(), portText.data() + portText.size(), value, 16);
        unsigned long inode = 0;
        const auto inodeParsed =
            std::from_chars(fields[9].data(), fields[9].data() + fields[9].size(), inode);
        if (parsed.ec == std::errc() && inodeParsed.ec == std::errc() && value == port)
            inodes.push_back(inode);
    }
    return inodes;
}

std::optional<std::string> readTable()
{
    // Under ProcSubset=pid only the process's own folder is there; its net/ is the same table.
    std::ifstream in("/proc/self/net/udp");
    if (!in)
        return std::nullopt;
    constexpr std::size_t kLimit = 4 * 1024 * 1024;
    std::string text;
    char buffer[16384];
    while (text.size() < kLimit && in.read(buffer, sizeof buffer).gcount() > 0)
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
    return text;
}

std::optional<unsigned long> inodeOf(int fd)
{
    struct stat info
    {};
    if (::fstat(fd, &info) != 0)
        return std::nullopt;
    return static_cast<unsigned long>(info.st_ino);
}

} // namespace UdpPortOwners
