#include "platform/network/LinuxComputerName.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

bool LinuxComputerName::GetComputerNameA(char* buffer, std::uint32_t& size)
{
    std::array<char, HOST_NAME_MAX + 1> host{};
    if (gethostname(host.data(), host.size() - 1) != 0)
        host[0] = '\0';
    const std::string name = fromHostName(host.data());

    if (size < name.size() + 1) {
        size = static_cast<std::uint32_t>(name.size() + 1);
        return false;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    size = static_cast<std::uint32_t>(name.size());
    return true;
}

std::string LinuxComputerName::fromHostName(std::string_view hostName)
{
    std::string name(hostName.substr(0, std::min(hostName.find('.'), kMaxLength)));
    // ASCII only: a locale-dependent upper-casing could change the byte count.
    std::transform(name.begin(), name.end(), name.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
    return name;
}
