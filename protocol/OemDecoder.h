#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// Turns the OEM bytes a sender puts in names and message text into UTF-8. Single-byte code
// pages only: one table entry per byte value.
class OemDecoder
{
public:
    using Table = std::array<char32_t, 256>;

    // CP850, what the message commands carry by default and what Samba assumes.
    OemDecoder();
    explicit OemDecoder(const Table& table) : m_table(table) {}

    // A name (originator, destination, calling): NULs dropped, and every other control
    // character (line break, tab...) becomes U+FFFD, so that a name is always one line.
    std::string name(std::span<const std::uint8_t> bytes) const;

    // Message text. CR LF, LF CR, CR, LF and 0x14 (the line break Windows senders send) each
    // become one "\n", pairs matched left to right; NULs are dropped.
    std::string text(std::span<const std::uint8_t> bytes) const;

private:
    Table m_table;
};

namespace Utf8 {

void append(std::string& out, char32_t codePoint);

// The code point of the UTF-8 sequence at text[at], moving at past it. An invalid or cut
// sequence gives U+FFFD and moves one byte on.
char32_t next(std::string_view text, std::size_t& at);

// The same line-break rule for text that is already Unicode (a message handed in as UTF-8):
// CR LF, LF CR, CR and LF each become "\n"; NULs are dropped; invalid UTF-8 becomes U+FFFD.
std::string normalisedText(std::string_view utf8);

// The name rule for a name that is already Unicode (a hand-in's sender and machine): as
// OemDecoder::name; invalid UTF-8 becomes U+FFFD.
std::string name(std::string_view utf8);

// C0 controls, DEL and C1 controls.
bool isControl(char32_t c);

// Characters that reorder or hide the text around them: bidi marks, embeddings, overrides and
// isolates, zero-width and invisible operators, line and paragraph separators, the BOM. Where
// network text is printed they are shown as U+FFFD, so that what a reader sees is what came.
bool isHiddenFormat(char32_t c);

// Counts code points of valid UTF-8 (invalid bytes count one each).
std::size_t codePoints(std::string_view utf8);

} // namespace Utf8
