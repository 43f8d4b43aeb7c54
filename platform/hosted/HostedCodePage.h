// WideCharToMultiByte and MultiByteToWideChar as Windows answers them for the
// ANSI code page, Windows-1252: the size queries, the short-buffer failure and
// the default character. Every other code page, and every flag, is left out.
#pragma once

#include <cstdint>

namespace qel {

int HostedWideCharToMultiByte(uint32_t codePage, const char16_t* wide, int wideLength, char* out,
                              int outSize, const char* defaultChar, int* usedDefault);
int HostedMultiByteToWideChar(uint32_t codePage, const char* narrow, int narrowLength,
                              char16_t* out, int outSize);

}  // namespace qel
