// Wide text for the host system around the hosted platform (file names, JSON):
// standard UTF-8, unlike the plug-in's own codec.
#pragma once

#include <string>

namespace qel {

// Surrogate pairs become one four-byte character; a lone surrogate, which no
// UTF-8 text may hold, becomes U+FFFD.
std::string ToStandardUtf8(const std::u16string& text);

}  // namespace qel
