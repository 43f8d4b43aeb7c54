// Wide text for the host system around the hosted platform (file names, JSON):
// standard UTF-8, unlike the plug-in's own codec.
#pragma once

#include <string>

namespace qel {

// Surrogate pairs become one four-byte character; a lone surrogate, which no
// UTF-8 text may hold, becomes U+FFFD.
std::string ToStandardUtf8(const std::u16string& text);

// |text| with its ASCII letters in upper case: how Windows compares the names
// of files and registry keys.
std::string UpperAscii(std::string text);

}  // namespace qel
