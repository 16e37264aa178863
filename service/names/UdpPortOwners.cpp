#include "service/names/UdpPortOwners.h"

#include <sys/stat.h>

#include <charconv>
#include <fstream>
#include <iterator>
#include <utility>

namespace UdpPortOwners {

// Each line after the header:
//   sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode ...
// with local_address as HEXADDR:HEXPORT.
std::vector<unsigned long> inodesOnPort(std::string_view table, std::uint16_t port)
{
    std::vector<unsigned long> inodes;
    bool header = true;
    while (!table.empty()) {
        const auto end = table.find('\n');
        std::string_view line = table.substr(0, end);
        table.remove_prefix(end == std::string_view::npos ? table.size() : end + 1);
        if (std::exchange(header, false))
            continue;
        std::vector<std::string_view> fields;
        while (!line.empty() && fields.size() < 10) {
            const auto start = line.find_first_not_of(' ');
            if (start == std::string_view::npos)
                break;
            line.remove_prefix(start);
            const auto stop = line.find(' ');
            fields.push_back(line.substr(0, stop));
            line.remove_prefix(stop == std::string_view::npos ? line.size() : stop);
        }
        if (fields.size() < 10)
            continue;
        const auto colon = fields[1].find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view portText = fields[1].substr(colon + 1);
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
