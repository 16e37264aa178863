#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// Appends wire fields with an explicit byte order: NetBIOS fields are big-endian, SMB fields
// little-endian.
class ByteWriter
{
public:
    void u8(std::uint8_t value) { m_bytes.push_back(value); }
    void u16be(std::uint16_t value) { put(value, 2, true); }
    void u16le(std::uint16_t value) { put(value, 2, false); }
    void u32be(std::uint32_t value) { put(value, 4, true); }
    void u32le(std::uint32_t value) { put(value, 4, false); }
    void bytes(std::span<const std::uint8_t> data);
    void zeros(std::size_t count) { m_bytes.insert(m_bytes.end(), count, 0); }

    // Overwrites a big-endian 16-bit field written earlier (a length known only at the end).
    void patchU16be(std::size_t offset, std::uint16_t value);

    std::size_t size() const { return m_bytes.size(); }
    const std::vector<std::uint8_t>& data() const { return m_bytes; }
    std::vector<std::uint8_t> take() { return std::move(m_bytes); }

private:
    // The low size bytes of value, most significant first when bigEndian.
    void put(std::uint32_t value, int size, bool bigEndian);

    std::vector<std::uint8_t> m_bytes;
};
