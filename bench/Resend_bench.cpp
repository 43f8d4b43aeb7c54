// qelevent-tool resend's core on the hosted platform: a kept-events file of
// N records, each posted again through the plug-in's one-post resend and
// blanked in the file, the file cut off at the end. Time per run, and the
// peak of the heap in use above what it held before the run (sampled every
// 100 delivered events), which must not grow with N: the run reads the file
// in chunks and keeps no event. The hosted disk is real files: they are put
// in memory (/dev/shm) where the system has it, so that what is measured is
// the run's own reads and writes and not the build machine's disk, whose
// write-back made each record of 10,000 on ext4 cost some 1.5 times one of
// 1,000 (and one of 30,000 no more than one of 10,000).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bridge/KeptEvent.h"
#include "bridge/KeptEventsResend.h"
#include "bridge/ModuleState.h"
#include "ipc/IpcBinding.h"
#include "platform/hosted/HostedPlatform.h"
#include "stubs/vovuru32/HostedStandInIpcLibrary.h"
#include "support/HostedInstallation.h"
#include "support/SampleKeptEvent.h"

namespace {

size_t HeapInUse() { return mallinfo2().uordblks; }

std::string Records(int64_t count) {
  qel::KeptEvent event = qel::test::SampleKeptEvent();
  std::string bytes;
  for (int64_t i = 0; i < count; ++i) {
    const std::string number = std::to_string(i);
    event.text = u"Fan 2 stopped on the second power supply's cooling path, event #" +
                 std::u16string(number.begin(), number.end());
    bytes += qel::FormatKeptRecord(event);
  }
  return bytes;
}

void ResendKeptEvents(benchmark::State& state) {
  const int64_t count = state.range(0);
  qel::ResetIpcBindingForTesting();
  qel::standin::ResetIpcLibrary();
  qel::HostedPlatform platform;
  qel::standin::InstallIpcLibrary(platform);
  const char* const tmpdir = std::getenv("TMPDIR");
  const std::string saved = tmpdir != nullptr ? tmpdir : "";
  if (std::filesystem::is_directory("/dev/shm")) setenv("TMPDIR", "/dev/shm", 1);
  qel::test::HostedInstallation installation(platform);
  if (tmpdir != nullptr) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  installation.InstallStringModule();
  platform.SetDiskWritable(true);
  platform.LogCallArguments(false);
  qel::ModuleState module(platform);
  const std::string bytes = Records(count);
  const std::filesystem::path file = installation.CiFolder() / "qelevent-undelivered.txt";
  size_t peak = 0;
  while (state.KeepRunning()) {
    state.PauseTiming();
    std::ofstream(file, std::ios::binary) << bytes;
    platform.ClearRecords();
    const size_t base = HeapInUse();
    state.ResumeTiming();
    size_t delivered = 0;
    const qel::ResendReport report = qel::ResendKeptEvents(
        platform, u"C:\\Prog\\Telvar\\ci\\qelevent-undelivered.txt",
        [&module](std::string_view line, int32_t& answer) {
          return module.ResendKeptEvent(line, answer) == 0;
        },
        [&](const qel::KeptEvent&) {
          // Sampled where the heap is fullest, just before the hosted
          // platform's own records of the last 100 posts (no part of what is
          // measured) are dropped; walking the heap each time would cost
          // more than the run.
          if (++delivered % 100 != 0) return;
          const size_t now = HeapInUse();
          peak = std::max(peak, now > base ? now - base : 0);
          platform.ClearRecords();
        });
    if (report.delivered != static_cast<size_t>(count)) state.SkipWithError("not all delivered");
  }
  state.counters["file_kb"] = static_cast<double>(bytes.size()) / 1024;
  state.counters["peak_heap_kb"] = static_cast<double>(peak) / 1024;
  state.counters["per_event"] =
      benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}
BENCHMARK(ResendKeptEvents)
    ->ArgName("events")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(30000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
