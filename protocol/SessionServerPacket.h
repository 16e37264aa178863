#pragma once

#include "protocol/NetbiosName.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// The session service as a listener sees it (RFC 1002 4.3): the request a caller opens with and
// the answers a listener gives.
namespace SessionServerPacket {

// NEGATIVE SESSION RESPONSE error codes (4.3.4).
constexpr std::uint8_t kNotListeningOnCalled = 0x80;
constexpr std::uint8_t kNotListeningForCalling = 0x81;
constexpr std::uint8_t kCalledNameNotPresent = 0x82;
constexpr std::uint8_t kInsufficientResources = 0x83;
constexpr std::uint8_t kUnspecifiedError = 0x8F;

// A SESSION KEEP ALIVE request that Samba answers; not in the RFC.
constexpr std::uint8_t kKeepAliveRequest = 0x89;

struct SessionRequest
{
    NetbiosName called;
    NetbiosName calling;
};

// SESSION REQUEST body (4.3.2), after the 4-byte header:
//   off size
//   0   34   CALLED NAME   0x20, 32 first-level characters, 0x00 (longer with a scope)
//   34  34   CALLING NAME  the same form
// Senders write both names in full; a scope is accepted and ignored. Bytes after the calling
// name make the request malformed.
std::optional<SessionRequest> decodeSessionRequest(std::span<const std::uint8_t> body);

// POSITIVE SESSION RESPONSE (4.3.3): 82 00 00 00.
std::vector<std::uint8_t> encodePositiveResponse();
// NEGATIVE SESSION RESPONSE (4.3.4): 83 00 00 01 ERROR_CODE.
std::vector<std::uint8_t> encodeNegativeResponse(std::uint8_t error);
// SESSION KEEP ALIVE (4.3.7): 85 00 00 00.
std::vector<std::uint8_t> encodeKeepAlive();

} // namespace SessionServerPacket
