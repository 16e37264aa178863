#include "protocol/SmbMessage.h"

#include "protocol/ByteReader.h"
#include "protocol/ByteWriter.h"

#include <algorithm>

namespace {

constexpr std::uint8_t kFlagsReply = 0x80;
constexpr std::uint16_t kFlags2NtStatus = 0x4000;
constexpr std::uint32_t kNtSeverityMask = 0xC0000000;
constexpr std::uint8_t kFormatString = 0x04;
constexpr std::uint8_t kFormatDataBlock = 0x01;

// Header (MS-CIFS 2.2.3.1) with every field zero but Command and MID, as MS-MSRP asks.
void writeHeader(ByteWriter& out, std::uint8_t command, std::uint16_t mid)
{
    out.bytes(std::span<const std::uint8_t>({0xFF, 'S', 'M', 'B'}));
    out.u8(command);
    out.zeros(4);  // Status
    out.u8(0);     // Flags
    out.u16le(0);  // Flags2
    out.zeros(18); // PIDHigh, SecurityFeatures, Reserved, TID, PIDLow, UID
    out.u16le(mid);
}

void writeString(ByteWriter& out, std::span<const std::uint8_t> text)
{
    out.u8(kFormatString);
    out.bytes(text);
    out.u8(0);
}

} // namespace

namespace SmbMessage {

std::vector<std::uint8_t> encodeStart(std::span<const std::uint8_t> from,
                                      std::span<const std::uint8_t> to, std::uint16_t mid)
{
    ByteWriter out;
    writeHeader(out, kStart, mid);
    out.u8(0);
    out.u16le(static_cast<std::uint16_t>(2 + from.size() + 2 + to.size()));
    writeString(out, from);
    writeString(out, to);
    return out.take();
}

std::vector<std::uint8_t> encodeText(std::uint16_t group, std::span<const std::uint8_t> block,
                                     std::uint16_t mid)
{
    ByteWriter out;
    writeHeader(out, kText, mid);
    out.u8(1);
    out.u16le(group);
    out.u16le(static_cast<std::uint16_t>(3 + block.size()));
    out.u8(kFormatDataBlock);
    out.u16le(static_cast<std::uint16_t>(block.size()));
    out.bytes(block);
    return out.take();
}

std::vector<std::uint8_t> encodeEnd(std::uint16_t group, std::uint16_t mid)
{
    ByteWriter out;
    writeHeader(out, kEnd, mid);
    out.u8(1);
    out.u16le(group);
    out.u16le(0);
    return out.take();
}

Status decodeStatus(std::span<const std::uint8_t, 4> field, std::uint16_t flags2)
{
    ByteReader in(field);
    const std::uint32_t value = in.u32le();
    const bool severity = (value & kNtSeverityMask) != 0;
    // Without the Flags2 bit, a severity means NT form, except for ERRnosupport (code 0xFFFF),
    // whose DOS form looks like one.
    const bool nt = (flags2 & kFlags2NtStatus) != 0 || (severity && (value >> 16) != 0xFFFF);
    Status status;
    status.ntStatus = nt ? value : 0;
    // A class in the low byte and a code in the high word, unless NT with a severity.
    if (!nt || !severity) {
        status.errorClass = static_cast<std::uint8_t>(value & 0xFF);
        status.errorCode = static_cast<std::uint16_t>(value >> 16);
    }
    return status;
}

std::optional<Reply> decodeReply(std::span<const std::uint8_t> smb)
{
    ByteReader in(smb);
    const auto protocol = in.bytes(4);
    Reply reply;
    reply.command = in.u8();
    const auto statusField = in.bytes(4);
    const std::uint8_t flags = in.u8();
    const std::uint16_t flags2 = in.u16le();
    in.skip(18); // PIDHigh, SecurityFeatures, Reserved, TID, PIDLow, UID
    reply.mid = in.u16le();
    const std::uint8_t wordCount = in.u8();
    for (std::uint8_t i = 0; i < wordCount && in.ok(); ++i)
        reply.words.push_back(in.u16le());
    in.skip(in.u16le()); // ByteCount and the bytes
    const std::uint8_t magic[4] = {0xFF, 'S', 'M', 'B'};
    if (!in.ok() || !std::equal(protocol.begin(), protocol.end(), magic) ||
        (flags & kFlagsReply) == 0)
        return std::nullopt;
    reply.status = decodeStatus(statusField.first<4>(), flags2);
    return reply;
}

} // namespace SmbMessage
