// The import directory's reader on arbitrary bytes as a module file: it must
// stay within them (ASan), and what it accepts must be names a host could
// import: non-empty, without their NUL, within the reader's bound.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/CallerLayout.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  qel::FileImageReader image(bytes);
  std::vector<std::string> names;
  if (qel::ReadImportedNames(image, &names)) {
    for (const std::string& name : names) {
      QEL_FUZZ_CHECK(!name.empty() && name.size() < 260);
      QEL_FUZZ_CHECK(name.find('\0') == std::string::npos);
    }
    const qel::ImportVerdict verdict = qel::LayoutOfImports(names);
    QEL_FUZZ_CHECK(verdict.kind == qel::ImportVerdict::Kind::kNone || !verdict.dll.empty());
  }
  return 0;
}
