#include "platform/hosted/PeResources.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <utility>

#include "platform/hosted/CodePage1252.h"
#include "platform/hosted/LittleEndianReader.h"
#include "platform/hosted/VersionResource.h"

namespace qel {
namespace {

constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
// The Windows loader refuses images with more sections than this.
constexpr uint32_t kMaxSections = 96;
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint32_t kHighBit = 0x80000000u;
constexpr uint16_t kStringType = 6;
constexpr uint16_t kVersionType = 16;
constexpr int kStringsPerBlock = 16;

struct Section {
  uint32_t virtualAddress;
  uint32_t span;  // bytes of the section that come from the file
  uint32_t rawOffset;
};

// Where [rva, rva + length) lies in the file, when one section holds all of it.
std::optional<uint64_t> MapRva(const std::vector<Section>& sections, uint32_t rva,
                               uint32_t length) {
  for (const Section& section : sections) {
    const uint64_t start = section.virtualAddress;
    const uint64_t end = start + section.span;
    if (rva >= start && uint64_t{rva} + length <= end) {
      return uint64_t{section.rawOffset} + (rva - start);
    }
  }
  return std::nullopt;
}

// Resource names are compared as Windows compares them: ASCII letters without case.
char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameText(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size(); ++i) {
    if (b[i] == '\0' || UpperAscii(a[i]) != UpperAscii(b[i])) return false;
  }
  return b[i] == '\0';
}

// A query written "#123" names the integer id 123, as in FindResource.
std::optional<uint16_t> NumberName(const char* name) {
  if (name[0] != '#' || name[1] == '\0') return std::nullopt;
  uint32_t value = 0;
  for (const char* p = name + 1; *p; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(*p - '0');
    if (value > 0xFFFF) return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

}  // namespace

struct PeResources::Impl {
  // A directory entry's name: an integer id, or text (an index into |texts|).
  struct Key {
    bool isText = false;
    uint16_t id = 0;
    size_t text = 0;
  };
  struct Resource {
    Key name;
    std::vector<uint16_t> languages;
    std::vector<size_t> blocks;  // decoded string blocks, per language (string tables only)
  };
  struct Type {
    Key type;
    std::vector<Resource> resources;
  };
  using Block = std::array<std::u16string, kStringsPerBlock>;

  std::vector<Type> types;
  // Text names in the ANSI code page; strings in a vector that no longer
  // grows once parsing ends, so their pointers stay valid.
  std::vector<std::string> texts;
  std::vector<Block> blocks;
  // The texts of the first string table of version resource 1, in its first
  // language, in file order; empty when it has none or cannot be read.
  VersionStrings versionStrings;

  bool Matches(const Key& key, ResourceName query) const {
    if (query == nullptr) return false;
    if (IsIntResource(query)) return !key.isText && key.id == ResourceId(query);
    if (std::optional<uint16_t> number = NumberName(query)) return !key.isText && key.id == *number;
    return key.isText && SameText(texts[key.text], query);
  }
  ResourceName NameOf(const Key& key) const {
    return key.isText ? texts[key.text].c_str() : MakeIntResource(key.id);
  }
  const Type* FindType(ResourceName query) const {
    for (const Type& type : types) {
      if (Matches(type.type, query)) return &type;
    }
    return nullptr;
  }
};

namespace {

// Reads the resource tree: types, then names, then languages, each level a
// directory of 16 bytes followed by 8-byte entries. The offsets inside the
// tree are untrusted: each must stay inside the resource directory, each
// subdirectory may be reached only once (which rules out cycles and shared
// subtrees that would multiply the work), and the depth is fixed at three.
class TreeReader {
 public:
  TreeReader(const std::vector<uint8_t>& file, const std::vector<Section>& sections,
             uint64_t treeOffset, uint32_t treeSize, PeResources::Impl& out)
      : fileBytes_(file.data()),
        file_(file.data(), file.size()),
        tree_(file.data() + treeOffset, treeSize),
        sections_(sections),
        out_(out) {}

  bool Read() {
    std::vector<Entry> types;
    if (!Directory(0, types)) return false;
    for (const Entry& typeEntry : types) {
      PeResources::Impl::Type type;
      if (!typeEntry.subdirectory || !Name(typeEntry.name, type.type)) return false;
      const bool strings = !type.type.isText && type.type.id == kStringType;
      std::vector<Entry> names;
      if (!Directory(typeEntry.target, names)) return false;
      for (const Entry& nameEntry : names) {
        PeResources::Impl::Resource resource;
        if (!nameEntry.subdirectory || !Name(nameEntry.name, resource.name)) return false;
        std::vector<Entry> languages;
        if (!Directory(nameEntry.target, languages)) return false;
        for (const Entry& languageEntry : languages) {
          // Languages are integer ids and lead to data, never further down.
          if (languageEntry.subdirectory || (languageEntry.name & kHighBit) != 0 ||
              languageEntry.name > 0xFFFF) {
            return false;
          }
          std::optional<uint64_t> data = Data(languageEntry.target);
          if (!data) return false;
          const bool firstVersion = !type.type.isText && type.type.id == kVersionType &&
                                    !resource.name.isText && resource.name.id == 1 &&
                                    resource.languages.empty();
          resource.languages.push_back(static_cast<uint16_t>(languageEntry.name));
          // A version resource is read only for its texts: one that cannot
          // be read has none, and the image stays usable, as for Windows.
          if (firstVersion) out_.versionStrings = ReadVersionStrings(fileBytes_ + *data, dataSize_);
          if (strings) {
            std::optional<size_t> block = StringBlock(*data, dataSize_);
            if (!block) return false;
            resource.blocks.push_back(*block);
          }
        }
        type.resources.push_back(std::move(resource));
      }
      out_.types.push_back(std::move(type));
    }
    return true;
  }

 private:
  struct Entry {
    uint32_t name;
    bool subdirectory;
    uint32_t target;  // offset in the tree of the subdirectory or data entry
  };

  bool Directory(uint32_t offset, std::vector<Entry>& entries) {
    if (!visited_.insert(offset).second) return false;
    const uint64_t named = tree_.U16(uint64_t{offset} + 12);
    const uint64_t count = named + tree_.U16(uint64_t{offset} + 14);
    if (!tree_.Ok() || !tree_.Has(offset + uint64_t{16}, count * 8)) return false;
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t at = offset + 16 + i * 8;
      const uint32_t name = tree_.U32(at);
      const uint32_t target = tree_.U32(at + 4);
      entries.push_back({name, (target & kHighBit) != 0, target & ~kHighBit});
    }
    return tree_.Ok();
  }

  bool Name(uint32_t field, PeResources::Impl::Key& key) {
    if ((field & kHighBit) == 0) {
      if (field > 0xFFFF) return false;
      key.id = static_cast<uint16_t>(field);
      return true;
    }
    const uint32_t offset = field & ~kHighBit;
    key.isText = true;
    // Entries may share one name; each is decoded once.
    auto known = textAt_.find(offset);
    if (known != textAt_.end()) {
      key.text = known->second;
      return true;
    }
    std::u16string wide;
    const uint16_t length = tree_.U16(offset);
    if (!tree_.Ok() || !tree_.Units(offset + uint64_t{2}, length, wide)) return false;
    std::string narrow;
    narrow.reserve(wide.size());
    for (char16_t unit : wide) narrow += static_cast<char>(Cp1252FromUnicode(unit).value_or('?'));
    key.text = out_.texts.size();
    out_.texts.push_back(std::move(narrow));
    textAt_[offset] = key.text;
    return true;
  }

  // The file offset of the data that the data entry at |offset| describes;
  // its size is left in dataSize_.
  std::optional<uint64_t> Data(uint32_t offset) {
    const uint32_t rva = tree_.U32(offset);
    dataSize_ = tree_.U32(offset + uint64_t{4});
    if (!tree_.Ok() || !tree_.Has(offset, 16)) return std::nullopt;
    std::optional<uint64_t> at = MapRva(sections_, rva, dataSize_);
    if (!at || !file_.Has(*at, dataSize_)) return std::nullopt;
    return at;
  }

  // Sixteen strings, each a 16-bit length and that many UTF-16 units. Blocks
  // that several entries share are decoded once.
  std::optional<size_t> StringBlock(uint64_t offset, uint32_t size) {
    auto known = blockAt_.find({offset, size});
    if (known != blockAt_.end()) return known->second;
    LittleEndianReader block(fileBytes_ + offset, size);
    PeResources::Impl::Block strings;
    uint64_t at = 0;
    for (std::u16string& text : strings) {
      const uint16_t length = block.U16(at);
      if (!block.Ok() || !block.Units(at + 2, length, text)) return std::nullopt;
      at += 2 + uint64_t{length} * 2;
    }
    blockAt_[{offset, size}] = out_.blocks.size();
    out_.blocks.push_back(std::move(strings));
    return out_.blocks.size() - 1;
  }

  const uint8_t* fileBytes_;
  LittleEndianReader file_;
  LittleEndianReader tree_;
  const std::vector<Section>& sections_;
  PeResources::Impl& out_;
  uint32_t dataSize_ = 0;
  std::set<uint32_t> visited_;
  std::map<uint32_t, size_t> textAt_;
  std::map<std::pair<uint64_t, uint32_t>, size_t> blockAt_;
};

}  // namespace

PeResources::PeResources(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PeResources::~PeResources() = default;

std::shared_ptr<const PeResources> PeResources::Parse(const std::vector<uint8_t>& file) {
  LittleEndianReader in(file.data(), file.size());

  // DOS header: "MZ" and, at 0x3C, where the PE header starts.
  if (in.U16(0) != 0x5A4D) return nullptr;
  const uint64_t pe = in.U32(0x3C);
  // "PE\0\0", then the COFF header.
  if (!in.Ok() || in.U32(pe) != 0x00004550) return nullptr;
  const uint64_t coff = pe + 4;
  const uint32_t sectionCount = in.U16(coff + 2);
  const uint32_t optionalSize = in.U16(coff + 16);
  const uint64_t optional = coff + 20;
  if (!in.Ok() || sectionCount > kMaxSections || !in.Has(optional, optionalSize)) return nullptr;

  // Optional header: PE32 and PE32+ differ in where the data directories start.
  const uint16_t magic = in.U16(optional);
  uint64_t directoryCountAt = 0;
  if (magic == kPe32Magic) {
    directoryCountAt = 92;
  } else if (magic == kPe32PlusMagic) {
    directoryCountAt = 108;
  } else {
    return nullptr;
  }
  if (directoryCountAt + 4 > optionalSize) return nullptr;
  const uint32_t directoryCount = in.U32(optional + directoryCountAt);
  const uint64_t directories = directoryCountAt + 4;
  uint32_t resourceRva = 0;
  uint32_t resourceSize = 0;
  if (directoryCount > kResourceDirectoryIndex) {
    const uint64_t entry = directories + uint64_t{kResourceDirectoryIndex} * 8;
    if (entry + 8 > optionalSize) return nullptr;
    resourceRva = in.U32(optional + entry);
    resourceSize = in.U32(optional + entry + 4);
  }

  // Section table. A section whose bytes run past the end of the file means
  // the file was cut short, and the whole image is refused, as Windows does.
  const uint64_t table = optional + optionalSize;
  if (!in.Ok() || !in.Has(table, uint64_t{sectionCount} * 40)) return nullptr;
  std::vector<Section> sections;
  for (uint32_t i = 0; i < sectionCount; ++i) {
    const uint64_t at = table + uint64_t{i} * 40;
    const uint32_t virtualSize = in.U32(at + 8);
    const uint32_t virtualAddress = in.U32(at + 12);
    const uint32_t rawSize = in.U32(at + 16);
    const uint32_t rawOffset = in.U32(at + 20);
    if (rawSize != 0 && !in.Has(rawOffset, rawSize)) return nullptr;
    // Bytes past the raw data would be zero-filled when mapped; nothing that
    // the resource reader needs lives there in a well-formed image.
    const uint32_t span = virtualSize == 0 ? rawSize : std::min(virtualSize, rawSize);
    sections.push_back({virtualAddress, span, rawOffset});
  }
  if (!in.Ok()) return nullptr;

  auto impl = std::make_unique<Impl>();
  if (resourceRva != 0 && resourceSize != 0) {
    std::optional<uint64_t> tree = MapRva(sections, resourceRva, resourceSize);
    if (!tree) return nullptr;
    TreeReader reader(file, sections, *tree, resourceSize, *impl);
    if (!reader.Read()) return nullptr;
  }
  return std::make_shared<const PeResources>(std::move(impl));
}

std::vector<ResourceName> PeResources::Names(ResourceName type) const {
  std::vector<ResourceName> names;
  if (const Impl::Type* found = impl_->FindType(type)) {
    for (const Impl::Resource& resource : found->resources) {
      names.push_back(impl_->NameOf(resource.name));
    }
  }
  return names;
}

std::vector<uint16_t> PeResources::Languages(ResourceName type, ResourceName name) const {
  if (const Impl::Type* found = impl_->FindType(type)) {
    for (const Impl::Resource& resource : found->resources) {
      if (impl_->Matches(resource.name, name)) return resource.languages;
    }
  }
  return {};
}

std::optional<std::u16string> PeResources::String(uint32_t id) const {
  // Windows takes the low 16 bits of the id: block (id >> 4) + 1, entry id & 15.
  const uint16_t block = static_cast<uint16_t>(((id & 0xFFFF) >> 4) + 1);
  const Impl::Type* strings = impl_->FindType(kRtString);
  if (strings == nullptr) return std::nullopt;
  for (const Impl::Resource& resource : strings->resources) {
    if (resource.name.isText || resource.name.id != block || resource.blocks.empty()) continue;
    const std::u16string& text = impl_->blocks[resource.blocks.front()][id & 0xF];
    if (text.empty()) return std::nullopt;
    return text;
  }
  return std::nullopt;
}

std::optional<std::u16string> PeResources::VersionString(std::u16string_view name) const {
  for (const auto& [key, value] : impl_->versionStrings) {
    if (key == name) return value;
  }
  return std::nullopt;
}

}  // namespace qel
