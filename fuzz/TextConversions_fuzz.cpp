// The UTF-8 codec on arbitrary bytes, taken once as narrow text and once as
// 16-bit units.
#include <algorithm>
#include <cstdint>
#include <string>

#include "config/TextConversions.h"
#include "fuzz/FuzzCheck.h"

namespace {

void CheckUtf8ToWide(const std::string& narrow) {
  const std::u16string wide = qel::Utf8ToWide(narrow);
  const size_t taken = std::min(narrow.find('\0'), narrow.size());
  // Each unit comes from a sequence of at least one byte, and bytes remain
  // only while units are appended.
  QEL_FUZZ_CHECK(wide.size() <= taken);
  QEL_FUZZ_CHECK(wide.empty() == (taken == 0));
  // Nothing after the first NUL may count, not even for a sequence that the
  // NUL cuts short: bytes that would complete it must change nothing.
  std::string cut = narrow.substr(0, taken);
  cut.append(1, '\0').append("\x80\xBF\x80\xBF\x80\xBF");
  QEL_FUZZ_CHECK(qel::Utf8ToWide(cut) == wide);
}

void CheckRoundTrip(const uint8_t* data, size_t size) {
  std::u16string units;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const auto unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (unit != 0) units += unit;
  }
  const std::string utf8 = qel::WideToUtf8(units);
  QEL_FUZZ_CHECK(utf8.find('\0') == std::string::npos);
  QEL_FUZZ_CHECK(utf8.size() >= units.size() && utf8.size() <= 3 * units.size());
  // Stored files and peers depend on getting every unit back, surrogates
  // included.
  QEL_FUZZ_CHECK(qel::Utf8ToWide(utf8) == units);
  // A NUL unit ends what is taken.
  QEL_FUZZ_CHECK(qel::WideToUtf8(units + u'\0' + u"\uFFFF") == utf8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckUtf8ToWide(std::string(reinterpret_cast<const char*>(data), size));
  CheckRoundTrip(data, size);
  return 0;
}
