#include "bridge/HostString.h"

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

// When the text lies in the object's own buffer.
enum class Inline { kNever, kWhileCapacityBelow8, kWhenPointedAt };

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
      return {Inline::kWhileCapacityBelow8,
              kWord,
              kWord,
              kWord + kInlineBytes,
              2 * kWord + kInlineBytes,
              3 * kWord + kInlineBytes};
    case HostStringLayout::msvc10:
      return {Inline::kWhileCapacityBelow8, 0, 0, kInlineBytes, kWord + kInlineBytes,
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

std::optional<std::u16string_view> ReadHostString(const void* object, HostStringLayout layout) {
  const Fields fields = FieldsOf(layout);
  const auto* bytes = static_cast<const unsigned char*>(object);
  const auto* inlineBuffer = reinterpret_cast<const char16_t*>(bytes + fields.inlineBuffer);
  const auto* units = ReadField<const char16_t*>(bytes, fields.pointer);
  const auto length = ReadField<size_t>(bytes, fields.length);
  size_t capacity;
  if (fields.inlineUse == Inline::kWhenPointedAt && units == inlineBuffer) {
    capacity = kInlineUnits - 1;  // not stored: its bytes hold the text
  } else {
    capacity = ReadField<size_t>(bytes, fields.capacity);
    if (fields.inlineUse == Inline::kWhileCapacityBelow8 && capacity < kInlineUnits) {
      units = inlineBuffer;
    }
  }
  if (length > kMaxHostStringLength || capacity < length) return std::nullopt;
  if (units == nullptr) {
    if (length != 0) return std::nullopt;
    return std::u16string_view();
  }
  return std::u16string_view(units, length);
}

bool CallUnguarded(void (*read)(void* context), void* context) {
  read(context);
  return true;
}

namespace {

constexpr size_t kObjects = 4;

// What the guarded reads work on: the host's objects, their texts as read,
// and our copies, sized before the characters are copied into them.
struct HostObjects {
  HostStringLayout layout;
  const void* objects[kObjects];
  size_t toRead;
  std::optional<std::u16string_view> texts[kObjects];
  std::u16string copies[kObjects];
};

void ReadTexts(void* context) {
  auto& host = *static_cast<HostObjects*>(context);
  for (size_t i = 0; i < host.toRead; ++i) {
    if (!host.texts[i]) host.texts[i] = ReadHostString(host.objects[i], host.layout);
  }
}

void CopyTexts(void* context) {
  auto& host = *static_cast<HostObjects*>(context);
  for (size_t i = 0; i < kObjects; ++i) {
    if (!host.texts[i]->empty()) {
      std::memcpy(&host.copies[i][0], host.texts[i]->data(),
                  host.texts[i]->size() * sizeof(char16_t));
    }
  }
}

}  // namespace

int32_t ProcessHostEvent(ModuleState& state, HostStringLayout layout, MemoryGuard guard,
                         int32_t eventCode, const void* className, const void* eventText,
                         const void* categoryAttribute, const void* target) noexcept {
  // 14 says that nothing was done, as for a failed desktop switch.
  HostObjects host{layout, {className, eventText, categoryAttribute, target}, 1, {}, {}};
  if (!guard(&ReadTexts, &host) || !host.texts[0]) return kProcessEventNoDesktop;
  if (host.texts[0]->empty()) return kProcessEventNoClassName;
  host.toRead = kObjects;
  if (!guard(&ReadTexts, &host)) return kProcessEventNoDesktop;
  for (const auto& text : host.texts) {
    if (!text) return kProcessEventNoDesktop;
  }
  try {
    // Our memory is allocated outside the guard, so that a fault in it is
    // never mistaken for the host's.
    for (size_t i = 0; i < kObjects; ++i) host.copies[i].resize(host.texts[i]->size());
  } catch (...) {
    return kProcessEventNoDesktop;  // no memory for the copies
  }
  if (!guard(&CopyTexts, &host)) return kProcessEventNoDesktop;
  try {
    return state.ProcessEvent(eventCode, host.copies[0], host.copies[1], host.copies[2],
                              host.copies[3]);
  } catch (...) {
    return kProcessEventNoDesktop;
  }
}

}  // namespace qel
