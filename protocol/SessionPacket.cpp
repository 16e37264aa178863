#include "protocol/SessionPacket.h"

#include "protocol/ByteReader.h"
#include "protocol/ByteWriter.h"

namespace SessionPacket {

std::optional<Header> decodeHeader(std::span<const std::uint8_t, kHeaderSize> bytes)
{
    if ((bytes[1] & 0xFE) != 0)
        return std::nullopt;
    return Header{bytes[0], (std::uint32_t(bytes[1] & 0x01) << 16) |
                                (std::uint32_t(bytes[2]) << 8) | bytes[3]};
}

std::vector<std::uint8_t> encodeSessionRequest(const NetbiosName& called,
                                               const NetbiosName& calling)
{
    ByteWriter out;
    out.u8(kRequest);
    out.u8(0);
    out.u16be(0);
    called.write(out);
    calling.write(out);
    out.patchU16be(2, static_cast<std::uint16_t>(out.size() - kHeaderSize));
    return out.take();
}

std::vector<std::uint8_t> encodeSessionMessage(std::span<const std::uint8_t> smb)
{
    ByteWriter out;
    out.u8(kMessage);
    out.u8(static_cast<std::uint8_t>((smb.size() >> 16) & 0x01));
    out.u16be(static_cast<std::uint16_t>(smb.size()));
    out.bytes(smb);
    return out.take();
}

std::optional<Response> decodeResponse(std::uint8_t type, std::span<const std::uint8_t> body)
{
    ByteReader in(body);
    Response response;
    switch (type) {
    case kPositiveResponse:
        response.kind = Response::Kind::Positive;
        break;
    case kNegativeResponse:
        response.kind = Response::Kind::Negative;
        response.error = in.u8();
        break;
    case kRetargetResponse:
        response.kind = Response::Kind::Retarget;
        response.address = in.u32be();
        response.port = in.u16be();
        break;
    default:
        return std::nullopt;
    }
    if (!in.ok() || in.remaining() != 0)
        return std::nullopt;
    return response;
}

} // namespace SessionPacket
