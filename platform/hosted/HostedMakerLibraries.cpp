#include "platform/hosted/HostedMakerLibraries.h"

#include <cstdlib>
#include <cstring>

namespace qel {
namespace {

// The entries of a null-terminated array (none when the array is null).
template <typename T>
size_t EntriesBeforeNull(T* const* entries) {
  size_t count = 0;
  while (entries != nullptr && entries[count] != nullptr) ++count;
  return count;
}

std::u16string Wide(const char16_t* text) { return text ? std::u16string(text) : std::u16string(); }

}  // namespace

HostedMakerLibraries::HostedMakerLibraries()
    : ipcAllocate_([](uint32_t size) {
        void* message = std::malloc(size ? size : 1);
        if (message != nullptr) std::memset(message, kFreshIpcMessageFill, size);
        return message;
      }),
      ipcRelease_([](void* message) {
        std::free(message);
        return int32_t{1};
      }) {}

int32_t HostedMakerLibraries::Post(const VnxEventArgs& args) {
  PostedEvent event;
  event.source = Wide(args.source);
  event.typePath.assign(args.typePath, args.typePath + EntriesBeforeNull(args.typePath));
  event.text = Wide(args.text);
  event.language = args.language ? args.language : "";
  event.eventCode = args.eventCode;
  event.attributes.reserve(EntriesBeforeNull(args.attributes));
  for (EventAttribute* const* entry = args.attributes; entry && *entry; ++entry) {
    event.attributes.push_back({Wide((*entry)->name), (*entry)->type, Wide((*entry)->value)});
  }
  event.destination = args.destination ? args.destination : "";
  event.reservedArguments[0] = args.arg5;
  event.reservedArguments[1] = args.arg8;
  event.reservedArguments[2] = args.arg9;
  event.reservedArguments[3] = args.arg11;
  if (!eventResults_.empty()) {
    event.result = eventResults_.front();
    eventResults_.pop_front();
  }
  const int32_t result = event.result;
  events_.push_back(std::move(event));
  return result;
}

}  // namespace qel
