#include "protocol/SessionServerPacket.h"

#include "protocol/ByteReader.h"
#include "protocol/SessionPacket.h"

namespace SessionServerPacket {

std::optional<SessionRequest> decodeSessionRequest(std::span<const std::uint8_t> body)
{
    ByteReader in(body);
    const auto called = NetbiosName::read(in);
    const auto calling = called ? NetbiosName::read(in) : std::nullopt;
    if (!calling || !in.ok() || in.remaining() != 0)
        return std::nullopt;
    return SessionRequest{*called, *calling};
}

std::vector<std::uint8_t> encodePositiveResponse()
{
    return {SessionPacket::kPositiveResponse, 0x00, 0x00, 0x00};
}

std::vector<std::uint8_t> encodeNegativeResponse(std::uint8_t error)
{
    return {SessionPacket::kNegativeResponse, 0x00, 0x00, 0x01, error};
}

std::vector<std::uint8_t> encodeKeepAlive()
{
    return {SessionPacket::kKeepAlive, 0x00, 0x00, 0x00};
}

} // namespace SessionServerPacket
