#include "protocol/OemDecoder.h"

#include "protocol/OemText.h"

#include <algorithm>
#include <numeric>

namespace {

constexpr std::uint8_t kCr = 0x0D;
constexpr std::uint8_t kLf = 0x0A;
constexpr std::uint8_t kWindowsBreak = 0x14;

OemDecoder::Table cp850()
{
    std::array<std::uint8_t, 256> bytes{};
    std::iota(bytes.begin(), bytes.end(), 0);
    const std::u16string units = OemText::toUtf16(bytes);
    OemDecoder::Table table{};
    std::copy(units.begin(), units.end(), table.begin());
    return table;
}

} // namespace

char32_t Utf8::next(std::string_view text, std::size_t& at)
{
    const auto lead = static_cast<std::uint8_t>(text[at]);
    if (lead < 0x80) {
        ++at;
        return lead;
    }
    // Sequence length by the lead byte's high bits, and the least value that needs it.
    const std::size_t length = (lead & 0xE0) == 0xC0   ? 2
                               : (lead & 0xF0) == 0xE0 ? 3
                               : (lead & 0xF8) == 0xF0 ? 4
                                                       : 0;
    constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    char32_t value = lead & (0x7F >> length);
    bool valid = length != 0 && at + length <= text.size();
    for (std::size_t i = 1; valid && i < length; ++i) {
        const auto next = static_cast<std::uint8_t>(text[at + i]);
        valid = (next & 0xC0) == 0x80;
        value = (value << 6) | (next & 0x3F);
    }
    if (!valid || value < kMinimum[length] || value > 0x10FFFF ||
        (value >= 0xD800 && value <= 0xDFFF)) {
        ++at;
        return 0xFFFD;
    }
    at += length;
    return value;
}

namespace {

// A control character is what a terminal or a log reader could take for structure.
void appendNameCharacter(std::string& out, char32_t c)
{
    if (c != 0)
        Utf8::append(out, Utf8::isControl(c) ? char32_t(0xFFFD) : c);
}

// Applies the line-break rule to count code points given by next(); isLoneBreak says which
// other values stand alone as a break.
template <typename Next, typename IsBreak>
std::string normalise(std::size_t count, Next next, IsBreak isLoneBreak)
{
    std::string out;
    out.reserve(count);
    std::optional<char32_t> pending; // a CR or LF that may pair with the next one
    for (std::size_t i = 0; i < count; ++i) {
        const char32_t c = next(i);
        if (pending) {
            const bool pairs = (*pending == kCr && c == kLf) || (*pending == kLf && c == kCr);
            pending.reset();
            if (pairs)
                continue; // its break is already written
        }
        if (c == kCr || c == kLf) {
            out.push_back('\n');
            pending = c;
        } else if (isLoneBreak(c)) {
            out.push_back('\n');
        } else if (c != 0) {
            Utf8::append(out, c);
        }
    }
    return out;
}

} // namespace

OemDecoder::OemDecoder() : m_table(cp850()) {}

std::string OemDecoder::name(std::span<const std::uint8_t> bytes) const
{
    std::string out;
    for (const std::uint8_t byte : bytes) {
        if (byte != 0)
            appendNameCharacter(out, m_table[byte]);
    }
    return out;
}

std::string OemDecoder::text(std::span<const std::uint8_t> bytes) const
{
    // The break is the byte 0x14, whatever the table maps it to.
    return normalise(
        bytes.size(),
        [&](std::size_t i) -> char32_t {
            const std::uint8_t byte = bytes[i];
            if (byte == kCr || byte == kLf || byte == 0)
                return byte;
            return byte == kWindowsBreak ? char32_t(0x110000) : m_table[byte];
        },
        [](char32_t c) { return c == 0x110000; });
}

namespace Utf8 {

void append(std::string& out, char32_t c)
{
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        c = 0xFFFD;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
        return;
    }
    // The lead byte carries as many high one bits as the sequence has bytes.
    const int continuation = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    out.push_back(static_cast<char>((0xFF << (7 - continuation)) | (c >> (6 * continuation))));
    for (int shift = 6 * (continuation - 1); shift >= 0; shift -= 6)
        out.push_back(static_cast<char>(0x80 | ((c >> shift) & 0x3F)));
}

std::string normalisedText(std::string_view utf8)
{
    std::u32string points;
    points.reserve(utf8.size());
    for (std::size_t at = 0; at < utf8.size();)
        points.push_back(Utf8::next(utf8, at));
    return normalise(
        points.size(), [&](std::size_t i) { return points[i]; }, [](char32_t) { return false; });
}

std::string name(std::string_view utf8)
{
    std::string out;
    for (std::size_t at = 0; at < utf8.size();)
        appendNameCharacter(out, Utf8::next(utf8, at));
    return out;
}

bool isControl(char32_t c)
{
    return c < 0x20 || (c >= 0x7F && c < 0xA0);
}

bool isHiddenFormat(char32_t c)
{
    return c == 0x061C || c == 0x180E || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2069) || c == 0xFEFF;
}

std::size_t codePoints(std::string_view utf8)
{
    std::size_t count = 0;
    for (std::size_t at = 0; at < utf8.size(); ++count)
        Utf8::next(utf8, at);
    return count;
}

} // namespace Utf8
