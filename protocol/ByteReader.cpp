#include "protocol/ByteReader.h"

bool ByteReader::take(std::size_t count)
{
    if (!m_ok || count > m_data.size() - m_offset) {
        m_ok = false;
        return false;
    }
    return true;
}

std::uint8_t ByteReader::u8()
{
    if (!take(1))
        return 0;
    return m_data[m_offset++];
}

std::uint16_t ByteReader::u16be()
{
    if (!take(2))
        return 0;
    const auto value = static_cast<std::uint16_t>((m_data[m_offset] << 8) | m_data[m_offset + 1]);
    m_offset += 2;
    return value;
}

std::uint16_t ByteReader::u16le()
{
    if (!take(2))
        return 0;
    const auto value = static_cast<std::uint16_t>(m_data[m_offset] | (m_data[m_offset + 1] << 8));
    m_offset += 2;
    return value;
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

std::span<const std::uint8_t> ByteReader::bytes(std::size_t count)
{
    if (!take(count))
        return {};
    const auto part = m_data.subspan(m_offset, count);
    m_offset += count;
    return part;
}

void ByteReader::seek(std::size_t offset)
{
    if (!m_ok || offset > m_data.size()) {
        m_ok = false;
        return;
    }
    m_offset = offset;
}
