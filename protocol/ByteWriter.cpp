#include "protocol/ByteWriter.h"

void ByteWriter::u16be(std::uint16_t value)
{
    u8(static_cast<std::uint8_t>(value >> 8));
    u8(static_cast<std::uint8_t>(value));
}

void ByteWriter::u16le(std::uint16_t value)
{
    u8(static_cast<std::uint8_t>(value));
    u8(static_cast<std::uint8_t>(value >> 8));
}

void ByteWriter::u32be(std::uint32_t value)
{
    u16be(static_cast<std::uint16_t>(value >> 16));
    u16be(static_cast<std::uint16_t>(value));
}

void ByteWriter::u32le(std::uint32_t value)
{
    u16le(static_cast<std::uint16_t>(value));
    u16le(static_cast<std::uint16_t>(value >> 16));
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
