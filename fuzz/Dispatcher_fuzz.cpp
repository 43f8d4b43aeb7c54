// OnIpcMessage with arbitrary bytes as the message, on an application whose
// settings and pending commands the first bytes choose, and with memory that
// may run out at any allocation. Whatever comes in, nothing is thrown back,
// every lock taken is given back, every message ends up released exactly once
// or handed on, every pending command is completed at most once (and once
// when it left the list), a reply completes its command with all its
// parameters or as a failure, and every answer sent is a whole reply.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "fuzz/IpcFuzzMessage.h"
#include "ipc/Dispatcher.h"
#include "ipc/IpcBinding.h"
#include "ipc/MessageHeader.h"
#include "platform/hosted/HostedPlatform.h"
#include "stubs/vovuru32/HostedStandInIpcLibrary.h"
#include "tests/support/AllocationFailures.h"

namespace {

using qel::Command;
using qel::MessageHeader;

// The first byte: how the application is set up.
enum Settings : uint8_t {
  kPassThrough = 1 << 0,
  kSynchronous = 1 << 1,
  kHandlerKeeps = 1 << 2,
  kHandlerQuits = 1 << 3,
  kTimerTick = 1 << 4,        // the next 4 bytes are the elapsed time; no message
  kMatchingIsOwned = 1 << 5,  // the command waiting for the message's number is owned
  kPeriodicTick = 1 << 6,
  kFailAllocations = 1 << 7,  // the next byte: how many allocations succeed first
};

struct Fate {
  int completions = 0;
  bool deleted = false;
  int32_t replyStatus = 0;
  uint32_t replyParameters = 0;
};

class TrackedCommand : public Command {
 public:
  TrackedCommand(qel::Platform& platform, Fate& fate) : Command(platform, 1), fate_(fate) {}
  ~TrackedCommand() override { fate_.deleted = true; }
  void Completed() override {
    ++fate_.completions;
    fate_.replyStatus = replyStatus;
    fate_.replyParameters = ReplyParams().Count();
  }

 private:
  Fate& fate_;
};

class Application : public qel::IpcApplication {
 public:
  Application(qel::Platform& platform, uint8_t settings)
      : IpcApplication(platform), settings_(settings) {}

  int32_t HandleCommand(Command* command) override {
    if (settings_ & kHandlerKeeps) {
      command->flags |= Command::kKeptByHandler;
      kept_.reset(command);
    }
    command->replyStatus = 5;
    QEL_FUZZ_CHECK(command->AddReplyParamCopy("ok", 2));
    return (settings_ & kHandlerQuits) ? 0 : 1;
  }
  void HandleMessage(void* message, uint32_t) override { platform().IpcReleaseMessage(message); }
  void OnTick() override { ++ticks; }

  int ticks = 0;

 private:
  uint8_t settings_;
  std::unique_ptr<Command> kept_;
};

qel::HostedPlatform& Platform() {
  static qel::HostedPlatform* platform = [] {
    auto* made = new qel::test::PlatformThatNeverFailsToRecord;
    qel::standin::InstallIpcLibrary(*made);
    QEL_FUZZ_CHECK(qel::StartIpcBinding(*made, 1) == 1);
    return made;
  }();
  return *platform;
}

void* AllocateFromLibrary(size_t size) {
  return StandInAllocateByNumber(static_cast<uint32_t>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  qel::HostedPlatform& platform = Platform();
  const uint8_t settings = data[0];
  ++data;
  --size;
  int64_t successesBeforeFailure = -1;
  if (settings & kFailAllocations) {
    if (size < 1) return 0;
    successesBeforeFailure = data[0];
    ++data;
    --size;
  }

  uint32_t elapsed = 0;
  void* message = nullptr;
  if (settings & kTimerTick) {
    if (size < 4) return 0;
    elapsed = qel::ReadLe32(data);
  } else {
    message = qel::fuzz::ReceivedMessage(data, size, AllocateFromLibrary);
    if (message == nullptr) return 0;
  }
  const uint32_t sequence =
      size >= MessageHeader::kSize ? qel::ReadLe32(data + MessageHeader::kSequenceOffset) : 0;
  const uint32_t parameterCount =
      size >= MessageHeader::kSize ? qel::ReadLe16(data + MessageHeader::kParameterCountOffset) : 0;

  auto application = std::make_unique<Application>(platform, settings);
  application->passThrough = (settings & kPassThrough) ? 1 : 0;
  application->synchronous = (settings & kSynchronous) ? 1 : 0;
  application->name = "fuzz";
  application->pendingLock = qel::MutexLock(reinterpret_cast<qel::HSync>(uintptr_t{0x501}));
  application->handlerLock = qel::MutexLock(reinterpret_cast<qel::HSync>(uintptr_t{0x502}));
  if (settings & kPeriodicTick) {
    application->tickInterval = 1000;
    application->tickCountdown = 1000;
  }

  // Two commands wait: one for the message's number, one for the next.
  Fate matchingFate;
  Fate otherFate;
  auto* matching = new TrackedCommand(platform, matchingFate);
  matching->sequence = sequence;
  std::unique_ptr<TrackedCommand> other(new TrackedCommand(platform, otherFate));
  other->sequence = sequence + 1;
  other->remainingTime = 40000;
  std::unique_ptr<TrackedCommand> matchingIfNotOwned((settings & kMatchingIsOwned) ? nullptr
                                                                                   : matching);
  application->pendingCommands =
      new qel::PendingCommand{matching,
                              new qel::PendingCommand{other.get(), nullptr, 0, nullptr, 0, nullptr},
                              (settings & kMatchingIsOwned) ? 1 : 0,
                              nullptr,
                              0,
                              nullptr};

  if (successesBeforeFailure >= 0) qel::test::FailAllocationsAfter(successesBeforeFailure);
  QEL_FUZZ_CHECK(qel::OnIpcMessage(application.get(), message, elapsed) == 0);
  qel::test::StopFailingAllocations();
  QEL_FUZZ_CHECK(platform.CallCount("WaitForSingleObject") == platform.CallCount("ReleaseMutex"));

  bool matchingPending = false;
  for (const qel::PendingCommand* node = application->pendingCommands; node; node = node->next) {
    if (node->command != other.get()) matchingPending = true;
  }
  for (const Fate* fate : {&matchingFate, &otherFate}) QEL_FUZZ_CHECK(fate->completions <= 1);
  QEL_FUZZ_CHECK(matchingFate.completions == (matchingPending ? 0 : 1));
  // A reply either carried all its parameters into the command, or failed.
  if (message != nullptr && matchingFate.completions == 1 &&
      matchingFate.replyStatus != qel::kReplyStatusTimedOut) {
    QEL_FUZZ_CHECK(matchingFate.replyParameters == parameterCount);
  }
  QEL_FUZZ_CHECK(application->ticks <= 1);

  for (const std::vector<uint8_t>& sent : qel::standin::DrainEnqueuedMessages()) {
    const std::unique_ptr<uint8_t[]> copy(new uint8_t[sent.size()]);
    std::memcpy(copy.get(), sent.data(), sent.size());
    QEL_FUZZ_CHECK(qel::MessageBodyFits(copy.get()));
    const MessageHeader header = MessageHeader::Read(copy.get());
    QEL_FUZZ_CHECK((header.flags & MessageHeader::kReplyFlag) != 0);
    QEL_FUZZ_CHECK(header.totalSize == sent.size() && header.sequence == sequence);
  }

  // The application releases what it queued and deletes owned commands.
  application.reset();
  QEL_FUZZ_CHECK(!(settings & kMatchingIsOwned) || matchingFate.deleted);
  const qel::standin::IpcLibraryState library = qel::standin::CurrentIpcLibraryState();
  QEL_FUZZ_CHECK(library.liveMessages == 0);
  QEL_FUZZ_CHECK(library.unknownReleases == 0);
  platform.ClearCallLog();
  return 0;
}
