#include "ipc/Dispatcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "IpcTestMessages.h"
#include "ipc/IpcBinding.h"
#include "platform/hosted/HostedPlatform.h"
#include "stubs/vovuru32/HostedStandInIpcLibrary.h"
#include "support/AllocationFailures.h"

namespace qel {
namespace {

using test::GetLe16;
using test::GetLe32;
using test::TestMessage;
using ::testing::_;
using ::testing::ElementsAre;
using ::testing::Invoke;
using ::testing::IsEmpty;
using ::testing::Return;
using ::testing::StrictMock;
using ::testing::Throw;

HSync Handle(uintptr_t value) { return reinterpret_cast<HSync>(value); }

class TestApplication : public IpcApplication {
 public:
  using IpcApplication::IpcApplication;
  MOCK_METHOD(int32_t, HandleCommand, (Command*), (override));
  MOCK_METHOD(void, HandleMessage, (void*, uint32_t), (override));
  MOCK_METHOD(void, OnTick, (), (override));
};

// Notes what had happened on the platform when it was completed and deleted.
class RecordingCommand : public Command {
 public:
  RecordingCommand(HostedPlatform& platform, std::vector<std::string>& log)
      : Command(platform, 1), platform_(platform), log_(log) {}
  ~RecordingCommand() override { log_.push_back("deleted " + Seen()); }
  void Completed() override { log_.push_back("Completed " + Seen()); }

 private:
  std::string Seen() const {
    return "released=" + std::to_string(platform_.CallCount("ReleaseMutex")) +
           " set=" + std::to_string(platform_.CallCount("SetEvent")) +
           " posted=" + std::to_string(platform_.CallCount("PostThreadMessageA"));
  }
  HostedPlatform& platform_;
  std::vector<std::string>& log_;
};

void* QEL_STDCALL AllocateNothing(uint32_t) { return nullptr; }
int32_t QEL_STDCALL RefuseEverything(void*) { return 0; }

class DispatcherTest : public ::testing::Test {
 protected:
  static constexpr uintptr_t kPendingLock = 0x501;
  static constexpr uintptr_t kHandlerLock = 0x502;

  void SetUp() override {
    ResetIpcBindingForTesting();
    standin::ResetIpcLibrary();
    Bind(standin::IpcLibraryExports());
    app_ = std::make_unique<StrictMock<TestApplication>>(platform_);
    app_->name = "myapp";
    app_->pendingLock = MutexLock(Handle(kPendingLock));
    app_->handlerLock = MutexLock(Handle(kHandlerLock));
    platform_.ClearCallLog();
  }

  void TearDown() override {
    app_.reset();
    ResetIpcBindingForTesting();
    // Every message was released exactly once, or taken over by the library.
    standin::IpcLibraryState state = standin::CurrentIpcLibraryState();
    EXPECT_EQ(state.liveMessages, 0u);
    EXPECT_EQ(state.unknownReleases, 0);
    standin::ResetIpcLibrary();
  }

  void Bind(const HostedPlatform::ExportTable& exports) {
    ResetIpcBindingForTesting();
    standin::InstallIpcLibrary(platform_, exports);
    ASSERT_EQ(StartIpcBinding(platform_, 1), 1);
  }

  // A message from the library: an exactly-sized buffer of its own.
  static void* Received(const std::vector<uint8_t>& bytes) {
    void* message = StandInAllocateByNumber(static_cast<uint32_t>(bytes.size()));
    std::memcpy(message, bytes.data(), bytes.size());
    return message;
  }

  void Dispatch(void* message, uint32_t value = 0) {
    EXPECT_EQ(OnIpcMessage(app_.get(), message, value), 0);
  }

  void Tick(uint32_t elapsed) { Dispatch(nullptr, elapsed); }

  PendingCommand* AddPending(Command* command, int32_t owned) {
    auto* node = new PendingCommand;
    node->command = command;
    node->owned = owned;
    node->next = app_->pendingCommands;
    app_->pendingCommands = node;
    return node;
  }

  // A pending command whose waiter watches its done flag, the event 0x601
  // and thread 77's messages.
  void AddWatched(Command* command, std::atomic<int16_t>& done) {
    PendingCommand* node = AddPending(command, 0);
    node->done = &done;
    node->event = &event_;
    node->threadId = 77;
  }

  std::vector<Command*> PendingList() const {
    std::vector<Command*> commands;
    for (PendingCommand* node = app_->pendingCommands; node; node = node->next) {
      commands.push_back(node->command);
    }
    return commands;
  }

  test::PlatformThatNeverFailsToRecord platform_;
  std::unique_ptr<StrictMock<TestApplication>> app_;
  std::vector<std::string> log_;
  EventSignal event_{Handle(0x601)};
};

TEST_F(DispatcherTest, SixteenthTickOfASecondTimesOutA15SecondCommand) {
  RecordingCommand command(platform_, log_);
  std::atomic<int16_t> done{0};
  AddWatched(&command, done);

  for (int tick = 0; tick < 15; ++tick) Tick(1000);
  EXPECT_EQ(command.remainingTime, 0u);
  EXPECT_THAT(PendingList(), ElementsAre(&command));
  EXPECT_THAT(log_, IsEmpty());

  platform_.ClearCallLog();
  Tick(1000);
  EXPECT_THAT(PendingList(), IsEmpty());
  EXPECT_EQ(command.replyStatus, kReplyStatusTimedOut);
  EXPECT_EQ(done.load(), 1);
  EXPECT_THAT(log_, ElementsAre("Completed released=0 set=0 posted=0"));
  // Completed under the pending lock.
  EXPECT_THAT(platform_.CallLog(),
              ElementsAre("WaitForSingleObject(0x501, 0xffffffff)", "SetEvent(0x601)",
                          "PostThreadMessageA(77, 1258, 0, 0)", "ReleaseMutex(0x501)"));
}

TEST_F(DispatcherTest, TimeOutKeepsTheOthersAndDeletesOwnedCommands) {
  auto* owned = new RecordingCommand(platform_, log_);
  owned->remainingTime = 500;
  Command keeps(platform_, 1);
  keeps.remainingTime = 2000;
  AddPending(owned, 1);
  AddPending(&keeps, 0);

  Tick(1000);
  EXPECT_THAT(PendingList(), ElementsAre(&keeps));
  EXPECT_EQ(keeps.remainingTime, 1000u);
  EXPECT_THAT(log_, ElementsAre("Completed released=0 set=0 posted=0",
                                "deleted released=0 set=0 posted=0"));
}

TEST_F(DispatcherTest, TickCallsOnTickAtMostOnceAndRestartsTheCountdown) {
  struct Case {
    const char* what;
    uint32_t interval;
    uint32_t countdown;
    uint32_t elapsed;
    bool ticks;
    uint32_t countdownAfter;
  };
  const Case cases[] = {
      {"elapsed 0, countdown 0", 1000, 0, 0, true, 1000},
      {"several intervals", 1000, 300, 5000, true, 1000},
      {"exactly the countdown", 1000, 300, 300, true, 1000},
      {"short of the countdown", 1000, 300, 299, false, 1},
      {"no interval", 0, 0, 5000, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Command waiting(platform_, 1);
    waiting.remainingTime = 0;
    if (c.elapsed == 0) AddPending(&waiting, 0);
    app_->tickInterval = c.interval;
    app_->tickCountdown = c.countdown;
    platform_.ClearCallLog();
    EXPECT_CALL(*app_, OnTick()).Times(c.ticks ? 1 : 0).WillRepeatedly(Invoke([&] {
      // Still under the pending lock.
      EXPECT_EQ(platform_.CallCount("ReleaseMutex"), 0);
    }));
    Tick(c.elapsed);
    ::testing::Mock::VerifyAndClearExpectations(app_.get());
    EXPECT_EQ(app_->tickCountdown, c.countdownAfter);
    if (c.elapsed == 0) {
      EXPECT_THAT(PendingList(), ElementsAre(&waiting));  // 0 times nothing out
      delete app_->pendingCommands;
      app_->pendingCommands = nullptr;
    }
  }
}

TEST_F(DispatcherTest, PassThroughHandsOverMessagesAndIgnoresTicks) {
  app_->passThrough = 1;
  app_->tickInterval = 1000;
  Command waiting(platform_, 1);
  waiting.remainingTime = 10;
  AddPending(&waiting, 0);

  Tick(5000);
  EXPECT_EQ(waiting.remainingTime, 10u);
  EXPECT_TRUE(platform_.CallLog().empty());

  TestMessage reply;
  reply.flags = 1;
  void* message = Received(reply.Bytes());
  EXPECT_CALL(*app_, HandleMessage(message, 9u)).WillOnce(Invoke([](void* taken, uint32_t) {
    EXPECT_EQ(standin::CurrentIpcLibraryState().liveMessages, 1u);
    StandInReleaseByNumber(taken);
  }));
  Dispatch(message, 9);
}

TEST_F(DispatcherTest, EchoRequestIsAnsweredFromItsRecipient) {
  for (uint8_t flags : {4, 2}) {
    TestMessage echo;
    echo.flags = flags;
    echo.tag = 0x33;
    echo.sender = "abcd";       // length 5
    echo.recipient = "efghij";  // length 7
    echo.code = 5;
    echo.sequence = 99;
    echo.params = {"zz"};
    Dispatch(Received(echo.Bytes()));

    std::vector<std::vector<uint8_t>> sent = standin::DrainEnqueuedMessages();
    ASSERT_EQ(sent.size(), 1u);
    const std::vector<uint8_t>& reply = sent[0];
    ASSERT_EQ(reply.size(), 44u);
    EXPECT_EQ(reply[6], flags | 1);
    EXPECT_EQ(GetLe16(reply, 8), 7u);
    EXPECT_EQ(GetLe16(reply, 10), 32u);
    EXPECT_EQ(GetLe16(reply, 12), 5u);
    EXPECT_EQ(GetLe16(reply, 14), 39u);
    EXPECT_EQ(GetLe32(reply, 18), 0u);
    EXPECT_EQ(GetLe16(reply, 22), 0u);
    EXPECT_EQ(GetLe16(reply, 24), 0u);
    EXPECT_EQ(GetLe16(reply, 26), 0u);
    TestMessage expected;
    expected.flags = static_cast<uint8_t>(flags | 1);
    expected.tag = 0x33;
    expected.sender = "efghij";
    expected.recipient = "abcd";
    expected.sequence = 99;
    std::vector<uint8_t> expectedBytes = expected.Bytes();
    test::PutLe16(expectedBytes, 24, 0);
    test::PutLe16(expectedBytes, 26, 0);
    EXPECT_EQ(reply, expectedBytes);
  }
}

TEST_F(DispatcherTest, EchoIsDroppedWhenItCannotBeAnswered) {
  TestMessage echo;
  echo.flags = 4;
  echo.sender = "abcd";
  echo.recipient = "efghij";
  const std::vector<uint8_t> good = echo.Bytes();

  std::vector<uint8_t> senderTooLong = good;
  test::PutLe16(senderTooLong, 8, static_cast<uint32_t>(good.size()) - 32 + 1);
  std::vector<uint8_t> recipientTooLong = good;
  test::PutLe16(recipientTooLong, 12, 0xFFFF);
  // Names whose length fields leave out their terminating zero would reach
  // the asker unterminated.
  std::vector<uint8_t> senderUnterminated = good;
  test::PutLe16(senderUnterminated, 8, 4);
  std::vector<uint8_t> recipientEmpty = good;
  test::PutLe16(recipientEmpty, 12, 0);
  for (const std::vector<uint8_t>& bytes :
       {senderTooLong, recipientTooLong, senderUnterminated, recipientEmpty}) {
    Dispatch(Received(bytes));
  }
  EXPECT_THAT(standin::DrainEnqueuedMessages(), IsEmpty());

  HostedPlatform::ExportTable exports = standin::IpcLibraryExports();
  exports["AllocateMessage"] = reinterpret_cast<void*>(&AllocateNothing);
  Bind(exports);
  Dispatch(Received(good));

  exports = standin::IpcLibraryExports();
  exports["EnqueueMessage"] = reinterpret_cast<void*>(&RefuseEverything);
  Bind(exports);
  Dispatch(Received(good));  // the refused reply is released

  ResetIpcBindingForTesting();
  Dispatch(Received(good));
  EXPECT_THAT(standin::DrainEnqueuedMessages(), IsEmpty());
}

TEST_F(DispatcherTest, ReplyCompletesTheFirstMatchingCommandAfterTheLock) {
  RecordingCommand notOwned(platform_, log_);
  notOwned.sequence = 500;
  Command sameSequenceLater(platform_, 1);
  sameSequenceLater.sequence = 500;
  AddPending(&sameSequenceLater, 0);
  PendingCommand* node = AddPending(&notOwned, 0);
  node->threadId = 12;

  TestMessage reply;
  reply.flags = 3;  // bit 0 makes it a reply
  reply.sequence = 500;
  reply.code = 8;
  reply.sender = "server";
  reply.recipient = "client";
  reply.params = {"result"};
  Dispatch(Received(reply.Bytes()));

  EXPECT_THAT(PendingList(), ElementsAre(&sameSequenceLater));
  EXPECT_EQ(notOwned.replyStatus, 8);
  ASSERT_EQ(notOwned.ReplyParams().Count(), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(notOwned.ReplyParams().Data(0)), 6),
            "result");
  EXPECT_STREQ(notOwned.OwnName(), "client");
  EXPECT_THAT(log_, ElementsAre("Completed released=1 set=0 posted=0"));
}

TEST_F(DispatcherTest, OwnedCommandIsDeletedAfterItsNotifications) {
  auto* owned = new RecordingCommand(platform_, log_);
  owned->sequence = 7;
  EventSignal event(Handle(0x601));
  PendingCommand* node = AddPending(owned, 1);
  node->event = &event;
  node->threadId = 12;

  TestMessage unknown;
  unknown.flags = 1;
  unknown.sequence = 8;
  Dispatch(Received(unknown.Bytes()));
  EXPECT_EQ(PendingList().size(), 1u);

  TestMessage reply = unknown;
  reply.sequence = 7;
  Dispatch(Received(reply.Bytes()));
  EXPECT_THAT(PendingList(), IsEmpty());
  EXPECT_THAT(log_, ElementsAre("Completed released=2 set=0 posted=0",
                                "deleted released=2 set=1 posted=1"));
}

TEST_F(DispatcherTest, UnknownKindsAreReleasedUnanswered) {
  for (uint8_t flags : {6, 8, 0x80}) {
    TestMessage message;
    message.flags = flags;
    Dispatch(Received(message.Bytes()));
  }
  EXPECT_THAT(standin::DrainEnqueuedMessages(), IsEmpty());
  EXPECT_EQ(platform_.CallCount("IpcReleaseMessage"), 3);
  EXPECT_EQ(platform_.CallLog().size(), 3u);  // and no lock taken
}

TEST_F(DispatcherTest, AsynchronousRequestsAreQueuedNewestFirst) {
  TestMessage request;
  void* first = Received(request.Bytes());
  void* second = Received(request.Bytes());
  Dispatch(first, 1);
  Dispatch(second, 2);

  ASSERT_NE(app_->queuedMessages, nullptr);
  EXPECT_EQ(app_->queuedMessages->message, second);
  EXPECT_EQ(app_->queuedMessages->value, 2u);
  ASSERT_NE(app_->queuedMessages->next, nullptr);
  EXPECT_EQ(app_->queuedMessages->next->message, first);
  EXPECT_EQ(app_->queuedMessages->next->value, 1u);
  EXPECT_EQ(app_->queuedMessages->next->next, nullptr);
  EXPECT_EQ(standin::CurrentIpcLibraryState().liveMessages, 2u);  // the queue owns them
  const std::vector<std::string> log = platform_.CallLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), "WaitForSingleObject(0x502, 0xffffffff)"), 2);
}

TEST_F(DispatcherTest, SynchronousRequestIsAnsweredUnderTheHandlerLock) {
  app_->synchronous = 1;
  TestMessage request;
  request.tag = 2;
  request.sender = "client";
  request.recipient = "server";
  request.code = 12;
  request.sequence = 34;
  request.params = {"p"};

  EXPECT_CALL(*app_, HandleCommand(_)).WillOnce(Invoke([&](Command* command) {
    EXPECT_EQ(standin::CurrentIpcLibraryState().liveMessages, 0u);  // request released
    EXPECT_EQ(platform_.CallLog().back(), "WaitForSingleObject(0x502, 0xffffffff)");
    EXPECT_EQ(command->requestCode, 12);
    command->replyStatus = 7;
    command->AddReplyParamCopy("r", 1);
    return 1;
  }));
  Dispatch(Received(request.Bytes()));

  TestMessage expected;
  expected.flags = 1;
  expected.tag = 2;
  expected.sender = "myapp";
  expected.recipient = "client";
  expected.code = 7;
  expected.sequence = 34;
  expected.params = {"r"};
  EXPECT_THAT(standin::DrainEnqueuedMessages(), ElementsAre(expected.Bytes()));
  EXPECT_EQ(platform_.CallLog().back(), "ReleaseMutex(0x502)");
  EXPECT_EQ(platform_.CallCount("PostQuitMessage"), 0);
}

TEST_F(DispatcherTest, QuitIsPostedOnlyAfterAReplyWasBuilt) {
  app_->synchronous = 1;
  struct Case {
    const char* what;
    bool allocationFails;
    bool enqueueRefuses;
    size_t sent;
    int quits;
  };
  const Case cases[] = {
      {"reply sent", false, false, 1, 1},
      {"reply refused", false, true, 0, 1},
      {"reply not built", true, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HostedPlatform::ExportTable exports = standin::IpcLibraryExports();
    if (c.enqueueRefuses) exports["EnqueueMessage"] = reinterpret_cast<void*>(&RefuseEverything);
    Bind(exports);
    void* request = Received(TestMessage{}.Bytes());
    platform_.ClearCallLog();
    if (c.allocationFails) platform_.FailCall("IpcAllocateMessage", 1);
    EXPECT_CALL(*app_, HandleCommand(_)).WillOnce(Return(0));
    Dispatch(request);
    EXPECT_EQ(standin::DrainEnqueuedMessages().size(), c.sent);
    EXPECT_EQ(platform_.CallCount("PostQuitMessage"), c.quits);
    if (c.quits != 0) {
      EXPECT_EQ(platform_.CallLog().back(), "PostQuitMessage(0)");
    }
    EXPECT_EQ(platform_.CallCount("ReleaseMutex"), 1);
  }
}

TEST_F(DispatcherTest, HandlerKeepingTheCommandGetsNoReplyButQuitStillPosts) {
  app_->synchronous = 1;
  std::unique_ptr<Command> kept;
  EXPECT_CALL(*app_, HandleCommand(_)).WillOnce(Invoke([&](Command* command) {
    command->flags |= Command::kKeptByHandler;
    kept.reset(command);
    return 0;
  }));
  TestMessage request;
  request.code = 21;
  Dispatch(Received(request.Bytes()));

  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->requestCode, 21);  // alive, and still the request it was
  EXPECT_THAT(standin::DrainEnqueuedMessages(), IsEmpty());
  EXPECT_EQ(platform_.CallCount("ReleaseMutex"), 1);
  EXPECT_EQ(platform_.CallLog().back(), "PostQuitMessage(0)");
}

TEST_F(DispatcherTest, MalformedMessagesAreReleasedAndNothingElseHappens) {
  Command waiting(platform_, 1);
  waiting.sequence = 500;
  AddPending(&waiting, 0);
  TestMessage good;
  good.sender = "ab";
  good.recipient = "c";
  good.params = {"xyz", "pq"};
  good.sequence = 500;

  // A request is checked before it is queued as fully as before it is handled.
  const struct {
    uint8_t flags;
    int32_t synchronous;
  } kinds[] = {{0, 1}, {0, 0}, {1, 1}, {4, 1}};
  for (const auto& kind : kinds) {
    const uint8_t flags = kind.flags;
    good.flags = flags;
    app_->synchronous = kind.synchronous;
    for (const test::MalformedMessage& variant : test::MalformedVariants(good.Bytes())) {
      SCOPED_TRACE(std::to_string(flags) + (kind.synchronous ? " handled: " : " queued: ") +
                   variant.what);
      Dispatch(Received(variant.bytes));
      EXPECT_EQ(app_->queuedMessages, nullptr);
      EXPECT_EQ(standin::CurrentIpcLibraryState().liveMessages, 0u);
      EXPECT_EQ(standin::CurrentIpcLibraryState().unknownReleases, 0);
      // An echo may be answered from names that lie inside; nothing else is sent.
      std::vector<std::vector<uint8_t>> sent = standin::DrainEnqueuedMessages();
      if (flags != 4) {
        EXPECT_THAT(sent, IsEmpty());
      }
    }
  }
  EXPECT_THAT(PendingList(), ElementsAre(&waiting));
  EXPECT_EQ(waiting.replyStatus, 0);
  EXPECT_EQ(platform_.CallCount("PostQuitMessage"), 0);
}

TEST_F(DispatcherTest, LockingSwitchAndNullHandlesSkipTheMutexCalls) {
  Command waiting(platform_, 1);
  AddPending(&waiting, 0);
  SetMutexLockingSuppressed(true);
  Tick(1);
  Dispatch(Received(TestMessage{}.Bytes()));
  SetMutexLockingSuppressed(false);

  app_->pendingLock = MutexLock();
  app_->handlerLock = MutexLock();
  Tick(1);
  Dispatch(Received(TestMessage{}.Bytes()));

  EXPECT_EQ(platform_.CallCount("WaitForSingleObject"), 0);
  EXPECT_EQ(platform_.CallCount("ReleaseMutex"), 0);
  EXPECT_EQ(waiting.remainingTime, Command::kInitialRemainingTime - 2);

  app_->pendingLock = MutexLock(Handle(kPendingLock));
  Tick(1);
  EXPECT_EQ(platform_.CallCount("WaitForSingleObject"), 1);
  EXPECT_EQ(platform_.CallCount("ReleaseMutex"), 1);
}

TEST_F(DispatcherTest, MessageWithoutApplicationIsReleased) {
  EXPECT_EQ(OnIpcMessage(nullptr, Received(TestMessage{}.Bytes()), 0), 0);
  EXPECT_EQ(OnIpcMessage(nullptr, nullptr, 1000), 0);
  EXPECT_EQ(standin::CurrentIpcLibraryState().liveMessages, 0u);
  EXPECT_EQ(platform_.CallCount("IpcReleaseMessage"), 1);
}

// Completed throws: the waiter must still be woken, and the node not leak.
class ThrowingCommand : public Command {
 public:
  using Command::Command;
  void Completed() override { throw std::runtime_error("Completed failed"); }
};

TEST_F(DispatcherTest, ApplicationOperationsThatThrowAreContained) {
  app_->synchronous = 1;
  EXPECT_CALL(*app_, HandleCommand(_)).WillOnce(Throw(std::runtime_error("handler failed")));
  Dispatch(Received(TestMessage{}.Bytes()));

  // Kept, then thrown: the command is the handler's, not deleted under it.
  std::unique_ptr<Command> kept;
  EXPECT_CALL(*app_, HandleCommand(_)).WillOnce(Invoke([&](Command* command) -> int32_t {
    command->flags |= Command::kKeptByHandler;
    kept.reset(command);
    throw std::runtime_error("handler failed after keeping");
  }));
  TestMessage request;
  request.code = 21;
  Dispatch(Received(request.Bytes()));
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->requestCode, 21);

  ThrowingCommand command(platform_, 1);
  command.remainingTime = 0;
  std::atomic<int16_t> done{0};
  AddWatched(&command, done);
  app_->tickInterval = 1000;
  EXPECT_CALL(*app_, OnTick()).WillOnce(Throw(std::runtime_error("tick failed")));
  Tick(1000);
  EXPECT_THAT(PendingList(), IsEmpty());
  EXPECT_EQ(done.load(), 1);
  EXPECT_EQ(platform_.CallCount("SetEvent"), 1);
  EXPECT_EQ(platform_.CallCount("PostThreadMessageA"), 1);

  app_->passThrough = 1;
  EXPECT_CALL(*app_, HandleMessage(_, _)).WillOnce(Invoke([](void* message, uint32_t) {
    StandInReleaseByNumber(message);  // taken over, then thrown
    throw std::runtime_error("pass-through failed");
  }));
  Dispatch(Received(TestMessage{}.Bytes()));

  EXPECT_EQ(platform_.CallCount("WaitForSingleObject"), 3);
  EXPECT_EQ(platform_.CallCount("ReleaseMutex"), 3);
  EXPECT_THAT(standin::DrainEnqueuedMessages(), IsEmpty());
  EXPECT_EQ(platform_.CallCount("PostQuitMessage"), 0);
}

// An application without mocks, which allocate: its handler allocates as a
// real one does, reply parameters past the first arrays' room.
class AllocatingApplication : public IpcApplication {
 public:
  using IpcApplication::IpcApplication;
  int32_t HandleCommand(Command* command) override {
    for (int i = 0; i < 20; ++i) command->AddReplyParamCopy("r", 1);
    return 1;
  }
  void HandleMessage(void* message, uint32_t) override { platform().IpcReleaseMessage(message); }
  void OnTick() override {}
};

// Every allocation of the dispatcher and the application fails in turn, and
// every one after it: the message is released (or queued) and nothing is
// thrown back; a reply completes its command once, with what it carried or
// as a failure, never as a success without its parameters.
TEST_F(DispatcherTest, RunningOutOfMemoryAnywhereLosesNoMessageAndNoWaiter) {
  const std::string longName(40, 'n');  // past any in-place string buffer
  TestMessage base;
  base.sender = longName;
  base.recipient = longName + "r";
  base.sequence = 77;
  base.code = 9;
  base.params.assign(20, "p");  // the arrays grow at the 16th
  const struct {
    const char* what;
    uint8_t flags;
    int32_t synchronous;
  } cases[] = {
      {"reply", 1, 0},
      {"handled request", 0, 1},
      {"queued request", 0, 0},
      {"echo request", 4, 0},
  };
  for (const auto& c : cases) {
    bool failed = true;
    for (int successes = 0; failed; ++successes) {
      SCOPED_TRACE(std::string(c.what) + ", failing after " + std::to_string(successes));
      AllocatingApplication app(platform_);
      app.name = longName;
      app.synchronous = c.synchronous;
      app.pendingLock = MutexLock(Handle(kPendingLock));
      app.handlerLock = MutexLock(Handle(kHandlerLock));
      Command waiting(platform_, 1);
      waiting.sequence = base.sequence;
      std::atomic<int16_t> done{0};
      app.pendingCommands = new PendingCommand{&waiting, nullptr, 0, &done, 0, nullptr};
      TestMessage message = base;
      message.flags = c.flags;
      void* received = Received(message.Bytes());
      platform_.ClearCallLog();

      test::FailAllocationsAfter(successes);
      const int32_t result = OnIpcMessage(&app, received, 0);
      failed = test::StopFailingAllocations();

      EXPECT_EQ(result, 0);
      EXPECT_EQ(platform_.CallCount("WaitForSingleObject"), platform_.CallCount("ReleaseMutex"));
      EXPECT_EQ(standin::CurrentIpcLibraryState().liveMessages, app.queuedMessages ? 1u : 0u);
      standin::DrainEnqueuedMessages();
      if (c.flags != 1) continue;
      EXPECT_EQ(app.pendingCommands, nullptr);
      EXPECT_EQ(done.load(), 1);
      if (waiting.replyStatus != kReplyStatusTimedOut) {
        EXPECT_EQ(waiting.replyStatus, 9);
        EXPECT_EQ(waiting.ReplyParams().Count(), 20u);
      }
      EXPECT_EQ(waiting.replyStatus == kReplyStatusTimedOut, failed);
    }
  }
}

}  // namespace
}  // namespace qel
