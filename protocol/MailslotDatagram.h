#pragma once

#include "protocol/NetbiosName.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// A messenger message to a whole workgroup: one NetBIOS datagram (RFC 1002 4.4) carrying a
// mailslot write (SMB_COM_TRANSACTION) to \MAILSLOT\MESSNGR, whose body is
// "From\0To\0Text\0" in the OEM code page. Nothing answers it.
namespace MailslotDatagram {

// The most body bytes a receiver takes for this mailslot: 512 bytes of SMB less the mailslot
// name's share.
inline constexpr std::size_t kMaxBodyBytes = 424;
inline constexpr std::uint16_t kDatagramPort = 138;

struct WorkgroupMessage
{
    std::uint16_t datagramId = 0;
    std::uint32_t sourceAddress = 0; // host byte order: the sender's address on that interface
    NetbiosName sourceName;          // the sending machine's <00>
    NetbiosName destination;         // the workgroup's <00> group name
    std::vector<std::uint8_t> from;  // OEM, no NUL
    std::vector<std::uint8_t> to;
    std::vector<std::uint8_t> text;
};

// "From\0To\0Text\0", or nullopt when it is longer than kMaxBodyBytes: such a text is refused,
// never cut.
std::optional<std::vector<std::uint8_t>> body(const WorkgroupMessage& message);
// DIRECT_GROUP, first and only fragment, sent as a Windows client sends it; nullopt as body.
std::optional<std::vector<std::uint8_t>> encode(const WorkgroupMessage& message);

// The most a received datagram may be: a largest write with room for the pad Windows allows.
inline constexpr std::size_t kMaxDatagramBytes = 600;

struct Received
{
    bool group = false; // DIRECT_GROUP, else DIRECT_UNIQUE
    WorkgroupMessage message;
};

// A messenger mailslot write as received on UDP 138: DIRECT_UNIQUE or DIRECT_GROUP, one
// unfragmented datagram, a mailslot write to \MAILSLOT\MESSNGR (any case) whose data lies
// within the datagram, and a body of at least From NUL To NUL with names of at most 15
// bytes. The text ends at the next NUL or the data's end. Anything else gives nullopt.
std::optional<Received> decode(std::span<const std::uint8_t> datagram);

} // namespace MailslotDatagram
