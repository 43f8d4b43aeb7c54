// What finding the caller's layout costs a ProcessEvent after the caller's
// first: a look through the remembered modules' ranges under a lock, with no
// call into the system. Four modules are remembered and the call comes from
// the last, the longest look a host of a few modules makes. scripts/bench.sh
// sets it against the plug-in's own work per event (ProcessEvent/
// counted_platform), measured in the same run.
#include <benchmark/benchmark.h>

#include <vector>

#include "bridge/CallerLayout.h"
#include "platform/hosted/HostedPlatform.h"
#include "support/PeImageBuilder.h"

namespace {

void CallerLayoutAfterFirst(benchmark::State& state) {
  qel::HostedPlatform platform;
  qel::CallerLayouts callers(platform, &qel::CallUnguarded, nullptr);
  std::vector<std::vector<uint8_t>> modules;
  for (const char* library : {"msvcp60.dll", "msvcp71.dll", "msvcp100.dll", "MSVCP80.dll"}) {
    modules.push_back(qel::test::PeImage({"KERNEL32.dll", library}).Mapped());
  }
  for (std::vector<uint8_t>& module : modules) {
    platform.MarkMemory(module.data(), module.size(), qel::kMemCommit, qel::kPageReadOnly);
    callers.LayoutFor(module.data() + 0x1010);
  }
  const uint8_t* const returnAddress = modules.back().data() + 0x1234;
  while (state.KeepRunning()) {
    benchmark::DoNotOptimize(callers.LayoutFor(returnAddress));
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(CallerLayoutAfterFirst);
