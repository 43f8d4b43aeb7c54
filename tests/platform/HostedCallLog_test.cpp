// The hosted platform's call log, read while another thread goes on calling
// and clearing it, as the dispatcher's tests read it.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/SystemThreads.h"
#include "platform/hosted/HostedPlatform.h"

namespace qel {
namespace {

TEST(HostedCallLog, EachReadIsAWholeLogOfItsMoment) {
  HostedPlatform platform;
  constexpr int kRounds = 1000;
  constexpr size_t kCallsPerRound = 500;
  std::atomic<bool> done{false};
  SystemThread caller([&] {
    for (int round = 0; round < kRounds; ++round) {
      platform.ClearCallLog();
      for (size_t i = 0; i < kCallsPerRound; ++i) platform.GetTickCount();
    }
    done = true;
  });
  while (!done) {
    const std::vector<std::string> log = platform.CallLog();
    ASSERT_LE(log.size(), kCallsPerRound);
    for (const std::string& entry : log) ASSERT_EQ(entry, "GetTickCount()");
  }
  caller.Join();
  EXPECT_EQ(platform.CallLog().size(), kCallsPerRound);
}

}  // namespace
}  // namespace qel
