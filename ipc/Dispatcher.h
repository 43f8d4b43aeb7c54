// The message dispatcher of an IPC application: the one entry through which
// incoming messages and timer ticks reach the application object. It completes
// commands that wait for their replies, times them out, drives the
// application's periodic tick, answers echo requests itself and hands requests
// to the application, at once or through a queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "ipc/Command.h"
#include "ipc/IpcLibrary.h"
#include "platform/Platform.h"

namespace qel {

// Posted, with both parameters 0, to a thread that waits for a command.
constexpr uint32_t kCommandDoneMessage = kWmUser + 234;  // 1258
// The reply status of a command whose time ran out before its reply came.
constexpr int32_t kReplyStatusTimedOut = -65534;

// The module-wide locking switch: while set, every MutexLock does nothing.
// It starts clear.
void SetMutexLockingSuppressed(bool suppressed);
bool MutexLockingSuppressed();

// A Windows mutex, or nothing (null).
class MutexLock {
 public:
  MutexLock() = default;
  explicit MutexLock(HSync mutex) : handle(mutex) {}

  // Waits without a time limit. False only when a wait took place and did not
  // give WAIT_OBJECT_0.
  bool Wait(Platform& platform) const;
  void Release(Platform& platform) const;

  HSync handle = nullptr;
};

// A Windows event, or nothing (null).
class EventSignal {
 public:
  EventSignal() = default;
  explicit EventSignal(HSync event) : handle(event) {}
  void Signal(Platform& platform) const;

  HSync handle = nullptr;
};

// A command waiting for its reply. Made with new by whoever sent the command;
// the dispatcher deletes the node when it completes the command.
struct PendingCommand {
  Command* command = nullptr;
  PendingCommand* next = nullptr;
  int32_t owned = 0;  // non-zero: the command is deleted on completion
  // Set to 1 on completion; atomic because the waiting thread reads it.
  std::atomic<int16_t>* done = nullptr;
  uint32_t threadId = 0;  // non-zero: gets kCommandDoneMessage on completion
  EventSignal* event = nullptr;
};

// A request kept for later handling. Made with new by the dispatcher; whoever
// takes it from the queue owns the node and its message.
struct QueuedMessage {
  void* message = nullptr;
  uint32_t value = 0;
  QueuedMessage* next = nullptr;
};

// What the dispatcher needs of an IPC application; the program that hosts the
// application derives from it.
class IpcApplication {
 public:
  explicit IpcApplication(Platform& platform) : platform_(platform) {}
  // Releases what is still queued and drops what is still pending (deleting
  // owned commands). Nothing may use the application any more by then.
  virtual ~IpcApplication();
  IpcApplication(const IpcApplication&) = delete;
  IpcApplication& operator=(const IpcApplication&) = delete;

  // Handles one request. A result of 0 asks the dispatching thread to quit.
  // The command is the dispatcher's unless the handler sets its flags bit 0
  // (Command::kKeptByHandler): then the handler keeps it and sends no reply now.
  virtual int32_t HandleCommand(Command* command) = 0;
  // Receives every message while pass-through is on, and takes it over.
  virtual void HandleMessage(void* message, uint32_t value) = 0;
  // The periodic tick.
  virtual void OnTick() = 0;

  Platform& platform() const { return platform_; }

  std::string name;         // sender name of every reply built for a request
  int32_t passThrough = 0;  // non-zero: every message goes to HandleMessage
  int32_t synchronous = 0;  // non-zero: requests are handled at once, else queued
  PendingCommand* pendingCommands = nullptr;
  QueuedMessage* queuedMessages = nullptr;  // newest first
  uint32_t tickInterval = 0;                // 0: no periodic tick
  uint32_t tickCountdown = 0;
  MutexLock pendingLock;  // guards pendingCommands
  MutexLock handlerLock;  // guards queuedMessages and the handling of a request

 private:
  Platform& platform_;
};

// |message| null is a timer tick and |value| the time elapsed since the
// previous one; with a message, |value| is only passed on. Returns 0. Every
// message that is not handed on (to HandleMessage, the queue or, for replies
// that it accepts, EnqueueMessage) is released with export 6, also one that
// comes without an application, or that cannot be handled for want of memory
// or because the application's operation threw: nothing is thrown back.
int32_t QEL_STDCALL OnIpcMessage(IpcApplication* application, void* message,
                                 uint32_t value) noexcept;

}  // namespace qel
