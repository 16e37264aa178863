#pragma once

#include "protocol/NetbiosName.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// NetBIOS session service packets on TCP 139 (RFC 1002 4.3).
namespace SessionPacket {

constexpr std::uint8_t kMessage = 0x00;
constexpr std::uint8_t kRequest = 0x81;
constexpr std::uint8_t kPositiveResponse = 0x82;
constexpr std::uint8_t kNegativeResponse = 0x83;
constexpr std::uint8_t kRetargetResponse = 0x84;
constexpr std::uint8_t kKeepAlive = 0x85;

constexpr std::size_t kHeaderSize = 4;
// The E bit of FLAGS (RFC bit 7, the least significant) is the 17th length bit.
constexpr std::size_t kMaxLength = 0x1FFFF;

// Header (4.3.1): TYPE, FLAGS, LENGTH (big-endian, bytes after the header).
struct Header
{
    std::uint8_t type = 0;
    std::uint32_t length = 0;
};

// nullopt when a reserved FLAGS bit is set.
std::optional<Header> decodeHeader(std::span<const std::uint8_t, kHeaderSize> bytes);

// SESSION REQUEST (4.3.2): called and calling name in second-level form.
std::vector<std::uint8_t> encodeSessionRequest(const NetbiosName& called,
                                               const NetbiosName& calling);
// SESSION MESSAGE (4.3.6) around one SMB.
std::vector<std::uint8_t> encodeSessionMessage(std::span<const std::uint8_t> smb);

struct Response
{
    enum class Kind
    {
        Positive,
        Negative,
        Retarget
    };
    Kind kind = Kind::Positive;
    std::uint8_t error = 0;    // Negative: 0x80 to 0x83, 0x8F
    std::uint32_t address = 0; // Retarget: IPv4, host byte order
    std::uint16_t port = 0;
};

// The answer to a session request (4.3.3 to 4.3.5), from a frame's type and body.
std::optional<Response> decodeResponse(std::uint8_t type, std::span<const std::uint8_t> body);

} // namespace SessionPacket
