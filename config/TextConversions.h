// Conversions between the plug-in's wide text (16-bit units) and narrow text.
//
// The UTF-8 pair is the plug-in's own codec and deliberately not the standard
// one at its edges: every 16-bit unit is encoded on its own (a surrogate pair
// becomes six bytes), nothing is validated, overlong forms are accepted and
// longer sequences keep only the low 16 bits of their code point. Stored
// properties files and peers rely on exactly these rules.
//
// The ANSI pair hands the work to the platform's conversion in the system
// ANSI code page.
#pragma once

#include <string>

#include "platform/Platform.h"

namespace qel {

// Takes the units up to the first NUL unit.
std::string WideToUtf8(const std::u16string& text);
// Takes the bytes up to the first NUL byte.
std::u16string Utf8ToWide(const std::string& text);
// Takes the units up to the first NUL unit; what the code page cannot
// represent becomes its default character.
std::string WideToAnsi(Platform& platform, const std::u16string& text);
// Takes the whole string, NUL bytes included.
std::u16string AnsiToWide(Platform& platform, const std::string& text);

}  // namespace qel
