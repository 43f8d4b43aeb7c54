// Which C++ library's strings a caller of ProcessEvent passes, found from the
// caller itself: the module that holds the call's return address names, in
// its import directory, the C++ library (or the C runtime) its compiler
// links, and that names the layout of its wide string objects. A host that
// links its library statically imports none of them; the product key's
// HostStringLayout value then names the layout, else the built-in one.
//
// The import directory is read through an ImageReader, so that the same
// parser reads a module mapped in this process (every read checked and
// guarded: a caller's headers are untrusted input) and a file on disk (the
// tool's layout command, which says before deployment what the plug-in will
// choose).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/HostString.h"
#include "platform/Platform.h"
#include "platform/SystemThreads.h"

namespace qel {

class EventLogReporter;

// The layout read when neither the imports nor the registry name one: that
// of the hosts of the product's generation.
constexpr HostStringLayout kBuiltInHostStringLayout = HostStringLayout::msvc6;
// The REG_SZ value under the product key that names a layout ("msvc6",
// "msvc7", "msvc10", "mingw").
constexpr char kHostStringLayoutValue[] = "HostStringLayout";

// An image's bytes by relative virtual address (RVA: the offset from the
// image's base once it is mapped).
class ImageReader {
 public:
  virtual ~ImageReader() = default;
  // Copies [rva, rva + size) into |out|; false, with |out| undefined, when
  // any of it is not there.
  virtual bool Read(uint32_t rva, void* out, uint32_t size) = 0;
};

// The names of the DLLs that |image|'s import directory lists, in its order.
// False when the headers or the directory are not those of a PE image, run
// past what |image| holds, or list more than a host ever imports: the names
// read so far are then not to be trusted.
bool ReadImportedNames(ImageReader& image, std::vector<std::string>* names);

// A PE file's bytes read as the image they map to: headers at their file
// offsets, each section's bytes through the section table. |bytes| must
// outlive the reader. A file whose section table cannot be read reads only
// its headers.
class FileImageReader : public ImageReader {
 public:
  explicit FileImageReader(std::string_view bytes);
  bool Read(uint32_t rva, void* out, uint32_t size) override;

 private:
  struct Section {
    uint32_t virtualAddress;
    uint32_t virtualSize;
    uint32_t rawSize;
    uint32_t rawOffset;
  };
  bool ReadAtOffset(uint64_t offset, void* out, uint32_t size) const;

  std::string_view bytes_;
  uint32_t headersSize_ = 0;
  std::vector<Section> sections_;
};

// What a module's imports say of its strings.
struct ImportVerdict {
  enum class Kind {
    kNone,          // no C++ library or C runtime that names a compiler
    kLayout,        // |dll| names |layout|
    kDebugLibrary,  // |dll| is a debug library: its objects carry a word more than any layout
  };
  Kind kind = Kind::kNone;
  HostStringLayout layout = kBuiltInHostStringLayout;
  std::string dll;  // the import that decided, as the directory spells it
};
// A C++ library decides before a C runtime; among either, the first listed.
ImportVerdict LayoutOfImports(const std::vector<std::string>& names);

// The decision for one module, and why.
struct LayoutChoice {
  enum class Source { kImports, kRegistry, kBuiltIn, kRefused };
  Source source = Source::kBuiltIn;
  HostStringLayout layout = kBuiltInHostStringLayout;  // not read when refused
  ImportVerdict imports;
  bool importsUnreadable = false;
  // The registry value as read, when it names no layout (then ignored).
  std::optional<std::string> invalidValue;
};
// A valid registry value decides over everything the imports say (for the
// host whose strings are made elsewhere than in the caller); then the
// imports; then the built-in layout.
LayoutChoice ChooseLayout(const ImportVerdict& imports, bool importsUnreadable,
                          const std::optional<std::string>& registryValue);

// The compilers whose hosts use |layout| ("Visual C++ 2002-2008"), for the
// event log and the tool.
std::string_view HostStringLayoutCompilers(HostStringLayout layout);
// One sentence of why |choice| was made for |module| (a file name or path),
// e.g. "host.exe imports MSVCP80.dll: its strings are read as Visual C++
// 2002-2008's (msvc7)".
std::string LayoutChoiceText(const std::string& module, const LayoutChoice& choice);

// The layout of each calling module, found at its first call and remembered
// for the module's address range. Several host threads call at once; the
// lookup after the first is a scan of a few ranges under a lock, and no call
// into the system.
class CallerLayouts {
 public:
  // Modules whose choice is remembered (and reported once each); a host has
  // a few. Further ones are decided at every call and reported with the
  // event log's ordinary limit of one entry of a kind a minute.
  static constexpr size_t kRemembered = 16;

  // |guard| guards every read of a caller's image; |reporter| may be null.
  CallerLayouts(Platform& platform, MemoryGuard guard, EventLogReporter* reporter)
      : platform_(platform), guard_(guard), reporter_(reporter) {}
  CallerLayouts(const CallerLayouts&) = delete;
  CallerLayouts& operator=(const CallerLayouts&) = delete;

  // The layout of the strings that the call returning to |returnAddress|
  // passes; nothing when the caller's are refused (a debug library), which
  // is reported once. Throws nothing.
  std::optional<HostStringLayout> LayoutFor(const void* returnAddress) noexcept;

  // The choice for the module whose image starts at |base| (mapped in this
  // process), found afresh: what LayoutFor remembers.
  LayoutChoice Decide(const void* base);

 private:
  struct Entry {
    uintptr_t begin;
    uintptr_t end;
    std::optional<HostStringLayout> layout;
  };
  void Report(const void* base, const LayoutChoice& choice, bool once);

  Platform& platform_;
  MemoryGuard guard_;
  EventLogReporter* reporter_;
  SystemLock lock_;
  std::array<Entry, kRemembered> entries_{};
  size_t count_ = 0;
};

}  // namespace qel
