// The layout of a caller's strings found from its imports: the decision over
// the names, the import directory read from an image that may be broken, and
// the registry value that names a layout where the imports do not.
#include "bridge/CallerLayout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bridge/EventLogReports.h"
#include "config/InstallPaths.h"
#include "platform/hosted/HostedPlatform.h"
#include "support/PeImageBuilder.h"

namespace qel {
namespace {

using test::PeImage;

TEST(CallerLayout, TheImportedNamesDecide) {
  using Kind = ImportVerdict::Kind;
  using L = HostStringLayout;
  struct Row {
    std::vector<std::string> imports;
    Kind kind;
    L layout;
    const char* dll;
  };
  const Row rows[] = {
      {{"KERNEL32.dll", "MSVCP60.dll", "MSVCRT.dll"}, Kind::kLayout, L::msvc6, "MSVCP60.dll"},
      {{"msvcp70.dll"}, Kind::kLayout, L::msvc7, "msvcp70.dll"},
      {{"MSVCR71.dll", "MSVCP71.dll"}, Kind::kLayout, L::msvc7, "MSVCP71.dll"},
      {{"MSVCP80.dll"}, Kind::kLayout, L::msvc7, "MSVCP80.dll"},
      {{"msvcp90.DLL"}, Kind::kLayout, L::msvc7, "msvcp90.DLL"},
      {{"MSVCP100.dll"}, Kind::kLayout, L::msvc10, "MSVCP100.dll"},
      {{"msvcp110.dll"}, Kind::kLayout, L::msvc10, "msvcp110.dll"},
      {{"MSVCP140.dll", "VCRUNTIME140.dll"}, Kind::kLayout, L::msvc10, "MSVCP140.dll"},
      {{"msvcp140_1.dll"}, Kind::kLayout, L::msvc10, "msvcp140_1.dll"},
      {{"msvcp140_atomic_wait.dll"}, Kind::kLayout, L::msvc10, "msvcp140_atomic_wait.dll"},
      {{"libgcc_s_dw2-1.dll", "libstdc++-6.dll"}, Kind::kLayout, L::mingw, "libstdc++-6.dll"},
      // The C++ library decides over the C runtime, whichever comes first.
      {{"MSVCR100.dll", "MSVCP60.dll"}, Kind::kLayout, L::msvc6, "MSVCP60.dll"},
      // A C runtime alone names its compiler too.
      {{"MSVCR70.dll"}, Kind::kLayout, L::msvc7, "MSVCR70.dll"},
      {{"MSVCR90.dll"}, Kind::kLayout, L::msvc7, "MSVCR90.dll"},
      {{"MSVCR100.dll"}, Kind::kLayout, L::msvc10, "MSVCR100.dll"},
      {{"msvcr120.dll"}, Kind::kLayout, L::msvc10, "msvcr120.dll"},
      {{"VCRUNTIME140.dll"}, Kind::kLayout, L::msvc10, "VCRUNTIME140.dll"},
      {{"vcruntime140_1.dll"}, Kind::kLayout, L::msvc10, "vcruntime140_1.dll"},
      // Debug libraries: refused.
      {{"MSVCP90D.dll"}, Kind::kDebugLibrary, L::msvc6, "MSVCP90D.dll"},
      {{"msvcp60d.dll"}, Kind::kDebugLibrary, L::msvc6, "msvcp60d.dll"},
      {{"MSVCP140D.dll"}, Kind::kDebugLibrary, L::msvc6, "MSVCP140D.dll"},
      {{"msvcp140d_atomic_wait.dll"}, Kind::kDebugLibrary, L::msvc6, "msvcp140d_atomic_wait.dll"},
      {{"msvcp140_1d.dll"}, Kind::kDebugLibrary, L::msvc6, "msvcp140_1d.dll"},
      {{"MSVCR100D.dll"}, Kind::kDebugLibrary, L::msvc6, "MSVCR100D.dll"},
      {{"VCRUNTIME140D.dll"}, Kind::kDebugLibrary, L::msvc6, "VCRUNTIME140D.dll"},
      {{"MSVCRTD.dll"}, Kind::kDebugLibrary, L::msvc6, "MSVCRTD.dll"},
      // Nothing that names a compiler.
      {{"msvcrt.dll", "KERNEL32.dll", "USER32.dll"}, Kind::kNone, L::msvc6, ""},
      {{}, Kind::kNone, L::msvc6, ""},
      {{"msvcp50.dll", "msvcr40.dll", "msvcp.dll", "msvcpx.dll", "msvcp90"},
       Kind::kNone,
       L::msvc6,
       ""},
      {{"libstdc++-7.dll", "vcruntime.dll"}, Kind::kNone, L::msvc6, ""},
  };
  for (const Row& row : rows) {
    std::string names;
    for (const std::string& name : row.imports) names += name + " ";
    const ImportVerdict verdict = LayoutOfImports(row.imports);
    EXPECT_EQ(verdict.kind, row.kind) << names;
    if (row.kind == Kind::kLayout) {
      EXPECT_EQ(verdict.layout, row.layout) << names;
    }
    EXPECT_EQ(verdict.dll, row.dll) << names;
  }
}

TEST(CallerLayout, TheRegistryValueOverridesAndAnInvalidOneIsIgnored) {
  using Source = LayoutChoice::Source;
  const ImportVerdict msvcp80{ImportVerdict::Kind::kLayout, HostStringLayout::msvc7, "MSVCP80.dll"};
  const ImportVerdict debug{ImportVerdict::Kind::kDebugLibrary, HostStringLayout::msvc6,
                            "msvcp90d.dll"};
  const ImportVerdict none{};
  struct Row {
    ImportVerdict imports;
    std::optional<std::string> value;
    Source source;
    HostStringLayout layout;
    bool invalid;
  };
  const Row rows[] = {
      {msvcp80, std::nullopt, Source::kImports, HostStringLayout::msvc7, false},
      {msvcp80, "msvc10", Source::kRegistry, HostStringLayout::msvc10, false},
      {msvcp80, "vc8", Source::kImports, HostStringLayout::msvc7, true},
      {none, std::nullopt, Source::kBuiltIn, HostStringLayout::msvc6, false},
      {none, "mingw", Source::kRegistry, HostStringLayout::mingw, false},
      {none, "", Source::kBuiltIn, HostStringLayout::msvc6, true},
      {debug, std::nullopt, Source::kRefused, HostStringLayout::msvc6, false},
      {debug, "msvc7", Source::kRegistry, HostStringLayout::msvc7, false},
      {debug, "MSVC7", Source::kRefused, HostStringLayout::msvc6, true},
  };
  for (const Row& row : rows) {
    const LayoutChoice choice = ChooseLayout(row.imports, false, row.value);
    const std::string what = row.imports.dll + " / " + row.value.value_or("(no value)");
    EXPECT_EQ(choice.source, row.source) << what;
    if (row.source != Source::kRefused) {
      EXPECT_EQ(choice.layout, row.layout) << what;
    }
    EXPECT_EQ(choice.invalidValue.has_value(), row.invalid) << what;
  }
  EXPECT_EQ(LayoutChoiceText("host.exe", ChooseLayout(msvcp80, false, std::nullopt)),
            "host.exe imports MSVCP80.dll: its strings are read as Visual C++ 2002-2008's (msvc7)");
}

// A caller's headers are untrusted: every broken or cut image is refused
// without a read outside it, as a file and in memory.
TEST(CallerLayout, ABrokenImportDirectoryIsRefusedSafely) {
  struct Row {
    const char* what;
    void (*breakIt)(std::vector<uint8_t>& mapped);
  };
  const Row rows[] = {
      {"no MZ", [](std::vector<uint8_t>& m) { m[0] = 'X'; }},
      {"e_lfanew past the end",
       [](std::vector<uint8_t>& m) { PeImage::Put32(m, 0x3C, 0xFFFFFFF0); }},
      {"no PE signature", [](std::vector<uint8_t>& m) { m[PeImage::kPe] = 'Q'; }},
      {"neither PE32 nor PE32+",
       [](std::vector<uint8_t>& m) { PeImage::Put16(m, PeImage::kOptional, 0x107); }},
      {"optional header too short for the directories",
       [](std::vector<uint8_t>& m) { PeImage::Put16(m, PeImage::kPe + 20, 90); }},
      {"import directory past the image",
       [](std::vector<uint8_t>& m) { PeImage::Put32(m, PeImage::kImportEntry, 0x7FFFFFF0); }},
      {"import directory at the top of the address space",
       [](std::vector<uint8_t>& m) { PeImage::Put32(m, PeImage::kImportEntry, 0xFFFFFFFC); }},
      {"name past the image",
       [](std::vector<uint8_t>& m) { PeImage::Put32(m, PeImage::kSection + 12, 0x00FFFFFF); }},
      {"name without its NUL",
       [](std::vector<uint8_t>& m) {
         std::memset(m.data() + PeImage::kNames, 'a', m.size() - PeImage::kNames);
       }},
      {"no terminating descriptor",
       [](std::vector<uint8_t>& m) {
         // Descriptors to the end of the image, each naming a DLL whose
         // name lies in the headers, where none of them overwrites it.
         constexpr uint32_t kName = 0x180;
         std::memcpy(m.data() + kName, "MSVCP90.dll", 12);
         for (size_t at = PeImage::kSection; at + 20 <= m.size(); at += 20) {
           std::memset(m.data() + at, 0, 20);
           PeImage::Put32(m, at + 12, kName);
         }
       }},
  };
  const PeImage image({"MSVCP90.dll"});
  for (const Row& row : rows) {
    std::vector<uint8_t> mapped = image.Mapped();
    row.breakIt(mapped);
    HostedPlatform platform;
    platform.MarkMemory(mapped.data(), mapped.size(), kMemCommit, kPageReadOnly);
    CallerLayouts callers(platform, &CallUnguarded, nullptr);
    const LayoutChoice choice = callers.Decide(mapped.data());
    EXPECT_TRUE(choice.importsUnreadable) << row.what;
    EXPECT_EQ(choice.source, LayoutChoice::Source::kBuiltIn) << row.what;
    const std::string bytes = PeImage::FileOf(mapped);
    FileImageReader file(bytes);
    std::vector<std::string> names;
    EXPECT_FALSE(ReadImportedNames(file, &names)) << row.what;
  }
  // Cut short anywhere before the last name's NUL: refused, never read
  // past the end; cut after it, read whole.
  const std::string whole = image.File();
  const size_t needed = PeImage::kHeaders + (PeImage::kNames - PeImage::kSection) + 12;
  for (size_t size = 0; size < whole.size(); ++size) {
    const std::string cut = whole.substr(0, size);
    FileImageReader file(cut);
    std::vector<std::string> names;
    EXPECT_EQ(ReadImportedNames(file, &names), size >= needed) << size;
    if (size >= needed) {
      EXPECT_EQ(names, std::vector<std::string>{"MSVCP90.dll"}) << size;
    }
  }
}

// In memory the system is asked before each read: a guard page or memory of
// another allocation inside the directory refuses it, untouched.
TEST(CallerLayout, MemoryThatIsNotTheModulesIsNotRead) {
  const PeImage image({"MSVCP90.dll"});
  for (const uint32_t protect : {kPageNoAccess, kPageReadOnly | kPageGuard}) {
    std::vector<uint8_t> mapped = image.Mapped();
    HostedPlatform platform;
    platform.MarkMemory(mapped.data(), mapped.size(), kMemCommit, kPageReadOnly);
    platform.MarkMemory(mapped.data() + PeImage::kNames + 4, 4, kMemCommit, protect);
    CallerLayouts callers(platform, &CallUnguarded, nullptr);
    EXPECT_TRUE(callers.Decide(mapped.data()).importsUnreadable) << protect;
  }
  // The region holding the names begins an allocation of its own.
  std::vector<uint8_t> mapped = image.Mapped();
  HostedPlatform platform;
  platform.MarkMemory(mapped.data(), PeImage::kSection, kMemCommit, kPageReadOnly);
  platform.MarkMemory(mapped.data() + PeImage::kSection, mapped.size() - PeImage::kSection,
                      kMemCommit, kPageReadOnly);
  CallerLayouts callers(platform, &CallUnguarded, nullptr);
  EXPECT_TRUE(callers.Decide(mapped.data()).importsUnreadable);
}

std::vector<uint32_t> EventIds(const HostedPlatform& platform) {
  std::vector<uint32_t> ids;
  for (const EventLogEntry& entry : platform.EventLogEntries()) ids.push_back(entry.eventId);
  return ids;
}

// Each module is decided at its first call, remembered for its whole image
// and reported once; the registry is read for it then, not again.
TEST(CallerLayout, EachModuleIsDecidedOnceAndReportedOnce) {
  HostedPlatform platform;
  EventLogReporter reporter(platform);
  CallerLayouts callers(platform, &CallUnguarded, &reporter);
  std::vector<uint8_t> host = PeImage({"MSVCP80.dll"}).Mapped();
  std::vector<uint8_t> plain = PeImage({"msvcrt.dll"}).Mapped();
  std::vector<uint8_t> debug = PeImage({"MSVCP90D.dll"}).Mapped();
  std::vector<uint8_t> later = PeImage({"MSVCP80.dll"}).Mapped();
  for (std::vector<uint8_t>* image : {&host, &plain, &debug, &later}) {
    platform.MarkMemory(image->data(), image->size(), kMemCommit, kPageReadOnly);
  }
  platform.Registry().SetString(kProductKey, kHostStringLayoutValue, "msvc11");

  EXPECT_EQ(callers.LayoutFor(host.data() + 0x1234), HostStringLayout::msvc7);
  EXPECT_EQ(callers.LayoutFor(plain.data() + 0x1010), HostStringLayout::msvc6);
  EXPECT_EQ(callers.LayoutFor(debug.data() + 0x1010), std::nullopt);
  // The value named no layout; now it does, but the modules stay decided.
  // A module decided after it follows the value, over its own imports.
  platform.Registry().SetString(kProductKey, kHostStringLayoutValue, "mingw");
  EXPECT_EQ(callers.LayoutFor(later.data() + 0x1010), HostStringLayout::mingw);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(callers.LayoutFor(host.data() + 0x1FFF), HostStringLayout::msvc7);
    EXPECT_EQ(callers.LayoutFor(plain.data() + 0x10), HostStringLayout::msvc6);
    EXPECT_EQ(callers.LayoutFor(debug.data() + 0x1010), std::nullopt);
  }
  // Each module's invalid value and choice, once; the choices within the
  // minute of the first are written all the same.
  EXPECT_EQ(EventIds(platform), (std::vector<uint32_t>{142, 140, 142, 140, 142, 141, 140}));
  const std::vector<EventLogEntry>& entries = platform.EventLogEntries();
  EXPECT_EQ(entries[0].strings[0], u"msvc11");
  EXPECT_EQ(entries[1].type, kEventLogInformationType);
  EXPECT_NE(entries[1].strings[0].find(
                u" imports MSVCP80.dll: its strings are read as Visual C++ 2002-2008's (msvc7)"),
            std::u16string::npos);
  EXPECT_NE(entries[3].strings[0].find(u"HostStringLayout names no layout: its strings are read "
                                       u"as Visual C++ 6.0's (msvc6), the built-in layout"),
            std::u16string::npos);
  EXPECT_NE(
      entries[6].strings[0].find(u"(its imports name MSVCP80.dll, which the value overrides)"),
      std::u16string::npos);
}

}  // namespace
}  // namespace qel
