#pragma once

#include "platform/network/ComputerName.h"

#include <string>
#include <string_view>

// The NetBIOS-style name of this host: the host name up to its first dot, upper-cased (ASCII
// letters only), at most 15 characters, which is what a Windows computer name can hold.
class LinuxComputerName final : public ComputerName
{
public:
    static constexpr std::size_t kMaxLength = 15;

    bool GetComputerNameA(char* buffer, std::uint32_t& size) override;

    // The computer name for the given host name.
    static std::string fromHostName(std::string_view hostName);
};
