#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Who else has a UDP socket on a port: nmbd binds UDP 137 with address reuse, so a second
// holder's bind succeeds and then misses the answers meant for it. The kernel's socket table
// (/proc/net/udp, this network namespace) shows every socket with its inode.
namespace UdpPortOwners {

// The inodes of the sockets whose local port is port, from the text of /proc/net/udp.
std::vector<unsigned long> inodesOnPort(std::string_view table, std::uint16_t port);

// /proc/net/udp, at most 4 MiB of it; nothing when it cannot be read.
std::optional<std::string> readTable();

// The inode of a socket, to tell our own socket from the others.
std::optional<unsigned long> inodeOf(int fd);

} // namespace UdpPortOwners
