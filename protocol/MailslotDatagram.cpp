#include "protocol/MailslotDatagram.h"

#include "protocol/ByteReader.h"
#include "protocol/ByteWriter.h"

#include <algorithm>
#include <cctype>

#include <string_view>

namespace MailslotDatagram {

namespace {

constexpr std::uint8_t kDirectUnique = 0x10;
constexpr std::uint8_t kDirectGroup = 0x11;
constexpr std::ptrdiff_t kMaxNameBytes = 15;
// F (first fragment) and SNT "NBDD", as Windows' H-nodes mark them.
constexpr std::uint8_t kFlags = 0x0E;
constexpr std::size_t kHeaderBytes = 14;
constexpr std::string_view kMailslot = "\\MAILSLOT\\MESSNGR";
// From the SMB header: parameters end at 69, the mailslot name and its NUL at 87; one zero
// pad byte aligns the data on 32 bits, at 88, as Windows clients write it.
constexpr std::uint16_t kDataOffset = 88;
constexpr std::uint16_t kSmbTransaction = 0x25;

} // namespace

std::optional<std::vector<std::uint8_t>> body(const WorkgroupMessage& message)
{
    const std::size_t size = message.from.size() + message.to.size() + message.text.size() + 3;
    if (size > kMaxBodyBytes)
        return std::nullopt;
    std::vector<std::uint8_t> out;
    out.reserve(size);
    for (const auto* part : {&message.from, &message.to, &message.text}) {
        out.insert(out.end(), part->begin(), part->end());
        out.push_back(0);
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> encode(const WorkgroupMessage& message)
{
    const auto data = body(message);
    if (!data)
        return std::nullopt;
    const auto count = static_cast<std::uint16_t>(data->size());

    ByteWriter out;
    out.u8(kDirectGroup);
    out.u8(kFlags);
    out.u16be(message.datagramId);
    out.u32be(message.sourceAddress);
    out.u16be(kDatagramPort);
    const std::size_t lengthAt = out.size();
    out.u16be(0); // DGM_LENGTH, patched below
    out.u16be(0); // PACKET_OFFSET
    message.sourceName.write(out);
    message.destination.write(out);

    out.bytes(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>("\xFFSMB"), 4));
    out.u8(kSmbTransaction);
    out.zeros(4); // Status
    out.u8(0x18); // Flags: case-insensitive, canonical paths
    out.u16le(0x0004);
    out.zeros(14);     // PIDHigh, SecurityFeatures, Reserved, TID
    out.u16le(0xFEFF); // PIDLow
    out.zeros(4);      // UID, MID
    out.u8(17);        // WordCount
    out.u16le(0);      // TotalParameterCount
    out.u16le(count);
    out.u16le(2);      // MaxParameterCount
    out.u16le(0);      // MaxDataCount
    out.zeros(2);      // MaxSetupCount, Reserved
    out.u16le(0x0002); // Flags: no response
    out.zeros(6);      // Timeout, Reserved2
    out.u16le(0);      // ParameterCount
    out.u16le(kDataOffset);
    out.u16le(count);
    out.u16le(kDataOffset);
    out.u8(3); // SetupCount
    out.u8(0);
    out.u16le(1); // MailSlotOpcode: write
    out.u16le(0); // Priority
    out.u16le(2); // Class: unreliable, may be broadcast
    out.u16le(static_cast<std::uint16_t>(kMailslot.size() + 2 + count));
    out.bytes(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(kMailslot.data()),
                                            kMailslot.size()));
    out.zeros(2); // the name's NUL and the pad byte that aligns the data
    out.bytes(*data);

    out.patchU16be(lengthAt, static_cast<std::uint16_t>(out.size() - kHeaderBytes));
    return out.take();
}

std::optional<Received> decode(std::span<const std::uint8_t> datagram)
{
    if (datagram.size() > kMaxDatagramBytes)
        return std::nullopt;
    ByteReader in(datagram);
    Received received;
    const std::uint8_t type = in.u8();
    const std::uint8_t flags = in.u8();
    received.message.datagramId = in.u16be();
    received.message.sourceAddress = in.u32be();
    in.skip(2); // SOURCE_PORT
    const std::uint16_t length = in.u16be();
    const std::uint16_t packetOffset = in.u16be();
    // Fragments are never put together: M set, F clear or an offset is dropped.
    if (!in.ok() || (type != kDirectGroup && type != kDirectUnique) || (flags & 0x03) != 0x02 ||
        packetOffset != 0 || length > in.remaining())
        return std::nullopt;
    received.group = type == kDirectGroup;
    const auto end = kHeaderBytes + length;
    const auto source = NetbiosName::read(in);
    const auto destination = NetbiosName::read(in);
    if (!source || !destination || !in.ok() || in.offset() > end)
        return std::nullopt;
    received.message.sourceName = *source;
    received.message.destination = *destination;

    // Offsets in the transaction count from the SMB header.
    const std::size_t smb = in.offset();
    const auto header = in.bytes(5);
    in.skip(27);
    const std::uint8_t wordCount = in.u8();
    in.skip(22); // TotalParameterCount .. ParameterOffset
    const std::uint16_t dataCount = in.u16le();
    const std::uint16_t dataOffset = in.u16le();
    const std::uint8_t setupCount = in.u8();
    in.skip(1);
    const std::uint16_t opcode = in.u16le();
    in.skip(6); // Priority, Class, ByteCount
    const auto name = in.bytes(kMailslot.size() + 1);
    const auto sameLetter = [](char wanted, std::uint8_t byte) {
        return std::toupper(byte) == wanted;
    };
    if (!in.ok() || in.offset() > end || header[0] != 0xFF || header[1] != 'S' ||
        header[2] != 'M' || header[3] != 'B' || header[4] != kSmbTransaction || wordCount != 17 ||
        setupCount != 3 || opcode != 1 || smb + dataOffset < in.offset() ||
        smb + dataOffset + dataCount > end || name.back() != 0 ||
        !std::equal(kMailslot.begin(), kMailslot.end(), name.begin(), sameLetter))
        return std::nullopt;

    // From NUL To NUL Text [NUL]
    const auto data = datagram.subspan(smb + dataOffset, dataCount);
    const auto firstNul = std::find(data.begin(), data.end(), 0);
    if (firstNul == data.end())
        return std::nullopt;
    const auto secondNul = std::find(firstNul + 1, data.end(), 0);
    if (secondNul == data.end() || firstNul == data.begin() ||
        firstNul - data.begin() > kMaxNameBytes || secondNul - firstNul - 1 > kMaxNameBytes)
        return std::nullopt;
    received.message.from.assign(data.begin(), firstNul);
    received.message.to.assign(firstNul + 1, secondNul);
    received.message.text.assign(secondNul + 1, std::find(secondNul + 1, data.end(), 0));
    return received;
}

} // namespace MailslotDatagram
