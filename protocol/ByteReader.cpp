#include "protocol/ByteReader.h"

std::span<const std::uint8_t> ByteReader::bytes(std::size_t count)
{
    if (!m_ok || count > m_data.size() - m_offset) {
        m_ok = false;
        return {};
    }
    m_offset += count;
    return m_data.subspan(m_offset - count, count);
}

std::uint8_t ByteReader::u8()
{
    const auto b = bytes(1);
    return b.empty() ? 0 : b[0];
}

std::uint16_t ByteReader::u16be()
{
    const auto b = bytes(2);
    return b.empty() ? 0 : static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}

std::uint16_t ByteReader::u16le()
{
    const auto b = bytes(2);
    return b.empty() ? 0 : static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

std::uint32_t ByteReader::u32be()
{
    const std::uint32_t high = u16be();
    const std::uint32_t low = u16be();
    return m_ok ? (high << 16) | low : 0;
}

std::uint32_t ByteReader::u32le()
{
    const std::uint32_t low = u16le();
    const std::uint32_t high = u16le();
    return m_ok ? (high << 16) | low : 0;
}

void ByteReader::seek(std::size_t offset)
{
    m_ok = m_ok && offset <= m_data.size();
    if (m_ok)
        m_offset = offset;
}
