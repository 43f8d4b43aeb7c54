#include "bridge/CallerLayout.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "bridge/EventLogReports.h"
#include "config/InstallPaths.h"
#include "config/TextConversions.h"
#include "ipc/MessageHeader.h"

namespace qel {
namespace {

// No host imports more DLLs than this; a directory that goes on is garbage
// read as descriptors, and a name longer than a path is no DLL's.
constexpr uint32_t kMaxImports = 1024;
constexpr uint32_t kMaxNameLength = 260;
constexpr uint32_t kDescriptorSize = 20;

// Where the headers put what the import directory's reader needs.
struct PeHeaders {
  uint32_t fileHeader = 0;  // "PE\0\0" and the COFF file header
  uint32_t sections = 0;
  uint32_t sectionTable = 0;
  uint32_t sizeOfImage = 0;
  uint32_t sizeOfHeaders = 0;
  uint32_t importRva = 0;
  uint32_t importSize = 0;
};

bool Add(uint32_t a, uint32_t b, uint32_t* sum) {
  if (a > UINT32_MAX - b) return false;
  *sum = a + b;
  return true;
}

bool ReadHeaders(ImageReader& image, PeHeaders* headers) {
  uint8_t dos[64];
  if (!image.Read(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return false;
  headers->fileHeader = ReadLe32(dos + 0x3C);
  uint8_t file[24];
  if (!image.Read(headers->fileHeader, file, sizeof file) || std::memcmp(file, "PE\0\0", 4) != 0) {
    return false;
  }
  headers->sections = ReadLe16(file + 6);
  const uint32_t optionalSize = ReadLe16(file + 20);
  uint32_t optional = 0;
  if (!Add(headers->fileHeader, sizeof file, &optional) ||
      !Add(optional, optionalSize, &headers->sectionTable)) {
    return false;
  }
  uint8_t magic[2];
  if (optionalSize < 2 || !image.Read(optional, magic, sizeof magic)) return false;
  // PE32 and PE32+ differ in where the directories start; a 64-bit module
  // never calls this 32-bit DLL, but the tool may be shown one.
  uint32_t countAt = 0;
  if (ReadLe16(magic) == 0x10B) {
    countAt = 92;
  } else if (ReadLe16(magic) == 0x20B) {
    countAt = 108;
  } else {
    return false;
  }
  if (optionalSize < countAt + 4) return false;
  std::vector<uint8_t> fields(countAt + 4);
  if (!image.Read(optional, fields.data(), countAt + 4)) return false;
  headers->sizeOfImage = ReadLe32(fields.data() + 56);
  headers->sizeOfHeaders = ReadLe32(fields.data() + 60);
  const uint32_t directories = ReadLe32(fields.data() + countAt);
  // The import directory is the second entry; a module with fewer has none.
  constexpr uint32_t kImportEntryEnd = 16;
  if (directories < 2 || optionalSize < countAt + 4 + kImportEntryEnd) return true;
  uint8_t entry[8];
  if (!image.Read(optional + countAt + 4 + 8, entry, sizeof entry)) return false;
  headers->importRva = ReadLe32(entry);
  headers->importSize = ReadLe32(entry + 4);
  return true;
}

bool ReadName(ImageReader& image, uint32_t rva, std::string* name) {
  name->clear();
  for (uint32_t i = 0; i < kMaxNameLength; ++i) {
    uint32_t at = 0;
    char unit = 0;
    if (!Add(rva, i, &at) || !image.Read(at, &unit, 1)) return false;
    if (unit == '\0') return !name->empty();
    name->push_back(unit);
  }
  return false;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return lower;
}

// A name of the Microsoft libraries: |prefix|, a version number, then
// perhaps "d" (debug) and "_" with a part's name ("msvcp140_1",
// "msvcp140d_atomic_wait", "msvcp140_1d").
struct VersionedName {
  uint32_t version = 0;
  bool debug = false;
};
std::optional<VersionedName> ParseVersioned(const std::string& stem, std::string_view prefix) {
  if (stem.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  size_t at = prefix.size();
  VersionedName name;
  const size_t digits = at;
  while (at < stem.size() && stem[at] >= '0' && stem[at] <= '9' && at - digits < 4) {
    name.version = name.version * 10 + static_cast<uint32_t>(stem[at] - '0');
    ++at;
  }
  if (at == digits) return std::nullopt;
  std::string_view rest(stem);
  rest.remove_prefix(at);
  if (!rest.empty() && rest.front() == 'd') {
    name.debug = true;
    rest.remove_prefix(1);
  }
  if (!rest.empty() && rest.front() != '_') return std::nullopt;
  if (!rest.empty() && rest.back() == 'd') name.debug = true;
  return name;
}

// What one imported name says: the layout of a C++ library (rank 2) or of a
// C runtime (rank 1), a debug library, or nothing (rank 0).
struct NameVerdict {
  int rank = 0;
  ImportVerdict::Kind kind = ImportVerdict::Kind::kNone;
  HostStringLayout layout = kBuiltInHostStringLayout;
};

NameVerdict VerdictOfName(const std::string& dll) {
  const std::string name = Lower(dll);
  constexpr std::string_view kDll = ".dll";
  if (name.size() <= kDll.size() ||
      name.compare(name.size() - kDll.size(), kDll.size(), kDll) != 0) {
    return {};
  }
  const std::string stem = name.substr(0, name.size() - kDll.size());
  auto layout = [](int rank, HostStringLayout l) {
    return NameVerdict{rank, ImportVerdict::Kind::kLayout, l};
  };
  auto debug = [](int rank) {
    return NameVerdict{rank, ImportVerdict::Kind::kDebugLibrary, kBuiltInHostStringLayout};
  };
  if (stem == "libstdc++-6") return layout(2, HostStringLayout::mingw);
  if (const std::optional<VersionedName> p = ParseVersioned(stem, "msvcp")) {
    if (p->debug) return debug(2);
    if (p->version == 60) return layout(2, HostStringLayout::msvc6);
    if (p->version >= 70 && p->version <= 90) return layout(2, HostStringLayout::msvc7);
    if (p->version >= 100) return layout(2, HostStringLayout::msvc10);
    return {};
  }
  if (const std::optional<VersionedName> r = ParseVersioned(stem, "msvcr")) {
    if (r->debug) return debug(1);
    if (r->version >= 70 && r->version <= 90) return layout(1, HostStringLayout::msvc7);
    if (r->version >= 100) return layout(1, HostStringLayout::msvc10);
    return {};
  }
  if (const std::optional<VersionedName> v = ParseVersioned(stem, "vcruntime")) {
    if (v->debug) return debug(1);
    if (v->version >= 140) return layout(1, HostStringLayout::msvc10);
    return {};
  }
  // Visual C++ 6.0's debug C runtime: msvcrt.dll itself names no compiler.
  if (stem == "msvcrtd") return debug(1);
  return {};
}

// ---- a module mapped in this process ----------------------------------------

struct Copy {
  const void* from;
  void* to;
  uint32_t size;
};

void CopyBytes(void* context) {
  const auto& copy = *static_cast<const Copy*>(context);
  std::memcpy(copy.to, copy.from, copy.size);
}

// Reads a module mapped at |base|: before each read the system must show
// every page of it committed, readable, not a guard page, and part of the
// module's own allocation; the read runs under the guard.
class LoadedImageReader : public ImageReader {
 public:
  LoadedImageReader(Platform& platform, MemoryGuard guard, const void* base)
      : platform_(platform), guard_(guard), base_(reinterpret_cast<uintptr_t>(base)) {}

  bool Read(uint32_t rva, void* out, uint32_t size) override {
    if (size == 0) return true;
    if (base_ > UINTPTR_MAX - rva || base_ + rva > UINTPTR_MAX - size) return false;
    const uintptr_t start = base_ + rva;
    for (uintptr_t at = start; at < start + size;) {
      MemoryBasicInformation region{};
      if (platform_.VirtualQuery(reinterpret_cast<const void*>(at), &region) != sizeof region) {
        return false;
      }
      if (reinterpret_cast<uintptr_t>(region.allocationBase) != base_ ||
          region.state != kMemCommit || (region.protect & kPageGuard) != 0 ||
          (region.protect & kReadableProtections) == 0) {
        return false;
      }
      const uintptr_t end = reinterpret_cast<uintptr_t>(region.baseAddress) + region.regionSize;
      if (end <= at) return false;
      at = end;
    }
    Copy copy{reinterpret_cast<const void*>(start), out, size};
    return guard_(&CopyBytes, &copy, copy.from, size);
  }

 private:
  Platform& platform_;
  MemoryGuard guard_;
  uintptr_t base_;
};

std::string ModuleName(Platform& platform, const void* base) {
  char path[261] = {};
  const uint32_t length = platform.GetModuleFileNameA(
      reinterpret_cast<HModule>(const_cast<void*>(base)), path, sizeof path);
  if (length == 0 || length >= sizeof path) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (uintptr_t value = reinterpret_cast<uintptr_t>(base); hex.empty() || value != 0;
         value >>= 4) {
      hex.insert(hex.begin(), kDigits[value & 0xF]);
    }
    return "the module at 0x" + hex;
  }
  std::string name(path, length);
  const size_t slash = name.find_last_of("\\/");
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace

bool ReadImportedNames(ImageReader& image, std::vector<std::string>* names) {
  names->clear();
  PeHeaders headers;
  if (!ReadHeaders(image, &headers)) return false;
  if (headers.importRva == 0) return true;
  for (uint32_t i = 0; i < kMaxImports; ++i) {
    uint8_t descriptor[kDescriptorSize];
    uint32_t at = 0;
    if (!Add(headers.importRva, i * kDescriptorSize, &at) ||
        !image.Read(at, descriptor, sizeof descriptor)) {
      return false;
    }
    if (std::all_of(std::begin(descriptor), std::end(descriptor),
                    [](uint8_t b) { return b == 0; })) {
      return true;
    }
    std::string name;
    if (!ReadName(image, ReadLe32(descriptor + 12), &name)) return false;
    names->push_back(std::move(name));
  }
  return false;
}

FileImageReader::FileImageReader(std::string_view bytes) : bytes_(bytes) {
  // Until the section table is read, RVAs are file offsets: so are the
  // headers' own.
  headersSize_ = static_cast<uint32_t>(std::min<size_t>(bytes.size(), UINT32_MAX));
  PeHeaders headers;
  if (!ReadHeaders(*this, &headers)) return;
  std::vector<Section> sections;
  for (uint32_t i = 0; i < headers.sections && i < 96; ++i) {
    uint8_t entry[40];
    if (!ReadAtOffset(uint64_t{headers.sectionTable} + uint64_t{i} * 40, entry, sizeof entry)) {
      break;
    }
    sections.push_back(
        {ReadLe32(entry + 12), ReadLe32(entry + 8), ReadLe32(entry + 16), ReadLe32(entry + 20)});
  }
  headersSize_ = std::min(headersSize_, headers.sizeOfHeaders);
  sections_ = std::move(sections);
}

bool FileImageReader::ReadAtOffset(uint64_t offset, void* out, uint32_t size) const {
  if (offset > bytes_.size() || bytes_.size() - offset < size) return false;
  std::memcpy(out, bytes_.data() + offset, size);
  return true;
}

bool FileImageReader::Read(uint32_t rva, void* out, uint32_t size) {
  const uint64_t end = uint64_t{rva} + size;
  if (end <= headersSize_) return ReadAtOffset(rva, out, size);
  for (const Section& section : sections_) {
    const uint64_t extent = std::max(section.virtualSize, section.rawSize);
    if (rva < section.virtualAddress || end > uint64_t{section.virtualAddress} + extent) continue;
    const uint64_t into = rva - section.virtualAddress;
    // Bytes the loader fills with zeros are not in the file: not read.
    if (into + size > section.rawSize) return false;
    return ReadAtOffset(uint64_t{section.rawOffset} + into, out, size);
  }
  return false;
}

ImportVerdict LayoutOfImports(const std::vector<std::string>& names) {
  ImportVerdict verdict;
  int best = 0;
  for (const std::string& name : names) {
    const NameVerdict v = VerdictOfName(name);
    if (v.rank > best) {
      best = v.rank;
      verdict = {v.kind, v.layout, name};
    }
  }
  return verdict;
}

LayoutChoice ChooseLayout(const ImportVerdict& imports, bool importsUnreadable,
                          const std::optional<std::string>& registryValue) {
  LayoutChoice choice;
  choice.imports = imports;
  choice.importsUnreadable = importsUnreadable;
  if (registryValue) {
    if (const std::optional<HostStringLayout> named = HostStringLayoutNamed(*registryValue)) {
      choice.source = LayoutChoice::Source::kRegistry;
      choice.layout = *named;
      return choice;
    }
    choice.invalidValue = registryValue;
  }
  switch (imports.kind) {
    case ImportVerdict::Kind::kLayout:
      choice.source = LayoutChoice::Source::kImports;
      choice.layout = imports.layout;
      break;
    case ImportVerdict::Kind::kDebugLibrary:
      choice.source = LayoutChoice::Source::kRefused;
      break;
    case ImportVerdict::Kind::kNone:
      choice.source = LayoutChoice::Source::kBuiltIn;
      choice.layout = kBuiltInHostStringLayout;
      break;
  }
  return choice;
}

std::string_view HostStringLayoutCompilers(HostStringLayout layout) {
  switch (layout) {
    case HostStringLayout::msvc6:
      return "Visual C++ 6.0";
    case HostStringLayout::msvc7:
      return "Visual C++ 2002-2008";
    case HostStringLayout::msvc10:
      return "Visual C++ 2010 and later";
    case HostStringLayout::mingw:
      return "GCC of mingw-w64";
  }
  return "";
}

std::string LayoutChoiceText(const std::string& module, const LayoutChoice& choice) {
  const std::string read = std::string("its strings are read as ") +
                           std::string(HostStringLayoutCompilers(choice.layout)) + "'s (" +
                           std::string(HostStringLayoutName(choice.layout)) + ")";
  const std::string value = std::string("the registry value ") + kHostStringLayoutValue;
  switch (choice.source) {
    case LayoutChoice::Source::kRefused:
      return module + " imports " + choice.imports.dll +
             ", a debug library, whose strings carry a word more than any layout the plug-in "
             "reads: its calls are answered 14 and nothing is posted";
    case LayoutChoice::Source::kImports:
      return module + " imports " + choice.imports.dll + ": " + read;
    case LayoutChoice::Source::kRegistry: {
      std::string text = value + " names " + std::string(HostStringLayoutName(choice.layout)) +
                         ": " + read + " for " + module;
      if (choice.imports.kind != ImportVerdict::Kind::kNone) {
        text += " (its imports name " + choice.imports.dll + ", which the value overrides)";
      }
      return text;
    }
    case LayoutChoice::Source::kBuiltIn:
      break;
  }
  return module +
         (choice.importsUnreadable ? "'s import directory cannot be read"
                                   : " imports no C++ library or C runtime that names its "
                                     "compiler") +
         ", and " + value + (choice.invalidValue ? " names no layout" : " is not set") + ": " +
         read + ", the built-in layout";
}

LayoutChoice CallerLayouts::Decide(const void* base) {
  LoadedImageReader image(platform_, guard_, base);
  std::vector<std::string> names;
  const bool read = ReadImportedNames(image, &names);
  return ChooseLayout(read ? LayoutOfImports(names) : ImportVerdict{}, !read,
                      ReadProductKeyText(platform_, kHostStringLayoutValue));
}

void CallerLayouts::Report(const void* base, const LayoutChoice& choice, bool once) {
  if (reporter_ == nullptr) return;
  const std::string module = ModuleName(platform_, base);
  const auto text = [&] {
    return std::vector<std::u16string>{AnsiToWide(platform_, LayoutChoiceText(module, choice))};
  };
  if (choice.invalidValue) {
    const auto inserts = [&] {
      return std::vector<std::u16string>{AnsiToWide(platform_, *choice.invalidValue),
                                         AnsiToWide(platform_, module)};
    };
    reporter_->Report(ReportKind::layoutValueInvalid, inserts, once);
  }
  reporter_->Report(choice.source == LayoutChoice::Source::kRefused ? ReportKind::layoutRefused
                                                                    : ReportKind::layoutChosen,
                    text, once);
}

std::optional<HostStringLayout> CallerLayouts::LayoutFor(const void* returnAddress) noexcept {
  try {
    const auto at = reinterpret_cast<uintptr_t>(returnAddress);
    {
      std::lock_guard<SystemLock> hold(lock_);
      for (size_t i = 0; i < count_; ++i) {
        if (entries_[i].begin <= at && at < entries_[i].end) return entries_[i].layout;
      }
    }
    MemoryBasicInformation region{};
    if (platform_.VirtualQuery(returnAddress, &region) != sizeof region ||
        region.allocationBase == nullptr) {
      return kBuiltInHostStringLayout;  // not in any module: nothing names a layout
    }
    const void* base = region.allocationBase;
    const LayoutChoice choice = Decide(base);
    const std::optional<HostStringLayout> layout = choice.source == LayoutChoice::Source::kRefused
                                                       ? std::nullopt
                                                       : std::optional(choice.layout);
    // The module's extent, for the lookups after this one; where its
    // headers do not say, its allocation's first region.
    LoadedImageReader image(platform_, guard_, base);
    uint8_t size[4] = {};
    uint8_t dos[4] = {};
    uintptr_t end = reinterpret_cast<uintptr_t>(region.baseAddress) + region.regionSize;
    if (image.Read(0x3C, dos, sizeof dos)) {
      uint32_t at56 = 0;
      if (Add(ReadLe32(dos), 24 + 56, &at56) && image.Read(at56, size, sizeof size) &&
          ReadLe32(size) != 0) {
        end = reinterpret_cast<uintptr_t>(base) + ReadLe32(size);
      }
    }
    bool remembered = false;
    {
      std::lock_guard<SystemLock> hold(lock_);
      for (size_t i = 0; i < count_; ++i) {
        // Another thread decided it meanwhile, and reported it.
        if (entries_[i].begin == reinterpret_cast<uintptr_t>(base)) return entries_[i].layout;
      }
      if (count_ < kRemembered) {
        entries_[count_++] = {reinterpret_cast<uintptr_t>(base), std::max(end, at + 1), layout};
        remembered = true;
      }
    }
    Report(base, choice, remembered);
    return layout;
  } catch (...) {
    return kBuiltInHostStringLayout;
  }
}

}  // namespace qel
