#include "protocol/OemText.h"

#include <algorithm>
#include <array>

namespace {

// CP850 bytes 0x80 to 0xFF; 0x00 to 0x7F are ASCII.
constexpr std::array<char16_t, 128> kUpperHalf = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, // 0x80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5, //
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, // 0x90
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192, //
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, // 0xA0
    0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, //
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0, // 0xB0
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510, //
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3, // 0xC0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4, //
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE, // 0xD0
    0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580, //
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE, // 0xE0
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4, //
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8, // 0xF0
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0, //
};

constexpr std::uint8_t kReplacement = '?';

// The CP850 byte for a UTF-16 code unit, or -1 when the code page lacks it.
int byteFor(char16_t unit)
{
    if (unit < 0x80)
        return unit;
    const auto at = std::find(kUpperHalf.begin(), kUpperHalf.end(), unit);
    return at == kUpperHalf.end() ? -1 : static_cast<int>(0x80 + (at - kUpperHalf.begin()));
}

char16_t upperOf(char16_t unit)
{
    if (unit >= u'a' && unit <= u'z')
        return static_cast<char16_t>(unit - 0x20);
    // Latin-1 lower-case letters sit 0x20 above their capitals, except the division sign and
    // the y with diaeresis (whose capital is elsewhere and missing from CP850).
    if (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7)
        return static_cast<char16_t>(unit - 0x20);
    return unit;
}

template <typename Emit> void convert(std::u16string_view text, Emit emit)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        // A surrogate pair: high half, then low half.
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            ++i;
            emit(i, kReplacement);
            continue;
        }
        const int byte = byteFor(unit);
        emit(i, byte < 0 ? kReplacement : static_cast<std::uint8_t>(byte));
    }
}

} // namespace

namespace OemText {

std::vector<std::uint8_t> fromUtf16(std::u16string_view text)
{
    std::vector<std::uint8_t> out;
    out.reserve(text.size());
    convert(text, [&](std::size_t, std::uint8_t byte) { out.push_back(byte); });
    return out;
}

std::vector<std::uint8_t> messageFromUtf16(std::u16string_view text)
{
    std::vector<std::uint8_t> out;
    out.reserve(text.size() + text.size() / 8);
    convert(text, [&](std::size_t index, std::uint8_t byte) {
        // The LF of a CR LF pair was written with its CR.
        if (byte == '\n' && index > 0 && text[index - 1] == u'\r')
            return;
        if (byte == '\r' || byte == '\n')
            out.push_back('\r');
        out.push_back(byte == '\r' ? '\n' : byte);
    });
    return out;
}

std::size_t replacedCount(std::u16string_view text)
{
    std::size_t count = 0;
    convert(text, [&](std::size_t index, std::uint8_t byte) {
        if (byte == kReplacement && text[index] != u'?')
            ++count;
    });
    return count;
}

std::u16string toUtf16(std::span<const std::uint8_t> bytes)
{
    std::u16string out;
    out.reserve(bytes.size());
    for (const std::uint8_t byte : bytes)
        out.push_back(byte < 0x80 ? char16_t(byte) : kUpperHalf[byte - 0x80]);
    return out;
}

std::u16string upperCased(std::u16string_view text)
{
    std::u16string out(text);
    for (char16_t& unit : out) {
        const char16_t upper = upperOf(unit);
        if (upper != unit && byteFor(upper) >= 0)
            unit = upper;
    }
    return out;
}

} // namespace OemText
