// Windows-1252, the ANSI code page of Western European Windows, exactly as
// Windows converts it: 0x80-0x9F carry the typographic characters, and the five
// bytes the standard leaves unassigned (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to
// the C1 control characters of the same value, both ways.
#pragma once

#include <cstdint>
#include <optional>

namespace qel {

char16_t Cp1252ToUnicode(uint8_t byte);
// Cp1252FromUnicode of a unit from 0x80 on.
std::optional<uint8_t> Cp1252BeyondAscii(char16_t unit);
// std::nullopt when the code page cannot represent the unit. ASCII, nearly
// all the text that is converted, takes no call.
inline std::optional<uint8_t> Cp1252FromUnicode(char16_t unit) {
  return unit < 0x80 ? std::optional<uint8_t>(static_cast<uint8_t>(unit)) : Cp1252BeyondAscii(unit);
}

}  // namespace qel
