#include "platform/hosted/HostedRegistry.h"

#include <gtest/gtest.h>

namespace qel {
namespace {

std::string StringValue(const HostedRegistry& registry, const std::string& key,
                        const std::string& name) {
  const HostedRegistry::Key* found = registry.FindKey(key);
  if (!found) return "<no key>";
  auto value = found->values.find(name);
  if (value == found->values.end()) return "<no value>";
  return std::string(value->second.data.begin(), value->second.data.end());
}

TEST(HostedRegistry, LoadsARegedit4Export) {
  HostedRegistry registry;
  std::string error;
  ASSERT_TRUE(
      registry.LoadRegedit4("REGEDIT4\r\n\r\n"
                            "; the product key\r\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Telvar]\r\n"
                            "\"Version\"=\"4.1\"\r\n"
                            "\r\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Telvar\\4.1]\r\n"
                            "\"TELVARPATH\"=\"C:\\\\Prog \\\"x\\\"\"\r\n"
                            "\"Count\"=dword:0000010a\r\n"
                            "\"Blob\"=hex:01,02,\\\r\n"
                            "  ff\r\n",
                            &error))
      << error;
  EXPECT_EQ(StringValue(registry, "software\\korvane\\telvar", "VERSION"), std::string("4.1\0", 4));
  EXPECT_EQ(StringValue(registry, "SOFTWARE\\Korvane\\Telvar\\4.1", "TELVARPATH"),
            std::string("C:\\Prog \"x\"\0", 12));
  const auto* key = registry.FindKey("SOFTWARE\\Korvane\\Telvar\\4.1");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->values.at("COUNT").type, kRegDword);
  EXPECT_EQ(key->values.at("COUNT").data, (std::vector<uint8_t>{0x0a, 0x01, 0, 0}));
  EXPECT_EQ(key->values.at("BLOB").data, (std::vector<uint8_t>{1, 2, 0xff}));
}

TEST(HostedRegistry, DeletionsRemoveKeysAndValues) {
  HostedRegistry registry;
  registry.SetString("SOFTWARE\\A\\B", "x", "1");
  registry.SetString("SOFTWARE\\A", "y", "2");
  std::string error;
  ASSERT_TRUE(
      registry.LoadRegedit4("REGEDIT4\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B]\n[HKEY_LOCAL_"
                            "MACHINE\\SOFTWARE\\A]\n\"y\"=-\n",
                            &error))
      << error;
  EXPECT_EQ(registry.FindKey("SOFTWARE\\A\\B"), nullptr);
  EXPECT_EQ(StringValue(registry, "SOFTWARE\\A", "Y"), "<no value>");
}

// A handle open to a key that goes, or to one below it, reads nothing more
// (ERROR_KEY_DELETED) and still closes; its sibling reads on.
TEST(HostedRegistry, AHandleToADeletedKeyStaysOpenAndReadsNothing) {
  HostedRegistry registry;
  HandleCounter handles;
  for (const char* key : {"SOFTWARE\\A", "SOFTWARE\\A\\B", "SOFTWARE\\C"}) {
    registry.SetString(key, "x", "1");
  }
  HKey a = nullptr, b = nullptr, c = nullptr;
  ASSERT_EQ(registry.OpenKey(HkeyLocalMachine(), "SOFTWARE\\A", handles, &a), kErrorSuccess);
  ASSERT_EQ(registry.OpenKey(HkeyLocalMachine(), "SOFTWARE\\A\\B", handles, &b), kErrorSuccess);
  ASSERT_EQ(registry.OpenKey(HkeyLocalMachine(), "SOFTWARE\\C", handles, &c), kErrorSuccess);
  registry.DeleteKey("SOFTWARE\\A");
  uint32_t size = 0;
  EXPECT_EQ(registry.QueryValue(a, "x", nullptr, nullptr, &size), 1018);
  EXPECT_EQ(registry.QueryValue(b, "x", nullptr, nullptr, &size), 1018);
  EXPECT_EQ(registry.QueryValue(c, "x", nullptr, nullptr, &size), kErrorSuccess);
  for (HKey key : {a, b, c}) EXPECT_EQ(registry.CloseKey(key), kErrorSuccess);
}

TEST(HostedRegistry, RefusesMalformedExportsNamingTheLine) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"Windows Registry Editor\n", "line 1:"},
      {"REGEDIT4\n\"a\"=\"b\"\n", "line 2: a value outside of any key"},
      {"REGEDIT4\n[HKEY_CURRENT_USER\\X]\n", "line 2: only keys under HKEY_LOCAL_MACHINE"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=\"open\n", "line 3: unterminated string"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\n\"a\"=dword:xyz\n", "line 4: dword:"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=hex:1,2g\n", "line 3: bad hexadecimal"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X\n", "line 2: a key line must end"},
  };
  for (const Case& c : cases) {
    HostedRegistry registry;
    std::string error;
    EXPECT_FALSE(registry.LoadRegedit4(c.text, &error)) << c.text;
    EXPECT_EQ(error.rfind(c.message, 0), 0u) << c.text << " gave: " << error;
  }
}

}  // namespace
}  // namespace qel
