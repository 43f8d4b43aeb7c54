// The hosted disk's writing side, which the undelivered-events file stands
// on: sharing modes between handles, OPEN_ALWAYS, and a disk that is not
// written unless a test allows it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/hosted/HostedPlatform.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

constexpr uint32_t kReadWrite = kGenericRead | kGenericWrite;
constexpr uint32_t kShareBoth = kFileShareRead | kFileShareWrite;

TEST(HostedDiskWriting, SharingModesDecideWhetherASecondHandleOpens) {
  const struct {
    uint32_t firstAccess, firstShare, secondAccess, secondShare;
    bool opens;
  } cases[] = {
      {kReadWrite, kShareBoth, kReadWrite, kShareBoth, true},
      {kGenericRead, kFileShareRead, kGenericRead, kFileShareRead, true},
      {kGenericRead, kFileShareRead, kReadWrite, kShareBoth, false},  // it may not be written
      {kReadWrite, kShareBoth, kGenericRead, kFileShareRead, false},  // it is written already
      {kReadWrite, 0, kGenericRead, kShareBoth, false},
  };
  for (const auto& c : cases) {
    test::TempFolder disk;
    disk.Write("C/f.txt", "x");
    HostedPlatform platform;
    platform.SetDiskRoot(disk.Path());
    platform.SetDiskWritable(true);
    const HFile first =
        platform.CreateFileW(u"C:\\f.txt", c.firstAccess, c.firstShare, kOpenExisting);
    ASSERT_NE(first, InvalidHandleValue());
    const HFile second =
        platform.CreateFileW(u"C:\\f.txt", c.secondAccess, c.secondShare, kOpenAlways);
    EXPECT_EQ(second != InvalidHandleValue(), c.opens)
        << c.firstAccess << "/" << c.firstShare << " then " << c.secondAccess << "/"
        << c.secondShare;
  }
}

TEST(HostedDiskWriting, WritesOnlyWhereAllowedAndCutsBack) {
  test::TempFolder disk;
  disk.Write("C/ci/keep.txt", "");
  HostedPlatform platform;
  platform.SetDiskRoot(disk.Path());
  // A copy of a server's disk: nothing is created or written.
  EXPECT_EQ(platform.CreateFileW(u"C:\\ci\\new.txt", kReadWrite, kShareBoth, kOpenAlways),
            InvalidHandleValue());
  HFile file = platform.CreateFileW(u"C:\\ci\\keep.txt", kReadWrite, kShareBoth, kOpenAlways);
  uint32_t written = 0;
  EXPECT_FALSE(platform.WriteFile(file, "abc", 3, &written));
  platform.CloseHandle(file);

  platform.SetDiskWritable(true);
  EXPECT_EQ(platform.CreateFileW(u"C:\\none\\new.txt", kReadWrite, kShareBoth, kOpenAlways),
            InvalidHandleValue());  // no folder is created
  file = platform.CreateFileW(u"C:\\ci\\new.txt", kReadWrite, kShareBoth, kOpenAlways);
  ASSERT_NE(file, InvalidHandleValue());
  EXPECT_TRUE(platform.WriteFile(file, "hello", 5, &written));
  EXPECT_EQ(platform.GetFileSize(file), 5u);
  EXPECT_EQ(platform.SetFilePointer(file, -3, kFileEnd), 2u);
  EXPECT_TRUE(platform.SetEndOfFile(file));
  platform.SetDiskFreeBytes(2);
  EXPECT_EQ(platform.SetFilePointer(file, 0, kFileEnd), 2u);
  EXPECT_FALSE(platform.WriteFile(file, "xyz", 3, &written));  // the disk is full
  EXPECT_EQ(written, 2u);
  platform.CloseHandle(file);
  std::ifstream in(disk.Path() / "C" / "ci" / "new.txt", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, "hexy");
}

}  // namespace
}  // namespace qel
