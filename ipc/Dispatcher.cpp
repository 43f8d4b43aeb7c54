#include "ipc/Dispatcher.h"

#include <cstring>
#include <limits>
#include <memory>

#include "ipc/IpcBinding.h"
#include "ipc/MessageHeader.h"

namespace qel {
namespace {

std::atomic<bool> lockingSuppressed{false};

// Waits on a MutexLock for as long as it is in scope.
class HeldLock {
 public:
  HeldLock(Platform& platform, const MutexLock& lock) : platform_(platform), lock_(lock) {
    lock_.Wait(platform_);
  }
  ~HeldLock() { lock_.Release(platform_); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;

 private:
  Platform& platform_;
  const MutexLock& lock_;
};

// A message the dispatcher holds: released with export 6 when it goes out of
// scope, unless it was handed on.
class HeldMessage {
 public:
  HeldMessage(Platform& platform, void* message) : platform_(platform), message_(message) {}
  ~HeldMessage() { ReleaseNow(); }
  HeldMessage(const HeldMessage&) = delete;
  HeldMessage& operator=(const HeldMessage&) = delete;

  void* Get() const { return message_; }
  const uint8_t* Bytes() const { return static_cast<const uint8_t*>(message_); }
  void* HandOn() {
    void* message = message_;
    message_ = nullptr;
    return message;
  }
  void ReleaseNow() {
    if (message_ != nullptr) platform_.IpcReleaseMessage(HandOn());
  }

 private:
  Platform& platform_;
  void* message_;
};

void Complete(Platform& platform, PendingCommand* node) {
  // The waiter is woken whatever an override of Completed does.
  try {
    node->command->Completed();
  } catch (...) {
  }
  if (node->done != nullptr) node->done->store(1);
  if (node->event != nullptr) node->event->Signal(platform);
  if (node->threadId != 0) platform.PostThreadMessageA(node->threadId, kCommandDoneMessage, 0, 0);
  if (node->owned != 0) delete node->command;
  delete node;
}

void OnTimerTick(IpcApplication& application, uint32_t elapsed) {
  Platform& platform = application.platform();
  HeldLock lock(platform, application.pendingLock);
  PendingCommand** link = &application.pendingCommands;
  while (PendingCommand* node = *link) {
    if (elapsed <= node->command->remainingTime) {
      node->command->remainingTime -= elapsed;
      link = &node->next;
      continue;
    }
    *link = node->next;
    node->command->replyStatus = kReplyStatusTimedOut;
    Complete(platform, node);
  }
  if (application.tickInterval != 0) {
    // One tick at most, however many intervals have passed; no remainder is
    // carried over.
    if (elapsed >= application.tickCountdown) {
      application.tickCountdown = application.tickInterval;
      application.OnTick();
    } else {
      application.tickCountdown -= elapsed;
    }
  }
}

void OnReply(IpcApplication& application, const HeldMessage& message) {
  // A malformed reply is dropped as if it never came: its command keeps
  // waiting and times out.
  if (!MessageBodyFits(message.Bytes())) return;
  const uint32_t sequence = MessageHeader::Read(message.Bytes()).sequence;
  Platform& platform = application.platform();
  PendingCommand* found = nullptr;
  {
    HeldLock lock(platform, application.pendingLock);
    for (PendingCommand** link = &application.pendingCommands; *link; link = &(*link)->next) {
      if ((*link)->command->sequence == sequence) {
        found = *link;
        *link = found->next;
        break;
      }
    }
  }
  if (found == nullptr) return;
  // The node is out of the list and is completed whatever reading does. The
  // reply fits, so reading fails only for want of memory for its names or
  // parameters; the command then completes as if no reply had come in time,
  // the one failure its waiter knows, not as a success with nothing in it.
  Command& command = *found->command;
  bool read = false;
  try {
    read = command.ReadReply(message.Get()) != 0;
  } catch (...) {
  }
  if (!read) {
    try {
      command.ClearReply();
    } catch (...) {
    }
    command.replyStatus = kReplyStatusTimedOut;
  }
  Complete(platform, found);
}

void OnEchoRequest(Platform& platform, const HeldMessage& message) {
  const uint8_t* request = message.Bytes();
  const MessageHeader header = MessageHeader::Read(request);
  // The names are copied by their length fields, which must stay inside and
  // hold the name's terminating zero: otherwise the reply would carry names
  // that run on past its end, for its reader to follow out of the buffer. And
  // the reply's second name must start where a 16-bit offset reaches.
  auto nameFits = [&](uint16_t offset, uint16_t length) {
    return uint32_t{offset} + length <= header.totalSize &&
           std::memchr(request + offset, 0, length) != nullptr;
  };
  if (!nameFits(header.senderNameOffset, header.senderNameLength) ||
      !nameFits(header.recipientNameOffset, header.recipientNameLength) ||
      MessageHeader::kSize + header.recipientNameLength > std::numeric_limits<uint16_t>::max()) {
    return;
  }
  const IpcBindingSnapshot binding = CurrentIpcBinding();
  if (!binding.bound || binding.entries.allocateMessage == nullptr) return;
  const uint32_t size = MessageHeader::kSize + header.senderNameLength + header.recipientNameLength;
  auto* reply = static_cast<uint8_t*>(CallEitherConvention(binding.entries.allocateMessage, size));
  if (reply == nullptr) return;

  // From the name the request was addressed to, back to its sender.
  std::memset(reply, 0, size);
  MessageHeader answer;
  answer.totalSize = size;
  answer.flags = static_cast<uint8_t>(header.flags | MessageHeader::kReplyFlag);
  answer.tag = header.tag;
  answer.senderNameOffset = MessageHeader::kSize;
  answer.senderNameLength = header.recipientNameLength;
  answer.recipientNameOffset =
      static_cast<uint16_t>(MessageHeader::kSize + answer.senderNameLength);
  answer.recipientNameLength = header.senderNameLength;
  answer.sequence = header.sequence;
  answer.Write(reply);
  std::memcpy(reply + answer.senderNameOffset, request + header.recipientNameOffset,
              header.recipientNameLength);
  std::memcpy(reply + answer.recipientNameOffset, request + header.senderNameOffset,
              header.senderNameLength);

  HeldMessage sent(platform, reply);
  if (binding.entries.enqueueMessage != nullptr &&
      CallEitherConvention(binding.entries.enqueueMessage, static_cast<void*>(reply)) != 0) {
    sent.HandOn();
  }
}

void OnSynchronousRequest(IpcApplication& application, HeldMessage& message) {
  Platform& platform = application.platform();
  auto command = std::make_unique<Command>(platform, 0);
  // A request that cannot be read is dropped: no handler, no reply.
  if (command->ReadRequest(message.Get()) == 0) return;
  message.ReleaseNow();

  int32_t result = 0;
  void* reply = nullptr;
  {
    HeldLock lock(platform, application.handlerLock);
    // A command that the handler marked as kept is the handler's, even when
    // the handler then throws.
    auto releaseIfKept = [&] {
      if ((command->flags & Command::kKeptByHandler) == 0) return false;
      static_cast<void>(command.release());
      return true;
    };
    try {
      result = application.HandleCommand(command.get());
    } catch (...) {
      releaseIfKept();
      throw;
    }
    if (!releaseIfKept()) {
      command->SetOwnName(application.name.c_str());
      reply = command->BuildReply();
      command.reset();
      if (reply == nullptr) return;
    }
  }
  if (reply != nullptr) {
    HeldMessage sent(platform, reply);
    const IpcBindingSnapshot binding = CurrentIpcBinding();
    if (binding.bound && binding.entries.enqueueMessage != nullptr &&
        CallEitherConvention(binding.entries.enqueueMessage, reply) != 0) {
      sent.HandOn();
    }
  }
  if (result == 0) platform.PostQuitMessage(0);
}

void OnQueuedRequest(IpcApplication& application, HeldMessage& message, uint32_t value) {
  // Whoever takes a request from the queue reads it later: it is checked as a
  // synchronous one is, so that a malformed one never waits there.
  if (!MessageBodyFits(message.Bytes())) return;
  HeldLock lock(application.platform(), application.handlerLock);
  auto* node = new QueuedMessage;
  node->value = value;
  node->next = application.queuedMessages;
  node->message = message.HandOn();
  application.queuedMessages = node;
}

void Dispatch(IpcApplication* application, void* message, uint32_t value) {
  if (application == nullptr) {
    // Only a bound library has the dispatcher to call, and the platform that
    // bound it releases the message.
    const IpcBindingSnapshot binding = CurrentIpcBinding();
    if (message != nullptr && binding.bound) binding.platform->IpcReleaseMessage(message);
    return;
  }
  if (application->passThrough != 0) {
    if (message != nullptr) application->HandleMessage(message, value);
    return;
  }
  if (message == nullptr) {
    OnTimerTick(*application, value);
    return;
  }

  HeldMessage held(application->platform(), message);
  // Nothing of a message is read before its header is known to be whole.
  if (!MessageHeaderFits(held.Bytes())) return;
  const uint8_t flags = held.Bytes()[MessageHeader::kFlagsOffset];
  if ((flags & MessageHeader::kReplyFlag) != 0) {
    OnReply(*application, held);
  } else if (flags == MessageHeader::kEchoRequest2 || flags == MessageHeader::kEchoRequest4) {
    OnEchoRequest(application->platform(), held);
  } else if (flags != 0) {
    // Not a kind this dispatcher knows: released unanswered.
  } else if (application->synchronous != 0) {
    OnSynchronousRequest(*application, held);
  } else {
    OnQueuedRequest(*application, held, value);
  }
}

}  // namespace

void SetMutexLockingSuppressed(bool suppressed) { lockingSuppressed.store(suppressed); }
bool MutexLockingSuppressed() { return lockingSuppressed.load(); }

bool MutexLock::Wait(Platform& platform) const {
  if (handle == nullptr || MutexLockingSuppressed()) return true;
  return platform.WaitForSingleObject(handle, kInfinite) == kWaitObject0;
}

void MutexLock::Release(Platform& platform) const {
  if (handle == nullptr || MutexLockingSuppressed()) return;
  platform.ReleaseMutex(handle);
}

void EventSignal::Signal(Platform& platform) const {
  if (handle != nullptr) platform.SetEvent(handle);
}

IpcApplication::~IpcApplication() {
  while (QueuedMessage* node = queuedMessages) {
    queuedMessages = node->next;
    platform_.IpcReleaseMessage(node->message);
    delete node;
  }
  while (PendingCommand* node = pendingCommands) {
    pendingCommands = node->next;
    if (node->owned != 0) delete node->command;
    delete node;
  }
}

int32_t QEL_STDCALL OnIpcMessage(IpcApplication* application, void* message,
                                 uint32_t value) noexcept {
  // The library is the caller, across a C boundary: no exception may reach
  // it. Whatever failed (memory for a command, its names or parameters, or a
  // queue node; or the application's own operations) is dropped like a
  // message the dispatcher does not handle. Every lock taken has been given
  // back and every message still held released on the way out; a message
  // already handed to HandleMessage is the application's.
  try {
    Dispatch(application, message, value);
  } catch (...) {
  }
  return 0;
}

}  // namespace qel
