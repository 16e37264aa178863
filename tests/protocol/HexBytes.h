#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <span>
#include <vector>

// Wire bytes written as hex text in tests: "81 00 00 44". Spaces and '|' are ignored.
inline std::vector<std::uint8_t> hexBytes(const char* text)
{
    QByteArray hex(text);
    hex.replace(' ', "").replace('|', "").replace('\n', "");
    const QByteArray raw = QByteArray::fromHex(hex);
    return std::vector<std::uint8_t>(raw.begin(), raw.end());
}

inline std::vector<std::uint8_t> asciiBytes(const char* text)
{
    const std::string_view view(text);
    return std::vector<std::uint8_t>(view.begin(), view.end());
}

inline std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts)
{
    std::vector<std::uint8_t> out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

inline QString hexText(std::span<const std::uint8_t> bytes)
{
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()))
            .toHex(' ')
            .toUpper());
}
