#include "platform/hosted/PeResources.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace qel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFixture(const std::string& name) {
  std::ifstream file(std::filesystem::path(QEL_PE_FIXTURE_DIR) / name, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void Put16(Bytes& bytes, size_t at, uint32_t value) {
  if (bytes.size() < at + 2) bytes.resize(at + 2);
  bytes[at] = static_cast<uint8_t>(value);
  bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

void Put32(Bytes& bytes, size_t at, uint32_t value) {
  Put16(bytes, at, value & 0xFFFF);
  Put16(bytes, at + 2, value >> 16);
}

uint32_t Get32(const Bytes& bytes, size_t at) {
  return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
         (static_cast<uint32_t>(bytes[at + 3]) << 24);
}

// A string-table block: sixteen length-prefixed UTF-16 strings.
Bytes StringBlock(const std::vector<std::u16string>& texts) {
  Bytes block;
  for (size_t i = 0; i < 16; ++i) {
    const std::u16string text = i < texts.size() ? texts[i] : u"";
    Put16(block, block.size(), static_cast<uint32_t>(text.size()));
    for (char16_t unit : text) Put16(block, block.size(), unit);
  }
  return block;
}

// A resource tree written the way linkers write one: directories first, then
// data entries, name strings and data. Offsets of each part are kept so that
// tests can corrupt a chosen field.
struct ResourceName16 {
  ResourceName16(uint16_t integer) : id(integer) {}     // NOLINT(google-explicit-constructor)
  ResourceName16(const char16_t* name) : text(name) {}  // NOLINT(google-explicit-constructor)
  uint16_t id = 0;
  std::u16string text;  // a text name when not empty
};
struct Language {
  uint16_t id;
  Bytes data;
};
struct Resource {
  ResourceName16 name;
  std::vector<Language> languages;
};
struct Type {
  ResourceName16 type;
  std::vector<Resource> resources;
};

constexpr uint32_t kSectionRva = 0x1000;
constexpr size_t kSectionFileOffset = 0x200;

struct Tree {
  Bytes bytes;
  std::vector<uint32_t> typeDirectories;
  std::vector<uint32_t> nameDirectories;  // in order over all types
  std::vector<uint32_t> dataEntries;      // in order over all resources
  std::vector<uint32_t> nameStrings;
};

Tree BuildTree(const std::vector<Type>& types) {
  Tree tree;
  auto directorySize = [](size_t entries) { return static_cast<uint32_t>(16 + 8 * entries); };
  uint32_t next = directorySize(types.size());
  for (const Type& type : types) {
    tree.typeDirectories.push_back(next);
    next += directorySize(type.resources.size());
  }
  for (const Type& type : types) {
    for (const Resource& resource : type.resources) {
      tree.nameDirectories.push_back(next);
      next += directorySize(resource.languages.size());
    }
  }
  for (const Type& type : types) {
    for (const Resource& resource : type.resources) {
      for (size_t i = 0; i < resource.languages.size(); ++i) {
        tree.dataEntries.push_back(next);
        next += 16;
      }
    }
  }
  Bytes& out = tree.bytes;
  auto writeName = [&](size_t at, const ResourceName16& name) {
    if (name.text.empty()) {
      Put32(out, at, name.id);
      return;
    }
    tree.nameStrings.push_back(next);
    Put32(out, at, 0x80000000u | next);
    Put16(out, next, static_cast<uint32_t>(name.text.size()));
    for (size_t i = 0; i < name.text.size(); ++i) Put16(out, next + 2 + 2 * i, name.text[i]);
    next += static_cast<uint32_t>(2 + 2 * name.text.size());
  };
  auto writeDirectory = [&](uint32_t at, size_t entries) {
    Put32(out, at + 12, 0);
    Put16(out, at + 14, static_cast<uint32_t>(entries));
  };
  writeDirectory(0, types.size());
  size_t nameIndex = 0;
  size_t dataIndex = 0;
  for (size_t t = 0; t < types.size(); ++t) {
    writeName(16 + 8 * t, types[t].type);
    Put32(out, 16 + 8 * t + 4, 0x80000000u | tree.typeDirectories[t]);
    const uint32_t typeDirectory = tree.typeDirectories[t];
    writeDirectory(typeDirectory, types[t].resources.size());
    for (size_t r = 0; r < types[t].resources.size(); ++r) {
      const Resource& resource = types[t].resources[r];
      const uint32_t nameDirectory = tree.nameDirectories[nameIndex++];
      writeName(typeDirectory + 16 + 8 * r, resource.name);
      Put32(out, typeDirectory + 16 + 8 * r + 4, 0x80000000u | nameDirectory);
      writeDirectory(nameDirectory, resource.languages.size());
      for (size_t l = 0; l < resource.languages.size(); ++l) {
        const uint32_t entry = tree.dataEntries[dataIndex++];
        Put32(out, nameDirectory + 16 + 8 * l, resource.languages[l].id);
        Put32(out, nameDirectory + 16 + 8 * l + 4, entry);
        next = (next + 3) & ~3u;
        const Bytes& data = resource.languages[l].data;
        Put32(out, entry, kSectionRva + next);
        Put32(out, entry + 4, static_cast<uint32_t>(data.size()));
        out.resize(std::max<size_t>(out.size(), next + data.size()));
        std::copy(data.begin(), data.end(), out.begin() + next);
        next += static_cast<uint32_t>(data.size());
      }
    }
  }
  out.resize(next);
  return tree;
}

// Header offsets of the images that BuildImage makes.
constexpr size_t kPeHeader = 0x40;
constexpr size_t kCoffHeader = kPeHeader + 4;
constexpr size_t kOptionalHeader = kCoffHeader + 20;

size_t OptionalHeaderSize(bool pe32Plus) { return pe32Plus ? 240 : 224; }
size_t ResourceDirectoryEntry(bool pe32Plus) { return kOptionalHeader + (pe32Plus ? 128 : 112); }
size_t SectionTable(bool pe32Plus) { return kOptionalHeader + OptionalHeaderSize(pe32Plus); }

// A one-section image holding |tree| as its resource section.
Bytes BuildImage(const Bytes& tree, bool pe32Plus = false) {
  Bytes image(kSectionFileOffset, 0);
  Put16(image, 0, 0x5A4D);
  Put32(image, 0x3C, kPeHeader);
  Put32(image, kPeHeader, 0x00004550);
  Put16(image, kCoffHeader, pe32Plus ? 0x8664 : 0x14C);
  Put16(image, kCoffHeader + 2, 1);
  Put16(image, kCoffHeader + 16, static_cast<uint32_t>(OptionalHeaderSize(pe32Plus)));
  Put16(image, kCoffHeader + 18, 0x2102);
  Put16(image, kOptionalHeader, pe32Plus ? 0x20B : 0x10B);
  Put32(image, kOptionalHeader + (pe32Plus ? 108 : 92), 16);
  Put32(image, ResourceDirectoryEntry(pe32Plus), kSectionRva);
  Put32(image, ResourceDirectoryEntry(pe32Plus) + 4, static_cast<uint32_t>(tree.size()));
  const size_t section = SectionTable(pe32Plus);
  const char name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
  std::copy(name, name + 8, image.begin() + section);
  const uint32_t rawSize = static_cast<uint32_t>((tree.size() + 0x1FF) & ~size_t{0x1FF});
  Put32(image, section + 8, static_cast<uint32_t>(tree.size()));
  Put32(image, section + 12, kSectionRva);
  Put32(image, section + 16, rawSize);
  Put32(image, section + 20, kSectionFileOffset);
  image.insert(image.end(), tree.begin(), tree.end());
  image.resize(kSectionFileOffset + rawSize);
  return image;
}

// Strings in two blocks (ids 0..31), one data resource under a named type, a
// named resource, and a resource with two languages.
std::vector<Type> SampleTypes() {
  return {
      {u"MyType", {{u"Hello", {{0x0409, {1, 2, 3}}}}}},
      {6,
       {{1, {{0x0407, StringBlock({u"", u"eins", u"zwei"})}}},
        {2,
         {{0x0409, StringBlock({u"sixteen", u"", u"eighteen"})},
          {0x0407, StringBlock({u"sechzehn"})}}}}},
      {10, {{100, {{0x0407, {9}}}}}},
  };
}

TEST(PeResources, ReadsThePlugInStringTable) {
  Bytes file = ReadFixture("qelevent.dll");
  ASSERT_FALSE(file.empty());
  auto resources = PeResources::Parse(file);
  ASSERT_NE(resources, nullptr);

  // Ids 1000..1020 live in blocks 63 (992..1007) and 64 (1008..1023).
  std::vector<ResourceName> names = resources->Names(kRtString);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], MakeIntResource(63));
  EXPECT_EQ(names[1], MakeIntResource(64));
  for (ResourceName name : names) {
    EXPECT_EQ(resources->Languages(kRtString, name), std::vector<uint16_t>{0x0409});
  }
  EXPECT_EQ(resources->String(1000), u"CIM");
  EXPECT_EQ(resources->String(1007), u"Netkeel");
  EXPECT_EQ(resources->String(1008), u"SMART Drive");
  EXPECT_EQ(resources->String(1020), u"Arravault Health");
  EXPECT_EQ(resources->String(999), std::nullopt);
  EXPECT_EQ(resources->String(1021), std::nullopt);
  // As LoadString does, only the low 16 bits of an id count.
  EXPECT_EQ(resources->String(0x10000 + 1000), u"CIM");
}

TEST(PeResources, ReadsTheLanguageOfEachFixture) {
  for (const char* language : {"0407", "0409", "0804", "0404"}) {
    SCOPED_TRACE(language);
    auto resources = PeResources::Parse(ReadFixture("lang-" + std::string(language) + ".dll"));
    ASSERT_NE(resources, nullptr);
    std::vector<ResourceName> names = resources->Names(kRtString);
    ASSERT_EQ(names.size(), 1u);
    const uint16_t id = static_cast<uint16_t>(std::stoul(language, nullptr, 16));
    EXPECT_EQ(resources->Languages(kRtString, names[0]), std::vector<uint16_t>{id});
    const std::string tag = "language 0x" + std::string(language);
    EXPECT_EQ(resources->String(1001), std::u16string(tag.begin(), tag.end()));
  }
}

TEST(PeResources, ImagesWithoutStringTablesParseWithNone) {
  auto noStrings = PeResources::Parse(ReadFixture("no-strings.dll"));
  ASSERT_NE(noStrings, nullptr);
  EXPECT_TRUE(noStrings->Names(kRtString).empty());
  EXPECT_EQ(noStrings->Names(MakeIntResource(10)), std::vector<ResourceName>{MakeIntResource(100)});
  EXPECT_EQ(noStrings->Languages(MakeIntResource(10), MakeIntResource(100)),
            std::vector<uint16_t>{0x0407});

  auto plain = PeResources::Parse(ReadFixture("host-plain.exe"));
  ASSERT_NE(plain, nullptr);
  EXPECT_TRUE(plain->Names(kRtString).empty());
  EXPECT_TRUE(plain->Names(MakeIntResource(10)).empty());
  EXPECT_EQ(plain->String(1000), std::nullopt);

  auto host = PeResources::Parse(ReadFixture("host-strings.exe"));
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->String(1001), u"language 0x0407");
}

TEST(PeResources, ReadsPe32AndPe32PlusAlike) {
  for (bool pe32Plus : {false, true}) {
    SCOPED_TRACE(pe32Plus ? "PE32+" : "PE32");
    auto resources = PeResources::Parse(BuildImage(BuildTree(SampleTypes()).bytes, pe32Plus));
    ASSERT_NE(resources, nullptr);
    EXPECT_EQ(resources->String(1), u"eins");
    EXPECT_EQ(resources->String(2), u"zwei");
    EXPECT_EQ(resources->String(0), std::nullopt);  // empty text
    EXPECT_EQ(resources->String(3), std::nullopt);
    // Block 2 (ids 16..31) comes first in English, so its strings are English.
    EXPECT_EQ(resources->String(16), u"sixteen");
    EXPECT_EQ(resources->String(18), u"eighteen");
    EXPECT_EQ(resources->Languages(kRtString, MakeIntResource(2)),
              (std::vector<uint16_t>{0x0409, 0x0407}));
    EXPECT_EQ(resources->String(40), std::nullopt);  // block 3 does not exist
  }
}

TEST(PeResources, MatchesTextNamesIgnoringCaseAndNumberNames) {
  auto resources = PeResources::Parse(BuildImage(BuildTree(SampleTypes()).bytes));
  ASSERT_NE(resources, nullptr);
  std::vector<ResourceName> names = resources->Names("MYTYPE");
  ASSERT_EQ(names.size(), 1u);
  ASSERT_FALSE(IsIntResource(names[0]));
  EXPECT_STREQ(names[0], "Hello");
  EXPECT_EQ(resources->Languages("mytype", "HELLO"), std::vector<uint16_t>{0x0409});
  EXPECT_TRUE(resources->Languages("mytype", "HELL").empty());
  EXPECT_EQ(resources->Languages("#10", "#100"), std::vector<uint16_t>{0x0407});
  EXPECT_EQ(resources->Names("#6").size(), 2u);
  EXPECT_TRUE(resources->Names("#6x").empty());
  EXPECT_TRUE(resources->Names(MakeIntResource(3)).empty());
}

TEST(PeResources, RefusesEveryTruncatedFixture) {
  // The fixtures end with their last section, so every shorter prefix cuts
  // into the image.
  for (const char* name : {"qelevent.dll", "host-strings.exe", "host-plain.exe"}) {
    SCOPED_TRACE(name);
    const Bytes file = ReadFixture(name);
    ASSERT_NE(PeResources::Parse(file), nullptr);
    for (size_t length = 0; length < file.size(); ++length) {
      ASSERT_EQ(PeResources::Parse(Bytes(file.begin(), file.begin() + length)), nullptr)
          << "prefix of " << length << " bytes";
    }
  }
}

TEST(PeResources, RefusesMalformedImages) {
  const Tree tree = BuildTree(SampleTypes());
  const size_t section = SectionTable(false);
  const size_t rsrc = kSectionFileOffset;
  // Offsets inside the tree, as file offsets.
  const size_t firstTypeEntry = rsrc + 16;
  const size_t stringTypeEntry = rsrc + 24;
  const size_t stringBlockDirectory = rsrc + tree.nameDirectories[1];
  const size_t stringBlockEntry = rsrc + tree.dataEntries[1];
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
  } cases[] = {
      {"no MZ", [](Bytes& b) { b[1] = 'Y'; }},
      {"PE header past the end", [](Bytes& b) { Put32(b, 0x3C, static_cast<uint32_t>(b.size())); }},
      {"PE header offset wraps", [](Bytes& b) { Put32(b, 0x3C, 0xFFFFFFFE); }},
      {"no PE signature", [](Bytes& b) { b[kPeHeader + 1] = 'X'; }},
      {"unknown optional header magic", [](Bytes& b) { Put16(b, kOptionalHeader, 0x107); }},
      {"optional header too small for the directories",
       [](Bytes& b) { Put16(b, kCoffHeader + 16, 96); }},
      {"optional header past the end", [](Bytes& b) { Put16(b, kCoffHeader + 16, 0xFFFF); }},
      {"more sections than Windows loads", [](Bytes& b) { Put16(b, kCoffHeader + 2, 97); }},
      {"section table past the end", [](Bytes& b) { Put16(b, kCoffHeader + 2, 90); }},
      {"section data past the end",
       [=](Bytes& b) { Put32(b, section + 16, static_cast<uint32_t>(b.size())); }},
      {"section data offset wraps", [=](Bytes& b) { Put32(b, section + 20, 0xFFFFFF00); }},
      {"resource directory outside every section",
       [](Bytes& b) { Put32(b, ResourceDirectoryEntry(false), 0x5000); }},
      {"resource directory longer than its section",
       [=](Bytes& b) { Put32(b, ResourceDirectoryEntry(false) + 4, Get32(b, section + 8) + 1); }},
      {"resource size wraps", [](Bytes& b) { Put32(b, ResourceDirectoryEntry(false) + 4, ~0u); }},
      {"root entry count past the tree", [=](Bytes& b) { Put16(b, rsrc + 14, 0xFFFF); }},
      {"directory offset past the tree",
       [=](Bytes& b) { Put32(b, stringTypeEntry + 4, 0x80000000u | 0x7FFFFFF0u); }},
      {"a type leading back to the root",
       [=](Bytes& b) { Put32(b, stringTypeEntry + 4, 0x80000000u); }},
      {"a resource leading back to its own type",
       [=](Bytes& b) {
         Put32(b, rsrc + tree.typeDirectories[1] + 20, Get32(b, stringTypeEntry + 4));
       }},
      {"two types sharing one directory",
       [=](Bytes& b) { Put32(b, stringTypeEntry + 4, Get32(b, firstTypeEntry + 4)); }},
      {"a type leading to data",
       [=](Bytes& b) { Put32(b, stringTypeEntry + 4, tree.dataEntries[0]); }},
      {"a language leading to a directory",
       [=](Bytes& b) {
         Put32(b, stringBlockDirectory + 20, 0x80000000u | tree.typeDirectories[0]);
       }},
      {"a language with a text name",
       [=](Bytes& b) { Put32(b, stringBlockDirectory + 16, 0x80000000u | tree.nameStrings[0]); }},
      {"an integer id beyond 16 bits", [=](Bytes& b) { Put32(b, stringTypeEntry, 0x10006); }},
      {"a name string past the tree",
       [=](Bytes& b) { Put32(b, firstTypeEntry, 0x80000000u | 0x7FFFFFFFu); }},
      {"a name string longer than the tree",
       [=](Bytes& b) { Put16(b, rsrc + tree.nameStrings[0], 0xFFFF); }},
      {"data outside every section", [=](Bytes& b) { Put32(b, stringBlockEntry, 0x9000); }},
      {"data longer than its section", [=](Bytes& b) { Put32(b, stringBlockEntry + 4, 0x10000); }},
      {"a string block cut short", [=](Bytes& b) { Put32(b, stringBlockEntry + 4, 20); }},
      {"a string running past its block",
       [=](Bytes& b) { Put16(b, rsrc + Get32(b, stringBlockEntry) - kSectionRva, 0x4000); }},
  };
  ASSERT_NE(PeResources::Parse(BuildImage(tree.bytes)), nullptr);
  for (const Case& c : cases) {
    Bytes image = BuildImage(tree.bytes);
    c.damage(image);
    EXPECT_EQ(PeResources::Parse(image), nullptr) << c.what;
  }
}

TEST(PeResources, ImagesWithoutAResourceDirectoryHaveNoResources) {
  Bytes image = BuildImage(BuildTree(SampleTypes()).bytes);
  Put32(image, ResourceDirectoryEntry(false), 0);
  auto resources = PeResources::Parse(image);
  ASSERT_NE(resources, nullptr);
  EXPECT_TRUE(resources->Names(kRtString).empty());

  // Too few data directories to hold the resource entry.
  image = BuildImage(BuildTree(SampleTypes()).bytes);
  Put32(image, kOptionalHeader + 92, 2);
  resources = PeResources::Parse(image);
  ASSERT_NE(resources, nullptr);
  EXPECT_TRUE(resources->Names(MakeIntResource(10)).empty());
}

// Every byte of a real module, overwritten with a few values: the reader
// either refuses the image or answers from within it (the sanitizer build
// catches any read outside the bytes).
TEST(PeResources, SurvivesEveryCorruptedByte) {
  const Bytes file = ReadFixture("qelevent.dll");
  ASSERT_FALSE(file.empty());
  int refused = 0;
  int accepted = 0;
  for (size_t at = 0; at < file.size(); ++at) {
    for (uint8_t value : {uint8_t{0x00}, uint8_t{0x7F}, uint8_t{0xFF}}) {
      if (file[at] == value) continue;
      Bytes damaged = file;
      damaged[at] = value;
      auto resources = PeResources::Parse(damaged);
      if (!resources) {
        ++refused;
        continue;
      }
      ++accepted;
      for (ResourceName name : resources->Names(kRtString)) resources->Languages(kRtString, name);
      for (uint32_t id = 990; id < 1030; ++id) resources->String(id);
    }
  }
  // The headers and the tree are refused when damaged; padding and string
  // texts are not.
  EXPECT_GT(refused, 0);
  EXPECT_GT(accepted, 0);
}

}  // namespace
}  // namespace qel
