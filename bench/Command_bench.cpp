// A request built by one side and read by the other, for a small message and
// one of 64 KB, beside a memcpy of as many bytes in the same run. Building
// copies every parameter into the message and reading copies it out again.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "ipc/Command.h"
#include "ipc/MessageHeader.h"
#include "platform/hosted/HostedPlatform.h"

namespace {

constexpr uint32_t kLargeMessage = 64 * 1024;

// The IPC library's buffers straight from the C heap: their cost belongs to
// the library, and the hosted platform's call log would only grow.
class Heap : public qel::HostedPlatform {
 public:
  void* IpcAllocateMessage(uint32_t size) override { return std::malloc(size ? size : 1); }
  int32_t IpcReleaseMessage(void* message) override {
    std::free(message);
    return 1;
  }
};

// Header, the names "client" and "server", and the parameters' lengths.
constexpr uint32_t kFraming = 32 + 7 + 7;

void Fill(qel::Command& command, bool large) {
  command.SetOwnName("client");
  command.SetPeerName("server");
  if (large) {
    const std::vector<uint8_t> payload(kLargeMessage - kFraming - 4, 0x5A);
    command.AddRequestParamCopy(payload.data(), static_cast<uint32_t>(payload.size()));
  } else {
    const uint8_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const char value[] = "CIM_TemperatureSensor 42";
    command.AddRequestParamCopy(key, sizeof key);
    command.AddRequestParamCopy(value, sizeof value - 1);
  }
}

uint32_t MessageSize(Heap& platform, qel::Command& command) {
  void* message = command.BuildRequest();
  const uint32_t size = qel::ReadLe32(static_cast<const uint8_t*>(message));
  platform.IpcReleaseMessage(message);
  return size;
}

void BuildAndReadRequest(benchmark::State& state, bool large) {
  Heap platform;
  qel::Command sender(platform, 7);
  qel::Command receiver(platform, 0);
  Fill(sender, large);
  const uint32_t size = MessageSize(platform, sender);
  while (state.KeepRunning()) {
    void* message = sender.BuildRequest();
    if (receiver.ReadRequest(message) != 1) state.SkipWithError("the request did not read back");
    platform.IpcReleaseMessage(message);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
  state.counters["message_bytes"] = size;
}

void MessageMemcpy(benchmark::State& state, bool large) {
  Heap platform;
  qel::Command sender(platform, 7);
  Fill(sender, large);
  const uint32_t size = MessageSize(platform, sender);
  std::vector<uint8_t> from(size, 0x5A);
  std::vector<uint8_t> to(size);
  while (state.KeepRunning()) {
    std::memcpy(to.data(), from.data(), size);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
  state.counters["message_bytes"] = size;
}

}  // namespace

BENCHMARK_CAPTURE(BuildAndReadRequest, small, false);
BENCHMARK_CAPTURE(MessageMemcpy, small, false);
BENCHMARK_CAPTURE(BuildAndReadRequest, 64KB, true);
BENCHMARK_CAPTURE(MessageMemcpy, 64KB, true);
