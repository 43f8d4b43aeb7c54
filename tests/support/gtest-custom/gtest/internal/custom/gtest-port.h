// GoogleTest's own customisation point, put first on the include path of the
// win32 build only. Its Notification is built on std::mutex and
// std::condition_variable, which the win32 thread model lacks; this one waits
// on a flag instead. GoogleTest uses it to start threads of its own tests.
#ifndef GOOGLETEST_INCLUDE_GTEST_INTERNAL_CUSTOM_GTEST_PORT_H_
#define GOOGLETEST_INCLUDE_GTEST_INTERNAL_CUSTOM_GTEST_PORT_H_

#include <atomic>

#include "platform/SystemThreads.h"

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing::internal {

class Notification {
 public:
  Notification() = default;
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { notified_ = true; }
  void WaitForNotification() {
    while (!notified_) qel::YieldToOtherThreads();
  }

 private:
  std::atomic<bool> notified_{false};
};

}  // namespace testing::internal

#endif  // GOOGLETEST_INCLUDE_GTEST_INTERNAL_CUSTOM_GTEST_PORT_H_
