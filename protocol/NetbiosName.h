#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

class ByteReader;
class ByteWriter;

// A 16-byte NetBIOS name: 15 bytes of OEM name padded with spaces, then the suffix byte that
// names the service (0x03 messenger, 0x00 workstation). RFC 1001 section 14, RFC 1002 4.1.
class NetbiosName
{
public:
    static constexpr std::size_t kLength = 16;
    static constexpr std::size_t kMaxNameBytes = 15;
    static constexpr std::uint8_t kMessengerSuffix = 0x03;
    static constexpr std::uint8_t kWorkstationSuffix = 0x00;

    NetbiosName() { m_bytes.fill(0); }
    explicit NetbiosName(const std::array<std::uint8_t, kLength>& bytes) : m_bytes(bytes) {}

    // name holds at most 15 OEM bytes; longer input is cut (callers validate before).
    static NetbiosName fromOem(std::span<const std::uint8_t> name, std::uint8_t suffix,
                               std::uint8_t pad = ' ');
    // The node-status wildcard: '*' and fifteen NULs.
    static NetbiosName wildcard();

    const std::array<std::uint8_t, kLength>& bytes() const { return m_bytes; }
    std::uint8_t suffix() const { return m_bytes[15]; }
    // The first 15 bytes without trailing spaces and NULs.
    std::string trimmedName() const;

    // First level: each nibble as 'A' + nibble, 32 characters.
    std::string firstLevel() const;
    // Second level: a 32-byte label and the empty (root) label; no scope.
    void write(ByteWriter& out) const;
    // Reads a second-level name at the reader's position. Follows compression pointers
    // (a bounded number, each pointing backwards); a scope after the name is accepted and
    // ignored. Leaves the reader after the name as it appears at that position.
    static std::optional<NetbiosName> read(ByteReader& in);

    bool operator==(const NetbiosName&) const = default;

private:
    std::array<std::uint8_t, kLength> m_bytes;
};
