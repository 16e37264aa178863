#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Text in the OEM code page CP850 (Western European), which is what the message commands carry
// and what Samba's receiver expects by default.
namespace OemText {

// Characters CP850 lacks (and every unpaired surrogate or pair) become '?'.
std::vector<std::uint8_t> fromUtf16(std::u16string_view text);

// Message body: as fromUtf16, and every line break (CR, LF or CR LF) becomes CR LF.
std::vector<std::uint8_t> messageFromUtf16(std::u16string_view text);

// How many characters fromUtf16 turns into '?' (a surrogate pair counts once).
std::size_t replacedCount(std::u16string_view text);

std::u16string toUtf16(std::span<const std::uint8_t> bytes);

// Upper case as far as CP850 has the upper-case letter; others stay as they are.
std::u16string upperCased(std::u16string_view text);

} // namespace OemText
