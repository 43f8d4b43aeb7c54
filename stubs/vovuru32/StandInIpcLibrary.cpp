#include "stubs/vovuru32/StandInIpcLibrary.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <set>
#include <utility>

#include "ipc/MessageHeader.h"
#include "platform/SystemThreads.h"

namespace {

struct Library {
  qel::SystemLock mutex;
  std::map<void*, uint32_t> live;  // handed out and not yet taken back: buffer -> size
  std::deque<std::pair<void*, uint32_t>> queue;
  std::set<std::string> serviceNodes;
  std::string localSysName;
  uint32_t globalTimeout = 0;
  uint32_t featureFlags = 0;
  qel::standin::IpcLibraryState state;
};

Library& TheLibrary() {
  static Library library;
  return library;
}

}  // namespace

extern "C" {

// Out of memory it gives null rather than throw: its callers are C callers.
void* QEL_STDCALL StandInAllocateByNumber(uint32_t size) {
  Library& library = TheLibrary();
  void* buffer = std::malloc(size != 0 ? size : 1);
  if (buffer == nullptr) return nullptr;
  std::memset(buffer, qel::standin::kFreshMessageFill, size);
  std::lock_guard<qel::SystemLock> lock(library.mutex);
  try {
    library.live[buffer] = size;
  } catch (const std::bad_alloc&) {
    std::free(buffer);
    return nullptr;
  }
  return buffer;
}

int32_t QEL_STDCALL StandInReleaseByNumber(void* message) {
  Library& library = TheLibrary();
  std::lock_guard<qel::SystemLock> lock(library.mutex);
  auto found = library.live.find(message);
  if (found == library.live.end()) {
    ++library.state.unknownReleases;
    return 0;
  }
  std::free(found->first);
  library.live.erase(found);
  return 1;
}

int32_t QEL_STDCALL StandInInitApplication() {
  Library& library = TheLibrary();
  std::lock_guard<qel::SystemLock> lock(library.mutex);
  ++library.state.initApplicationCalls;
  return 1;
}

int32_t QEL_STDCALL StandInTermApplication() { return 1; }

void* QEL_STDCALL StandInAllocateMessage(uint32_t size) { return StandInAllocateByNumber(size); }

int32_t QEL_STDCALL StandInFreeMessage(void* message) { return StandInReleaseByNumber(message); }

int32_t QEL_STDCALL StandInEnqueueMessage(void* message) {
  Library& library = TheLibrary();
  std::lock_guard<qel::SystemLock> lock(library.mutex);
  // Only a buffer of ours has a known size, and only within it may the header
  // be read.
  auto found = library.live.find(message);
  if (found == library.live.end() || found->second < qel::MessageHeader::kSize) return 0;
  const auto* bytes = static_cast<const uint8_t*>(message);
  const uint32_t totalSize = qel::ReadLe32(bytes + qel::MessageHeader::kTotalSizeOffset);
  if (totalSize < qel::MessageHeader::kSize || totalSize > found->second ||
      qel::ReadLe16(bytes + qel::MessageHeader::kHeaderSizeOffset) != qel::MessageHeader::kSize) {
    return 0;
  }
  try {
    library.queue.emplace_back(message, totalSize);
  } catch (const std::bad_alloc&) {
    return 0;  // not taken, and no exception for a C caller
  }
  library.live.erase(found);
  return 1;
}

int32_t QEL_STDCALL StandInSvcNodeExists(const char* node) {
  Library& library = TheLibrary();
  std::lock_guard<qel::SystemLock> lock(library.mutex);
  return node != nullptr && library.serviceNodes.count(node) != 0 ? 1 : 0;
}

int32_t QEL_STDCALL StandInCreateSvcNode(const char* node) {
  Library& library = TheLibrary();
  std::lock_guard<qel::SystemLock> lock(library.mutex);
  return node != nullptr && library.serviceNodes.insert(node).second ? 1 : 0;
}

int32_t QEL_STDCALL StandInDeleteSvcNode(const char* node) {
  Library& library = TheLibrary();
  std::lock_guard<qel::SystemLock> lock(library.mutex);
  return node != nullptr && library.serviceNodes.erase(node) != 0 ? 1 : 0;
}

uint32_t QEL_STDCALL StandInGetGlobalTimeout() {
  Library& library = TheLibrary();
  std::lock_guard<qel::SystemLock> lock(library.mutex);
  return library.globalTimeout;
}

int32_t QEL_STDCALL StandInSetGlobalTimeout(uint32_t timeout) {
  Library& library = TheLibrary();
  std::lock_guard<qel::SystemLock> lock(library.mutex);
  library.globalTimeout = timeout;
  return 1;
}

int32_t QEL_STDCALL StandInSetLocalSysName(const char* name) {
  if (name == nullptr) return 0;
  Library& library = TheLibrary();
  std::lock_guard<qel::SystemLock> lock(library.mutex);
  library.localSysName = name;
  return 1;
}

const char* QEL_STDCALL StandInLocalSysName() {
  Library& library = TheLibrary();
  std::lock_guard<qel::SystemLock> lock(library.mutex);
  return library.localSysName.c_str();
}

int32_t QEL_STDCALL StandInEnqueueMessage2(void* message, uint32_t /*options*/) {
  return StandInEnqueueMessage(message);
}

// The stand-in has no network adapter: the address is all zero and 0 says so.
int32_t QEL_STDCALL StandInQueue32LocalMACAddr(uint8_t* address) {
  if (address != nullptr) std::memset(address, 0, 6);
  return 0;
}

uint32_t QEL_STDCALL StandInQelLocalUniqueID() { return 1; }

int32_t QEL_STDCALL StandInQelUseInputDesktop(int32_t useInputDesktop) {
  Library& library = TheLibrary();
  std::lock_guard<qel::SystemLock> lock(library.mutex);
  library.state.useInputDesktopFlags.push_back(useInputDesktop);
  return 1;
}

uint32_t QEL_STDCALL StandInQueue32SetFeatureFlags(uint32_t flags) {
  Library& library = TheLibrary();
  std::lock_guard<qel::SystemLock> lock(library.mutex);
  return std::exchange(library.featureFlags, flags);
}

uint32_t QEL_STDCALL StandInQueue32GetFeatureFlags() {
  Library& library = TheLibrary();
  std::lock_guard<qel::SystemLock> lock(library.mutex);
  return library.featureFlags;
}

}  // extern "C"

namespace qel::standin {

namespace {
template <typename Function>
void* Entry(Function function) {
  return reinterpret_cast<void*>(function);
}
}  // namespace

std::map<std::string, void*> IpcLibraryExports() {
  return {
      {"InitApplication", Entry(&StandInInitApplication)},
      {"TermApplication", Entry(&StandInTermApplication)},
      {"AllocateMessage", Entry(&StandInAllocateMessage)},
      {"FreeMessage", Entry(&StandInFreeMessage)},
      {"EnqueueMessage", Entry(&StandInEnqueueMessage)},
      {"SvcNodeExists", Entry(&StandInSvcNodeExists)},
      {"CreateSvcNode", Entry(&StandInCreateSvcNode)},
      {"DeleteSvcNode", Entry(&StandInDeleteSvcNode)},
      {"GetGlobalTimeout", Entry(&StandInGetGlobalTimeout)},
      {"SetGlobalTimeout", Entry(&StandInSetGlobalTimeout)},
      {"SetLocalSysName", Entry(&StandInSetLocalSysName)},
      {"LocalSysName", Entry(&StandInLocalSysName)},
      {"EnqueueMessage2", Entry(&StandInEnqueueMessage2)},
      {"Queue32LocalMACAddr", Entry(&StandInQueue32LocalMACAddr)},
      {"QelLocalUniqueID", Entry(&StandInQelLocalUniqueID)},
      {"QelUseInputDesktop", Entry(&StandInQelUseInputDesktop)},
      {"Queue32SetFeatureFlags", Entry(&StandInQueue32SetFeatureFlags)},
      {"Queue32GetFeatureFlags", Entry(&StandInQueue32GetFeatureFlags)},
  };
}

IpcLibraryState CurrentIpcLibraryState() {
  Library& library = TheLibrary();
  std::lock_guard<qel::SystemLock> lock(library.mutex);
  IpcLibraryState state = library.state;
  state.liveMessages = library.live.size();
  return state;
}

std::vector<std::vector<uint8_t>> DrainEnqueuedMessages() {
  Library& library = TheLibrary();
  std::lock_guard<qel::SystemLock> lock(library.mutex);
  std::vector<std::vector<uint8_t>> messages;
  for (auto& [buffer, totalSize] : library.queue) {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    messages.emplace_back(bytes, bytes + totalSize);
    std::free(buffer);
  }
  library.queue.clear();
  return messages;
}

void ResetIpcLibrary() {
  Library& library = TheLibrary();
  std::lock_guard<qel::SystemLock> lock(library.mutex);
  for (auto& [buffer, size] : library.live) std::free(buffer);
  for (auto& [buffer, size] : library.queue) std::free(buffer);
  library.live.clear();
  library.queue.clear();
  library.serviceNodes.clear();
  library.localSysName.clear();
  library.globalTimeout = 0;
  library.featureFlags = 0;
  library.state = IpcLibraryState{};
}

}  // namespace qel::standin
