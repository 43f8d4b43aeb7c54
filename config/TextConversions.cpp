#include "config/TextConversions.h"

namespace qel {

std::string WideToUtf8(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t unit : text) {
    if (unit == 0) break;
    if (unit < 0x80) {
      out += static_cast<char>(unit);
    } else if (unit < 0x800) {
      out += static_cast<char>(0xC0 | (unit >> 6));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (unit >> 12));
      out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return out;
}

std::u16string Utf8ToWide(const std::string& text) {
  const size_t n = text.find('\0') == std::string::npos ? text.size() : text.find('\0');
  auto at = [&](size_t i) -> unsigned { return static_cast<unsigned char>(text[i]); };
  // The low 16 bits of a sequence whose last three bytes start at |i|.
  auto lastThree = [&](size_t i) {
    return static_cast<char16_t>(((at(i) & 0x0F) << 12) | ((at(i + 1) & 0x3F) << 6) |
                                 (at(i + 2) & 0x3F));
  };
  std::u16string out;
  out.reserve(n);
  size_t i = 0;
  while (i < n) {
    const unsigned b = at(i);
    if (b < 0x80) {
      out += static_cast<char16_t>(b);
      i += 1;
    } else if (b >= 0xC0 && b <= 0xDF && i + 1 < n) {
      out += static_cast<char16_t>(((b & 0x1F) << 6) | (at(i + 1) & 0x3F));
      i += 2;
    } else if (b >= 0xE0 && b <= 0xEF && i + 2 < n) {
      out += lastThree(i);
      i += 3;
    } else if (b >= 0xF0 && b <= 0xF7 && i + 3 < n) {
      out += lastThree(i + 1);
      i += 4;
    } else if (b >= 0xF8 && b <= 0xFB && i + 4 < n) {
      out += lastThree(i + 2);
      i += 5;
    } else if (i + 5 < n) {
      out += lastThree(i + 3);
      i += 6;
    } else {
      // A sequence cut off by the end of the input: one unit for what is
      // there, never a read past it. U+FFFD says plainly that it was cut.
      out += u'\uFFFD';
      break;
    }
  }
  return out;
}

std::string WideToAnsi(Platform& platform, const std::u16string& text) {
  const std::u16string units = text.substr(0, text.find(u'\0'));
  if (units.empty()) return std::string();
  const int length = static_cast<int>(units.size());
  int size =
      platform.WideCharToMultiByte(kCpAcp, 0, units.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string out(static_cast<size_t>(size), '\0');
  int written = platform.WideCharToMultiByte(kCpAcp, 0, units.data(), length, &out[0], size,
                                             nullptr, nullptr);
  if (written <= 0) return std::string();
  out.resize(static_cast<size_t>(written));
  return out;
}

std::u16string AnsiToWide(Platform& platform, const std::string& text) {
  if (text.empty()) return std::u16string();
  const int length = static_cast<int>(text.size());
  int size = platform.MultiByteToWideChar(kCpAcp, kMbPrecomposed, text.data(), length, nullptr, 0);
  if (size <= 0) return std::u16string();
  std::u16string out(static_cast<size_t>(size), u'\0');
  int written =
      platform.MultiByteToWideChar(kCpAcp, kMbPrecomposed, text.data(), length, &out[0], size);
  if (written <= 0) return std::u16string();
  out.resize(static_cast<size_t>(written));
  return out;
}

}  // namespace qel
