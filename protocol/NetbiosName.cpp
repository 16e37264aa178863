#include "protocol/NetbiosName.h"

#include "protocol/ByteReader.h"
#include "protocol/ByteWriter.h"

#include <algorithm>

namespace {

constexpr std::size_t kEncodedLength = 32;
constexpr int kMaxPointers = 8;
constexpr std::size_t kMaxNameLength = 255; // RFC 1002 4.1
constexpr std::uint8_t kPointerMask = 0xC0;

} // namespace

NetbiosName NetbiosName::fromOem(std::span<const std::uint8_t> name, std::uint8_t suffix,
                                 std::uint8_t pad)
{
    std::array<std::uint8_t, kLength> bytes;
    bytes.fill(pad);
    std::copy_n(name.begin(), std::min(name.size(), kMaxNameBytes), bytes.begin());
    bytes[15] = suffix;
    return NetbiosName(bytes);
}

NetbiosName NetbiosName::wildcard()
{
    const std::uint8_t star = '*';
    return fromOem(std::span(&star, 1), 0x00, 0x00);
}

std::string NetbiosName::trimmedName() const
{
    std::size_t end = kMaxNameBytes;
    while (end > 0 && (m_bytes[end - 1] == ' ' || m_bytes[end - 1] == 0))
        --end;
    return std::string(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(end));
}

std::string NetbiosName::firstLevel() const
{
    std::string out;
    out.reserve(kEncodedLength);
    for (const std::uint8_t byte : m_bytes) {
        out.push_back(static_cast<char>('A' + (byte >> 4)));
        out.push_back(static_cast<char>('A' + (byte & 0x0F)));
    }
    return out;
}

void NetbiosName::write(ByteWriter& out) const
{
    out.u8(kEncodedLength);
    const std::string encoded = firstLevel();
    out.bytes(std::span(reinterpret_cast<const std::uint8_t*>(encoded.data()), encoded.size()));
    out.u8(0);
}

std::optional<NetbiosName> NetbiosName::read(ByteReader& in)
{
    // The labels are read through a second reader so that pointers can jump around without
    // moving the caller's position past the first pointer.
    ByteReader labels(in.whole());
    labels.seek(in.offset());
    std::optional<std::size_t> resumeAt;
    std::size_t lowestJump = in.offset();
    std::size_t total = 0;
    int pointers = 0;
    std::optional<NetbiosName> name;

    while (true) {
        const std::uint8_t length = labels.u8();
        if (!labels.ok())
            return std::nullopt;
        if ((length & kPointerMask) == kPointerMask) {
            const std::size_t target = ((length & 0x3Fu) << 8) | labels.u8();
            // Only strictly backwards jumps, below every earlier jump: no loops.
            if (!labels.ok() || ++pointers > kMaxPointers || target >= lowestJump)
                return std::nullopt;
            if (!resumeAt)
                resumeAt = labels.offset();
            lowestJump = target;
            labels.seek(target);
            continue;
        }
        if ((length & kPointerMask) != 0)
            return std::nullopt;
        if (length == 0)
            break;
        total += 1u + length;
        if (total > kMaxNameLength)
            return std::nullopt;
        const auto label = labels.bytes(length);
        if (!labels.ok())
            return std::nullopt;
        if (name)
            continue; // scope label
        if (length != kEncodedLength)
            return std::nullopt;
        std::array<std::uint8_t, kLength> bytes{};
        for (std::size_t i = 0; i < kEncodedLength; ++i) {
            const int nibble = label[i] - 'A';
            if (nibble < 0 || nibble > 15)
                return std::nullopt;
            bytes[i / 2] = static_cast<std::uint8_t>((bytes[i / 2] << 4) | nibble);
        }
        name = NetbiosName(bytes);
    }
    if (!name)
        return std::nullopt;
    in.seek(resumeAt ? *resumeAt : labels.offset());
    return name;
}
