#include "bridge/HostString.h"

#include <cstring>
#include <string>

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
  size_t size;
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
    case HostStringLayout::msvc11:
      return {Inline::kWhileCapacityBelow8, 0, 0, kInlineBytes, kWord + kInlineBytes,
              2 * kWord + kInlineBytes};
    case HostStringLayout::mingw:
      return {Inline::kWhenPointedAt, 0, 2 * kWord, kWord, 2 * kWord, 2 * kWord + kInlineBytes};
  }
  return {};
}

// The sizes of the hosts' objects on 32-bit Windows.
static_assert(kWord != 4 || (FieldsOf(HostStringLayout::msvc6).size == 16 &&
                             FieldsOf(HostStringLayout::msvc7).size == 28 &&
                             FieldsOf(HostStringLayout::msvc11).size == 24 &&
                             FieldsOf(HostStringLayout::mingw).size == 24),
              "the 32-bit objects are 16, 28, 24 and 24 bytes");

// The host's objects need not be aligned for us; memcpy reads them as bytes.
template <typename T>
T ReadField(const unsigned char* object, size_t offset) {
  T value;
  std::memcpy(&value, object + offset, sizeof value);
  return value;
}

}  // namespace

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

int32_t ProcessHostEvent(ModuleState& state, HostStringLayout layout, int32_t eventCode,
                         const void* className, const void* eventText,
                         const void* categoryAttribute, const void* target) noexcept {
  // 14 says that nothing was done, as for a failed desktop switch.
  const auto name = ReadHostString(className, layout);
  if (!name) return kProcessEventNoDesktop;
  if (name->empty()) return kProcessEventNoClassName;
  const auto text = ReadHostString(eventText, layout);
  const auto attribute = ReadHostString(categoryAttribute, layout);
  const auto where = ReadHostString(target, layout);
  if (!text || !attribute || !where) return kProcessEventNoDesktop;
  try {
    return state.ProcessEvent(eventCode, std::u16string(*name), std::u16string(*text),
                              std::u16string(*attribute), std::u16string(*where));
  } catch (...) {
    return kProcessEventNoDesktop;  // no memory for the copies
  }
}

}  // namespace qel
