#include "platform/hosted/VersionResource.h"

#include <optional>
#include <string_view>

#include "platform/hosted/LittleEndianReader.h"

namespace qel {
namespace {

// The parts of a version resource start on 4-byte boundaries.
constexpr uint64_t Aligned4(uint64_t offset) { return (offset + 3) & ~uint64_t{3}; }

// One block of a version resource: a 16-bit total length, a 16-bit value
// length (in units for text), a 16-bit type (1 text), a NUL-terminated key,
// the value and the child blocks, each part starting on a 4-byte boundary
// of the resource.
struct VersionBlock {
  std::u16string key;
  uint64_t value = 0;     // where the value starts
  uint64_t children = 0;  // where the first child starts
  uint64_t end = 0;
};

std::optional<VersionBlock> ReadVersionBlock(LittleEndianReader& in, uint64_t at, uint64_t limit) {
  VersionBlock block;
  const uint16_t length = in.U16(at);
  const uint16_t valueLength = in.U16(at + 2);
  const uint16_t type = in.U16(at + 4);
  if (!in.Ok() || length < 6 || at + length > limit) return std::nullopt;
  block.end = at + length;
  uint64_t key = at + 6;
  for (; key + 2 <= block.end && in.U16(key) != 0; key += 2) {
    block.key += static_cast<char16_t>(in.U16(key));
  }
  block.value = Aligned4(key + 2);
  block.children = Aligned4(block.value + uint64_t{valueLength} * (type == 1 ? 2 : 1));
  if (!in.Ok() || key + 2 > block.end) return std::nullopt;
  return block;
}

// The first child of |parent| keyed |key| (any key when empty).
std::optional<VersionBlock> VersionChild(LittleEndianReader& in, const VersionBlock& parent,
                                         std::u16string_view key) {
  for (uint64_t at = parent.children; at + 6 <= parent.end;) {
    std::optional<VersionBlock> child = ReadVersionBlock(in, at, parent.end);
    if (!child) return std::nullopt;
    if (key.empty() || child->key == key) return child;
    at = Aligned4(child->end);
  }
  return std::nullopt;
}

}  // namespace

VersionStrings ReadVersionStrings(const uint8_t* resource, uint32_t size) {
  LittleEndianReader in(resource, size);
  std::optional<VersionBlock> root = ReadVersionBlock(in, 0, size);
  if (!root || root->key != u"VS_VERSION_INFO") return {};
  std::optional<VersionBlock> fileInfo = VersionChild(in, *root, u"StringFileInfo");
  std::optional<VersionBlock> table = fileInfo ? VersionChild(in, *fileInfo, u"") : std::nullopt;
  if (!table) return {};
  VersionStrings texts;
  for (uint64_t at = table->children; at + 6 <= table->end;) {
    std::optional<VersionBlock> text = ReadVersionBlock(in, at, table->end);
    if (!text) return {};
    // The text runs to its NUL; writers disagree on whether its length
    // counts units or bytes, so the length is not trusted.
    std::u16string value;
    for (uint64_t unit = text->value; unit + 2 <= text->end && in.U16(unit) != 0; unit += 2) {
      value += static_cast<char16_t>(in.U16(unit));
    }
    texts.emplace_back(text->key, std::move(value));
    at = Aligned4(text->end);
  }
  return texts;
}

}  // namespace qel
