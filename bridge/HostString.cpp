#include "bridge/HostString.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "bridge/EventForwarding.h"
#include "bridge/ModuleState.h"

namespace qel {
namespace {

// Pointers, lengths, capacities and the allocator word are all one word wide.
constexpr size_t kWord = sizeof(void*);
static_assert(sizeof(size_t) == kWord, "lengths and pointers have the same width");

// 16 bytes of units, the last one for the terminating NUL.
constexpr size_t kInlineUnits = 8;
constexpr size_t kInlineBytes = kInlineUnits * sizeof(char16_t);

// Page protections that allow reading: read-only, read-write, write-copy and
// their executable forms.

// When the text lies in the object's own buffer.
enum class Inline { kNever, kWhenCapacityIs7, kWhenPointedAt };

// Where a library keeps its fields, in bytes from the start of the object.
struct Fields {
  Inline inlineUse;
  size_t pointer;
  size_t inlineBuffer;  // shares its bytes with the pointer (Microsoft) or the capacity (mingw);
                        // msvc6 has none
  size_t length;
  size_t capacity;
  size_t size;  // the bytes read, from the start of the object
};

constexpr Fields FieldsOf(HostStringLayout layout) {
  switch (layout) {
    case HostStringLayout::msvc6:
      return {Inline::kNever, kWord, 0, 2 * kWord, 3 * kWord, 4 * kWord};
    case HostStringLayout::msvc7:
      return {
          Inline::kWhenCapacityIs7, kWord, kWord, kWord + kInlineBytes, 2 * kWord + kInlineBytes,
          3 * kWord + kInlineBytes};
    case HostStringLayout::msvc10:
      return {Inline::kWhenCapacityIs7, 0, 0, kInlineBytes, kWord + kInlineBytes,
              2 * kWord + kInlineBytes};
    case HostStringLayout::mingw:
      return {Inline::kWhenPointedAt, 0, 2 * kWord, kWord, 2 * kWord, 2 * kWord + kInlineBytes};
  }
  return {};
}

// The sizes of the hosts' objects on 32-bit Windows (2010's carries its
// allocator in 4 bytes more, past what is read).
static_assert(kWord != 4 || (FieldsOf(HostStringLayout::msvc6).size == 16 &&
                             FieldsOf(HostStringLayout::msvc7).size == 28 &&
                             FieldsOf(HostStringLayout::msvc10).size == 24 &&
                             FieldsOf(HostStringLayout::mingw).size == 24),
              "the 32-bit objects are 16, 28, 24 (28 for 2010) and 24 bytes");

// The host's objects need not be aligned for us; memcpy reads them as bytes.
template <typename T>
T ReadField(const unsigned char* object, size_t offset) {
  T value;
  std::memcpy(&value, object + offset, sizeof value);
  return value;
}

constexpr std::pair<HostStringLayout, std::string_view> kLayoutNames[] = {
    {HostStringLayout::msvc6, "msvc6"},
    {HostStringLayout::msvc7, "msvc7"},
    {HostStringLayout::msvc10, "msvc10"},
    {HostStringLayout::mingw, "mingw"},
};

}  // namespace

std::string_view HostStringLayoutName(HostStringLayout layout) {
  for (const auto& [named, name] : kLayoutNames) {
    if (named == layout) return name;
  }
  return {};
}

std::optional<HostStringLayout> HostStringLayoutNamed(std::string_view name) {
  for (const auto& [layout, layoutName] : kLayoutNames) {
    if (layoutName == name) return layout;
  }
  return std::nullopt;
}

namespace {

// The fields' view of the text, or nothing for fields no string of the
// library has. Reads the object's fields and nothing else.
std::optional<std::u16string_view> TextOfFields(const void* object, HostStringLayout layout) {
  const Fields fields = FieldsOf(layout);
  const auto* bytes = static_cast<const unsigned char*>(object);
  const auto* inlineBuffer = reinterpret_cast<const char16_t*>(bytes + fields.inlineBuffer);
  const auto* units = ReadField<const char16_t*>(bytes, fields.pointer);
  const auto length = ReadField<size_t>(bytes, fields.length);
  if (length > kMaxHostStringLength) return std::nullopt;
  size_t capacity;
  if (fields.inlineUse == Inline::kWhenPointedAt && units == inlineBuffer) {
    capacity = kInlineUnits - 1;  // not stored: its bytes hold the text
  } else {
    capacity = ReadField<size_t>(bytes, fields.capacity);
    // Microsoft's libraries keep the text in the object exactly while the
    // capacity is the buffer's 7 units; they never give a heap buffer fewer
    // than 8, and neither does ours, whose heap buffer outgrew its own 7.
    if (fields.inlineUse == Inline::kWhenCapacityIs7 && capacity == kInlineUnits - 1) {
      units = inlineBuffer;
    } else if (fields.inlineUse != Inline::kNever && capacity < kInlineUnits) {
      return std::nullopt;
    }
  }
  if (capacity < length) return std::nullopt;
  if (units == nullptr) {
    // Only 6.0 has no buffer at all, and only while it is empty.
    if (fields.inlineUse != Inline::kNever || length != 0) return std::nullopt;
    return std::u16string_view();
  }
  return std::u16string_view(units, length);
}

// Pages that hold all of [begin, begin + size) are committed, readable and
// none of them a guard page: the memory can be read without a fault, as far
// as the system knew when it answered.
bool IsReadable(Platform& platform, const void* begin, size_t size) {
  const auto start = reinterpret_cast<uintptr_t>(begin);
  if (start > UINTPTR_MAX - size) return false;
  for (uintptr_t at = start; at < start + size;) {
    MemoryBasicInformation region{};
    if (platform.VirtualQuery(reinterpret_cast<const void*>(at), &region) != sizeof region) {
      return false;
    }
    if (region.state != kMemCommit || (region.protect & kPageGuard) != 0 ||
        (region.protect & kReadableProtections) == 0) {
      return false;
    }
    const uintptr_t regionEnd = reinterpret_cast<uintptr_t>(region.baseAddress) + region.regionSize;
    if (regionEnd <= at) return false;  // an answer that does not hold |at|: never trust it
    at = regionEnd;
  }
  return true;
}

struct FieldsRead {
  const void* object;
  HostStringLayout layout;
  std::optional<std::u16string_view> text;
};

void ReadFields(void* context) {
  auto& read = *static_cast<FieldsRead*>(context);
  read.text = TextOfFields(read.object, read.layout);
}

struct UnitRead {
  const char16_t* at;
  char16_t unit;
};

void ReadUnit(void* context) {
  auto& read = *static_cast<UnitRead*>(context);
  std::memcpy(&read.unit, read.at, sizeof read.unit);
}

}  // namespace

std::optional<std::u16string_view> ReadHostString(Platform& platform, MemoryGuard guard,
                                                  const void* object, HostStringLayout layout,
                                                  HostObjectRefusal* why) {
  const size_t size = FieldsOf(layout).size;
  if (!IsReadable(platform, object, size)) {
    *why = HostObjectRefusal::kObjectNotReadable;
    return std::nullopt;
  }
  FieldsRead fields{object, layout, {}};
  if (!guard(&ReadFields, &fields, object, size)) {
    *why = HostObjectRefusal::kFaulted;
    return std::nullopt;
  }
  if (!fields.text) {
    *why = HostObjectRefusal::kNotAString;
    return std::nullopt;
  }
  const std::u16string_view text = *fields.text;
  if (text.data() == nullptr) return text;
  // The NUL after the text is the library's too, and it is read.
  const size_t bytes = (text.size() + 1) * sizeof(char16_t);
  if (!IsReadable(platform, text.data(), bytes)) {
    *why = HostObjectRefusal::kTextNotReadable;
    return std::nullopt;
  }
  UnitRead terminator{text.data() + text.size(), u'x'};
  if (!guard(&ReadUnit, &terminator, terminator.at, sizeof(char16_t))) {
    *why = HostObjectRefusal::kFaulted;
    return std::nullopt;
  }
  if (terminator.unit != u'\0') {
    *why = HostObjectRefusal::kNoTerminator;
    return std::nullopt;
  }
  return text;
}

bool CallUnguarded(void (*read)(void* context), void* context, const void*, size_t) {
  read(context);
  return true;
}

namespace {

constexpr size_t kObjects = 4;

struct TextCopy {
  std::u16string_view text;
  std::u16string* copy;
};

void CopyText(void* context) {
  auto& copy = *static_cast<TextCopy*>(context);
  std::memcpy(&(*copy.copy)[0], copy.text.data(), copy.text.size() * sizeof(char16_t));
}

}  // namespace

std::string TakeRefusalsText(HostObjectRefusals& refusals) {
  static constexpr const char* kReasons[kHostObjectRefusals] = {
      "the object's own memory was not readable", "its fields were no string of that library's",
      "its characters were not readable memory",  "no NUL followed its text",
      "its memory went away while it was read",
  };
  std::string text;
  for (size_t i = 0; i < kHostObjectRefusals; ++i) {
    const uint32_t count = refusals.Take(static_cast<HostObjectRefusal>(i));
    if (count == 0) continue;
    if (!text.empty()) text += "; ";
    text += std::string(kReasons[i]) + " (" + std::to_string(count) + ")";
  }
  return text.empty() ? "not recorded" : text;
}

int32_t ProcessHostEvent(ModuleState& state, Platform& platform, HostStringLayout layout,
                         MemoryGuard guard, int32_t eventCode, const void* className,
                         const void* eventText, const void* categoryAttribute, const void* target,
                         HostObjectRefusals* refusals) noexcept {
  const void* const objects[kObjects] = {className, eventText, categoryAttribute, target};
  std::u16string_view texts[kObjects];
  for (size_t i = 0; i < kObjects; ++i) {
    HostObjectRefusal why{};
    std::optional<std::u16string_view> text =
        ReadHostString(platform, guard, objects[i], layout, &why);
    if (!text) {
      if (refusals != nullptr) refusals->Count(why);
      return kProcessEventNoDesktop;  // 14 says that nothing was done
    }
    // The call ends at an empty class name; the other objects are not read.
    if (i == 0 && text->empty()) return kProcessEventNoClassName;
    texts[i] = *text;
  }
  std::u16string copies[kObjects];
  try {
    // Our memory is allocated outside the guard, so that a fault in it is
    // never mistaken for the host's.
    for (size_t i = 0; i < kObjects; ++i) copies[i].resize(texts[i].size());
  } catch (...) {
    return kProcessEventNoDesktop;  // no memory for the copies
  }
  for (size_t i = 0; i < kObjects; ++i) {
    if (texts[i].empty()) continue;
    TextCopy copy{texts[i], &copies[i]};
    if (!guard(&CopyText, &copy, texts[i].data(), texts[i].size() * sizeof(char16_t))) {
      if (refusals != nullptr) refusals->Count(HostObjectRefusal::kFaulted);
      return kProcessEventNoDesktop;
    }
  }
  try {
    return state.ProcessEvent(eventCode, copies[0], copies[1], copies[2], copies[3]);
  } catch (...) {
    return kProcessEventNoDesktop;
  }
}

}  // namespace qel
