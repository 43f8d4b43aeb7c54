// The maker's two libraries as the plug-in calls them: the event server's
// answers to VNXEventW, with every post recorded and decoded, and the IPC
// library's two imports by number. Leaves out the event server itself and the
// IPC library's other entry points (a stand-in offers those as a code library).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace qel {

// What the stand-in event library saw of one post, decoded.
struct PostedEvent {
  struct Attribute {
    std::u16string name;
    uint32_t type = 0;
    std::u16string value;
    bool operator==(const Attribute& o) const {
      return name == o.name && type == o.type && value == o.value;
    }
  };
  std::u16string source;
  std::vector<std::u16string> typePath;  // the entries before the null pointer
  std::u16string text;
  std::string language;
  int32_t eventCode = 0;
  std::vector<Attribute> attributes;  // the records before the null pointer
  std::string destination;
  int32_t reservedArguments[4] = {};  // arguments 5, 8, 9 and 11 as passed
  int32_t result = 0;                 // what the post returned
};

class HostedMakerLibraries {
 public:
  // What a fresh message is filled with by default: not zero, so that a byte
  // the writer of a message forgets shows.
  static constexpr uint8_t kFreshIpcMessageFill = 0xCD;

  HostedMakerLibraries();

  // What each post returns, in order; once empty, posts return 0.
  void QueueEventResults(std::initializer_list<int32_t> results) {
    eventResults_.insert(eventResults_.end(), results.begin(), results.end());
  }
  int32_t Post(const VnxEventArgs& args);
  const std::vector<PostedEvent>& Events() const { return events_; }
  void ClearEvents() { events_.clear(); }

  void SetIpcImports(std::function<void*(uint32_t)> allocate,
                     std::function<int32_t(void*)> release) {
    ipcAllocate_ = std::move(allocate);
    ipcRelease_ = std::move(release);
  }
  void* IpcAllocateMessage(uint32_t size) { return ipcAllocate_(size); }
  int32_t IpcReleaseMessage(void* message) { return ipcRelease_(message); }

 private:
  std::deque<int32_t> eventResults_;
  std::vector<PostedEvent> events_;
  std::function<void*(uint32_t)> ipcAllocate_;
  std::function<int32_t(void*)> ipcRelease_;
};

}  // namespace qel
