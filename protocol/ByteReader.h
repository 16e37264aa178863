#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Reads wire fields from untrusted bytes. Every read checks the remaining length first; after
// the first failed read the reader stays failed and returns zeros, so a decoder can read a
// whole layout and check ok() once.
class ByteReader
{
public:
    explicit ByteReader(std::span<const std::uint8_t> data) : m_data(data) {}

    std::uint8_t u8();
    std::uint16_t u16be();
    std::uint16_t u16le();
    std::uint32_t u32be();
    std::uint32_t u32le();
    // The next count bytes, or an empty span (and failure) when fewer remain.
    std::span<const std::uint8_t> bytes(std::size_t count);
    void skip(std::size_t count) { bytes(count); }
    void seek(std::size_t offset);

    bool ok() const { return m_ok; }
    std::size_t offset() const { return m_offset; }
    std::size_t remaining() const { return m_ok ? m_data.size() - m_offset : 0; }
    std::span<const std::uint8_t> whole() const { return m_data; }

private:
    std::span<const std::uint8_t> m_data;
    std::size_t m_offset = 0;
    bool m_ok = true;
};
