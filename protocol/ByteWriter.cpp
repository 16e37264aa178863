#include "protocol/ByteWriter.h"

void ByteWriter::put(std::uint32_t value, int size, bool bigEndian)
{
    for (int i = 0; i < size; ++i)
        u8(static_cast<std::uint8_t>(value >> 8 * (bigEndian ? size - 1 - i : i)));
}

void ByteWriter::bytes(std::span<const std::uint8_t> data)
{
    m_bytes.insert(m_bytes.end(), data.begin(), data.end());
}

void ByteWriter::patchU16be(std::size_t offset, std::uint16_t value)
{
    m_bytes.at(offset) = static_cast<std::uint8_t>(value >> 8);
    m_bytes.at(offset + 1) = static_cast<std::uint8_t>(value);
}
