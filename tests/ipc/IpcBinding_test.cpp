#include "ipc/IpcBinding.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "IpcTestMessages.h"
#include "ipc/Dispatcher.h"
#include "platform/SystemThreads.h"
#include "platform/hosted/HostedPlatform.h"
#include "stubs/vovuru32/HostedStandInIpcLibrary.h"

namespace qel {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

struct EntryName {
  std::string name;
  bool required;
};

std::vector<EntryName> TableOrder() {
  std::vector<EntryName> names;
  IpcEntryPoints entries;
  ForEachIpcEntryPoint(entries, [&](const char* name, bool required, auto&) {
    names.push_back({name, required});
  });
  return names;
}

// The order in which the library saw the two start-up calls.
std::vector<std::string>& StartUpCalls() {
  static std::vector<std::string> calls;
  return calls;
}
int32_t QEL_STDCALL RecordInitApplication() {
  StartUpCalls().push_back("InitApplication");
  return StandInInitApplication();
}
int32_t QEL_STDCALL RecordUseInputDesktop(int32_t flag) {
  StartUpCalls().push_back("QelUseInputDesktop(" + std::to_string(flag) + ")");
  return StandInQelUseInputDesktop(flag);
}

class IpcBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetIpcBindingForTesting();
    standin::ResetIpcLibrary();
    StartUpCalls().clear();
  }
  void TearDown() override { ResetIpcBindingForTesting(); }

  // The names passed to GetProcAddress, in order.
  std::vector<std::string> LookedUpNames() const {
    std::vector<std::string> names;
    for (const std::string& call : platform_.CallLog()) {
      if (call.rfind("GetProcAddress(", 0) != 0) continue;
      size_t open = call.find('"');
      names.push_back(call.substr(open + 1, call.rfind('"') - open - 1));
    }
    return names;
  }

  HostedPlatform platform_;
};

TEST_F(IpcBindingTest, BindsEveryEntryInTableOrderAndStartsTheLibraryLast) {
  HostedPlatform::ExportTable exports = standin::IpcLibraryExports();
  exports["InitApplication"] = reinterpret_cast<void*>(&RecordInitApplication);
  exports["QelUseInputDesktop"] = reinterpret_cast<void*>(&RecordUseInputDesktop);
  standin::InstallIpcLibrary(platform_, exports);

  EXPECT_EQ(StartIpcBinding(platform_, 1), 1);

  std::vector<std::string> expectedNames;
  for (const EntryName& entry : TableOrder()) expectedNames.push_back(entry.name);
  EXPECT_EQ(expectedNames.size(), kIpcEntryPointCount);
  EXPECT_THAT(LookedUpNames(), ElementsAreArray(expectedNames));
  EXPECT_THAT(StartUpCalls(), ElementsAre("QelUseInputDesktop(1)", "InitApplication"));

  IpcBindingSnapshot binding = CurrentIpcBinding();
  EXPECT_TRUE(binding.bound);
  EXPECT_EQ(binding.useInputDesktop, 1);
  EXPECT_EQ(binding.messageCallback, &OnIpcMessage);
  ForEachIpcEntryPoint(binding.entries, [&](const char* name, bool, const auto& slot) {
    EXPECT_EQ(reinterpret_cast<void*>(slot), exports[name]) << name;
  });
  EXPECT_EQ(platform_.LoadedModuleCount(), 1);
}

TEST_F(IpcBindingTest, AbsentLibraryFailsQuietlyAndALaterStartBinds) {
  EXPECT_EQ(StartIpcBinding(platform_, 1), 0);
  EXPECT_FALSE(CurrentIpcBinding().bound);
  EXPECT_EQ(CurrentIpcBinding().messageCallback, nullptr);
  EXPECT_EQ(platform_.CallCount("GetProcAddress"), 0);
  EXPECT_EQ(platform_.CallCount("FreeLibrary"), 0);

  standin::InstallIpcLibrary(platform_);
  EXPECT_EQ(StartIpcBinding(platform_, 1), 1);
  EXPECT_TRUE(CurrentIpcBinding().bound);
  EXPECT_EQ(standin::CurrentIpcLibraryState().initApplicationCalls, 1);
  EXPECT_EQ(platform_.CallCount("LoadLibraryA"), 2);
}

TEST_F(IpcBindingTest, MissingRequiredEntryUnloadsOnceAndLeavesNothing) {
  for (const EntryName& entry : TableOrder()) {
    if (!entry.required) continue;
    SCOPED_TRACE(entry.name);
    HostedPlatform platform;
    HostedPlatform::ExportTable exports = standin::IpcLibraryExports();
    exports.erase(entry.name);
    standin::InstallIpcLibrary(platform, exports);
    standin::ResetIpcLibrary();

    EXPECT_EQ(StartIpcBinding(platform, 1), 0);
    EXPECT_EQ(platform.CallCount("GetProcAddress"), static_cast<int>(kIpcEntryPointCount));
    EXPECT_EQ(platform.LoadCount(), 1);
    EXPECT_EQ(platform.ReleaseCount(), 1);
    EXPECT_EQ(platform.LoadedModuleCount(), 0);
    EXPECT_FALSE(CurrentIpcBinding().bound);
    EXPECT_EQ(standin::CurrentIpcLibraryState().initApplicationCalls, 0);
    EXPECT_THAT(standin::CurrentIpcLibraryState().useInputDesktopFlags, IsEmpty());

    // Nothing kept: with the full library the next start binds from scratch.
    standin::InstallIpcLibrary(platform);
    EXPECT_EQ(StartIpcBinding(platform, 1), 1);
    EXPECT_EQ(platform.LoadCount(), 2);
    EXPECT_NE(CurrentIpcBinding().entries.deleteSvcNode, nullptr);
    ResetIpcBindingForTesting();
  }
}

TEST_F(IpcBindingTest, LibraryWithoutOptionalEntriesBindsWithoutUseInputDesktop) {
  HostedPlatform::ExportTable exports = standin::IpcLibraryExports();
  for (const EntryName& entry : TableOrder()) {
    if (!entry.required) exports.erase(entry.name);
  }
  standin::InstallIpcLibrary(platform_, exports);

  EXPECT_EQ(StartIpcBinding(platform_, 1), 1);
  EXPECT_THAT(standin::CurrentIpcLibraryState().useInputDesktopFlags, IsEmpty());
  EXPECT_EQ(standin::CurrentIpcLibraryState().initApplicationCalls, 1);
  IpcBindingSnapshot binding = CurrentIpcBinding();
  ForEachIpcEntryPoint(binding.entries, [&](const char* name, bool required, const auto& slot) {
    EXPECT_EQ(slot != nullptr, required) << name;
  });
}

TEST_F(IpcBindingTest, BoundLibraryIsNeverStartedAgain) {
  standin::InstallIpcLibrary(platform_);
  ASSERT_EQ(StartIpcBinding(platform_, 1), 1);
  platform_.ClearCallLog();

  EXPECT_EQ(StartIpcBinding(platform_, 0), 1);
  EXPECT_EQ(BindIpcLibrary(platform_), 1);
  EXPECT_TRUE(platform_.CallLog().empty());
  EXPECT_EQ(standin::CurrentIpcLibraryState().initApplicationCalls, 1);
  EXPECT_THAT(standin::CurrentIpcLibraryState().useInputDesktopFlags, ElementsAre(1));
  EXPECT_EQ(CurrentIpcBinding().useInputDesktop, 0);  // stored, never passed on
}

TEST_F(IpcBindingTest, TwoThreadsStartingTogetherBindOnce) {
  standin::InstallIpcLibrary(platform_);
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    ResetIpcBindingForTesting();
    standin::ResetIpcLibrary();
    int loadsBefore = platform_.LoadCount();

    // Both threads wait at the closed gate, which then opens for both.
    SystemLock gate;
    int32_t results[2] = {};
    auto start = [&](int index) {
      { std::lock_guard<SystemLock> pass(gate); }
      results[index] = StartIpcBinding(platform_, 1);
    };
    gate.lock();
    SystemThread first([&] { start(0); });
    SystemThread second([&] { start(1); });
    gate.unlock();
    first.Join();
    second.Join();

    EXPECT_EQ(results[0], 1);
    EXPECT_EQ(results[1], 1);
    EXPECT_EQ(platform_.LoadCount() - loadsBefore, 1);
    EXPECT_EQ(standin::CurrentIpcLibraryState().initApplicationCalls, 1);
  }
}

// An application that handles requests at once and counts them.
class CountingApplication : public IpcApplication {
 public:
  using IpcApplication::IpcApplication;
  int32_t HandleCommand(Command*) override {
    ++handled;
    return 1;
  }
  void HandleMessage(void*, uint32_t) override {}
  void OnTick() override {}
  std::atomic<int> handled{0};
};

// What a library does that delivers a message from a thread of its own while
// it initialises, and waits for the delivery before it returns.
struct DeliveryDuringInit {
  IpcApplication* application = nullptr;
  void* message = nullptr;
  std::unique_ptr<SystemThread> deliverer;
  std::atomic<bool> done{false};
  bool doneDuringInit = false;
};
DeliveryDuringInit& Delivery() {
  static DeliveryDuringInit delivery;
  return delivery;
}
int32_t QEL_STDCALL InitApplicationDelivering() {
  DeliveryDuringInit& delivery = Delivery();
  delivery.deliverer = std::make_unique<SystemThread>([&delivery] {
    OnIpcMessage(delivery.application, delivery.message, 0);
    delivery.done = true;
  });
  // Bounded, so that a dispatcher that waits for the binding fails the test
  // instead of hanging it.
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!delivery.done && std::chrono::steady_clock::now() < giveUp) YieldToOtherThreads();
  delivery.doneDuringInit = delivery.done;
  return StandInInitApplication();
}

// The request is handled while the library initialises; its reply finds the
// binding not yet complete, so it is not sent but released.
TEST_F(IpcBindingTest, DispatcherCalledDuringTheBindingDoesNotWaitForIt) {
  CountingApplication application(platform_);
  application.synchronous = 1;
  const std::vector<uint8_t> request = test::TestMessage{}.Bytes();
  Delivery().application = &application;
  Delivery().message = StandInAllocateByNumber(static_cast<uint32_t>(request.size()));
  std::memcpy(Delivery().message, request.data(), request.size());

  HostedPlatform::ExportTable exports = standin::IpcLibraryExports();
  exports["InitApplication"] = reinterpret_cast<void*>(&InitApplicationDelivering);
  standin::InstallIpcLibrary(platform_, exports);
  EXPECT_EQ(StartIpcBinding(platform_, 1), 1);
  Delivery().deliverer->Join();

  EXPECT_TRUE(Delivery().doneDuringInit);
  EXPECT_EQ(application.handled.load(), 1);
  EXPECT_THAT(standin::DrainEnqueuedMessages(), IsEmpty());
  EXPECT_EQ(standin::CurrentIpcLibraryState().liveMessages, 0u);
}

}  // namespace
}  // namespace qel
