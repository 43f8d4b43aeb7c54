// The hosted platform's PE resource reader on arbitrary file bytes, queried as
// the string loads, the locale selection, the resource enumerations and
// qelevent-tool send (the version texts) do.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "platform/hosted/PeResources.h"

namespace {

using qel::MakeIntResource;
using qel::ResourceName;

void CheckString(const qel::PeResources& resources, uint32_t id) {
  if (auto text = resources.String(id)) QEL_FUZZ_CHECK(!text->empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> file(data, data + size);
  const auto resources = qel::PeResources::Parse(file);
  if (!resources) return 0;

  const ResourceName types[] = {
      qel::kRtString, MakeIntResource(10), MakeIntResource(16), "#6", "TEXT", "text", "#"};
  for (ResourceName type : types) {
    for (ResourceName name : resources->Names(type)) {
      if (!qel::IsIntResource(name)) {
        // A text name must be a terminated string inside the object.
        QEL_FUZZ_CHECK(std::strlen(name) < 0x10000);
      }
      const std::vector<uint16_t> languages = resources->Languages(type, name);
      (void)languages;
      // The string blocks a table names are where its strings are looked up.
      if (type == qel::kRtString && qel::IsIntResource(name) && qel::ResourceId(name) != 0) {
        const uint32_t first = (qel::ResourceId(name) - 1u) * 16u;
        for (uint32_t id = first; id < first + 16; ++id) CheckString(*resources, id);
      }
    }
  }
  for (uint32_t id : {0u, 1000u, 1001u, 1020u, 1021u, 0xFFFFu, 0x10000u + 1000u, 0xFFFFFFFFu}) {
    CheckString(*resources, id);
  }
  // A version text runs to its NUL and holds none.
  for (const char16_t* name : {u"FileDescription", u"ProductVersion", u""}) {
    if (auto text = resources->VersionString(name)) {
      QEL_FUZZ_CHECK(text->find(u'\0') == std::u16string::npos);
    }
  }
  return 0;
}
