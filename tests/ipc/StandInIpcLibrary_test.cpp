#include "stubs/vovuru32/StandInIpcLibrary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/hosted/HostedPlatform.h"
#include "stubs/vovuru32/HostedStandInIpcLibrary.h"

namespace qel {
namespace {

class StandInIpcLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override { standin::ResetIpcLibrary(); }
  void TearDown() override { standin::ResetIpcLibrary(); }
};

// Both allocators that the tests get messages from fill every byte, so that
// a byte the writer of a message forgets differs from what it should be.
TEST_F(StandInIpcLibraryTest, NewMessagesAreFilledNotZeroed) {
  HostedPlatform platform;  // its own allocator, no stand-in installed
  auto* hosted = static_cast<uint8_t*>(platform.IpcAllocateMessage(64));
  auto* standIn = static_cast<uint8_t*>(StandInAllocateMessage(64));
  ASSERT_NE(hosted, nullptr);
  ASSERT_NE(standIn, nullptr);
  for (int i = 0; i < 64; ++i) {
    ASSERT_EQ(hosted[i], HostedPlatform::kFreshIpcMessageFill) << i;
    ASSERT_EQ(standIn[i], standin::kFreshMessageFill) << i;
  }
  platform.IpcReleaseMessage(hosted);
  EXPECT_EQ(StandInReleaseByNumber(standIn), 1);
}

TEST_F(StandInIpcLibraryTest, ReleasesOnlyItsOwnBuffers) {
  void* message = StandInAllocateByNumber(64);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(standin::CurrentIpcLibraryState().liveMessages, 1u);

  int foreign = 0;
  EXPECT_EQ(StandInReleaseByNumber(&foreign), 0);
  EXPECT_EQ(StandInReleaseByNumber(message), 1);
  EXPECT_EQ(StandInReleaseByNumber(message), 0);  // a second release is refused
  EXPECT_EQ(standin::CurrentIpcLibraryState().liveMessages, 0u);
  EXPECT_EQ(standin::CurrentIpcLibraryState().unknownReleases, 2);
}

TEST_F(StandInIpcLibraryTest, EnqueueTakesOverOnlyCompleteMessages) {
  struct Case {
    const char* what;
    uint32_t bufferSize;
    uint32_t totalSize;
    uint16_t headerSize;
    bool taken;
  };
  const Case cases[] = {
      {"smallest message", 32, 32, 32, true},
      {"total below its buffer", 48, 40, 32, true},
      {"buffer shorter than a header", 31, 31, 32, false},
      {"total below a header", 40, 31, 32, false},
      {"total past its buffer", 40, 41, 32, false},
      {"other header size", 40, 40, 28, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto* message = static_cast<uint8_t*>(StandInAllocateByNumber(c.bufferSize));
    ASSERT_NE(message, nullptr);
    for (int i = 0; i < 4; ++i) message[i] = static_cast<uint8_t>(c.totalSize >> (8 * i));
    if (c.bufferSize >= 6) {
      message[4] = static_cast<uint8_t>(c.headerSize);
      message[5] = static_cast<uint8_t>(c.headerSize >> 8);
    }
    message[c.bufferSize - 1] = 0x5A;
    std::vector<uint8_t> sent(message, message + std::min(c.totalSize, c.bufferSize));

    EXPECT_EQ(StandInEnqueueMessage(message) != 0, c.taken);
    std::vector<std::vector<uint8_t>> queued = standin::DrainEnqueuedMessages();
    if (c.taken) {
      ASSERT_EQ(queued.size(), 1u);
      EXPECT_EQ(queued[0], sent);
    } else {
      EXPECT_TRUE(queued.empty());
      EXPECT_EQ(StandInReleaseByNumber(message), 1);  // still the caller's
    }
    EXPECT_EQ(standin::CurrentIpcLibraryState().liveMessages, 0u);
  }
  int foreign[16] = {32, 32};
  EXPECT_EQ(StandInEnqueueMessage(foreign), 0);
  EXPECT_EQ(StandInEnqueueMessage(nullptr), 0);
}

TEST_F(StandInIpcLibraryTest, HostedPlatformRoutesTheNumberedImportsToIt) {
  HostedPlatform platform;
  standin::InstallIpcLibrary(platform);
  void* message = platform.IpcAllocateMessage(40);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(standin::CurrentIpcLibraryState().liveMessages, 1u);
  EXPECT_EQ(platform.IpcReleaseMessage(message), 1);
  EXPECT_EQ(standin::CurrentIpcLibraryState().liveMessages, 0u);
  EXPECT_NE(platform.LoadLibraryA("c:\\windows\\system32\\vovuru32.dll"), nullptr);
}

}  // namespace
}  // namespace qel
