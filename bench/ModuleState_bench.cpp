// ProcessEvent on the hosted platform with an instant post, split into the
// plug-in's own work and the platform calls it must make: the same events run
// once on the hosted platform and once with every platform call of an event
// answered at once and only counted. What the second run takes is the
// plug-in's own work; the difference is the platform's.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "bridge/ModuleState.h"
#include "ipc/IpcBinding.h"
#include "platform/hosted/HostedPlatform.h"
#include "stubs/vovuru32/HostedStandInIpcLibrary.h"
#include "support/HostedInstallation.h"

namespace {

using qel::HDesk;
using qel::HModule;
using qel::HWinSta;

template <typename H>
H FixedHandle(uintptr_t value) {
  return reinterpret_cast<H>(value);
}

class SplitPlatform : public qel::HostedPlatform {
 public:
  // Off: the hosted platform does the work (it checks the string module's
  // file for every string, and logs and records every call). On: each call of
  // an event is counted and answered at once.
  bool counted = false;
  uint64_t calls = 0;

  HModule LoadLibraryExA(const char* fileName, uint32_t flags) override {
    if (!counted) return HostedPlatform::LoadLibraryExA(fileName, flags);
    ++calls;
    return FixedHandle<HModule>(0x7000);
  }
  bool FreeLibrary(HModule module) override {
    if (!counted) return HostedPlatform::FreeLibrary(module);
    ++calls;
    return true;
  }
  int LoadStringA(HModule module, uint32_t id, char* buffer, int size) override {
    if (!counted) return HostedPlatform::LoadStringA(module, id, buffer, size);
    ++calls;
    const char* text = id == 1000 ? "CIM" : id == 1001 ? "Marquel Agent Events" : "";
    const int length = std::min(static_cast<int>(std::strlen(text)), size - 1);
    std::memcpy(buffer, text, static_cast<size_t>(length));
    buffer[length] = '\0';
    return length;
  }
  int WideCharToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* wide, int wideLength,
                          char* out, int outSize, const char* defaultChar,
                          int* usedDefault) override {
    if (!counted) {
      return HostedPlatform::WideCharToMultiByte(codePage, flags, wide, wideLength, out, outSize,
                                                 defaultChar, usedDefault);
    }
    ++calls;
    if (outSize == 0) return wideLength;
    for (int i = 0; i < wideLength; ++i) out[i] = static_cast<char>(wide[i]);
    return wideLength;
  }
  int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* narrow, int narrowLength,
                          char16_t* out, int outSize) override {
    if (!counted) {
      return HostedPlatform::MultiByteToWideChar(codePage, flags, narrow, narrowLength, out,
                                                 outSize);
    }
    ++calls;
    if (outSize == 0) return narrowLength;
    for (int i = 0; i < narrowLength; ++i) out[i] = static_cast<unsigned char>(narrow[i]);
    return narrowLength;
  }
  bool GetVersionExA(qel::OsVersionInfoA* info) override {
    if (!counted) return HostedPlatform::GetVersionExA(info);
    ++calls;
    info->dwPlatformId = qel::kVerPlatformWin32Nt;
    return true;
  }
  HWinSta GetProcessWindowStation() override {
    if (!counted) return HostedPlatform::GetProcessWindowStation();
    ++calls;
    return FixedHandle<HWinSta>(0x100);
  }
  uint32_t GetCurrentThreadId() override {
    if (!counted) return HostedPlatform::GetCurrentThreadId();
    ++calls;
    return 1;
  }
  HDesk GetThreadDesktop(uint32_t threadId) override {
    if (!counted) return HostedPlatform::GetThreadDesktop(threadId);
    ++calls;
    return FixedHandle<HDesk>(0x104);
  }
  HWinSta OpenWindowStationA(const char* name, bool inherit, uint32_t access) override {
    if (!counted) return HostedPlatform::OpenWindowStationA(name, inherit, access);
    ++calls;
    return FixedHandle<HWinSta>(0x200);
  }
  bool SetProcessWindowStation(HWinSta station) override {
    if (!counted) return HostedPlatform::SetProcessWindowStation(station);
    ++calls;
    return true;
  }
  HDesk OpenDesktopA(const char* name, uint32_t flags, bool inherit, uint32_t access) override {
    if (!counted) return HostedPlatform::OpenDesktopA(name, flags, inherit, access);
    ++calls;
    return FixedHandle<HDesk>(0x204);
  }
  bool SetThreadDesktop(HDesk desktop) override {
    if (!counted) return HostedPlatform::SetThreadDesktop(desktop);
    ++calls;
    return true;
  }
  bool CloseWindowStation(HWinSta station) override {
    if (!counted) return HostedPlatform::CloseWindowStation(station);
    ++calls;
    return true;
  }
  bool CloseDesktop(HDesk desktop) override {
    if (!counted) return HostedPlatform::CloseDesktop(desktop);
    ++calls;
    return true;
  }
  int32_t VNXEventW(const qel::VnxEventArgs& args) override {
    if (!counted) return HostedPlatform::VNXEventW(args);
    ++calls;
    return 0;
  }
};

void ProcessEvent(benchmark::State& state, bool counted) {
  qel::ResetIpcBindingForTesting();
  qel::standin::ResetIpcLibrary();
  SplitPlatform platform;
  qel::standin::InstallIpcLibrary(platform);
  qel::test::HostedInstallation installation(platform);
  installation.InstallStringModule();
  std::filesystem::copy_file(
      std::filesystem::path(QEL_SOURCE_DIR) / "resources" / "qelevent.properties",
      installation.CiFolder() / "qelevent.properties");
  qel::ModuleState module(platform);
  module.InitMap();
  // The first event binds the IPC library, once for the life of the module.
  module.ProcessEvent(1, u"CIM_Fan", u"Fan 2 stopped", u"Critical", u"server1");
  platform.ClearCallLog();
  platform.counted = counted;

  const std::u16string className = u"CIM_Fan";
  const std::u16string text = u"Fan 2 stopped";
  const std::u16string category = u"Critical";
  const std::u16string target = u"server1";
  uint64_t platformCalls = 0;
  int64_t events = 0;
  while (state.KeepRunning()) {
    if (module.ProcessEvent(2, className, text, category, target) != 0) {
      state.SkipWithError("the event was not posted");
    }
    if (++events % 1024 == 0 && !counted) {
      state.PauseTiming();
      platformCalls += platform.CallLog().size();
      platform.ClearRecords();
      state.ResumeTiming();
    }
  }
  platformCalls += counted ? platform.calls : platform.CallLog().size();
  state.SetItemsProcessed(state.iterations());
  state.counters["platform_calls"] =
      benchmark::Counter(static_cast<double>(platformCalls) / static_cast<double>(events));
  qel::ResetIpcBindingForTesting();
  qel::standin::ResetIpcLibrary();
}

// An event the server answers 7 (no wait): posted, then kept, appended to
// the hosted installation's undelivered-events file on this machine's disk
// (opened, locked, sized, its last byte read, written, closed) and counted by
// the event log's rate limit. Against ProcessEvent/hosted this is what
// keeping adds; the summary states it as a multiple of the plug-in's own work
// (ProcessEvent/counted_platform). The file is emptied every 1024 events,
// outside the timing, so that it never reaches its limit.
void KeepEvent(benchmark::State& state) {
  qel::ResetIpcBindingForTesting();
  qel::standin::ResetIpcLibrary();
  SplitPlatform platform;
  qel::standin::InstallIpcLibrary(platform);
  qel::test::HostedInstallation installation(platform);
  installation.InstallStringModule();
  platform.SetDiskWritable(true);
  std::filesystem::copy_file(
      std::filesystem::path(QEL_SOURCE_DIR) / "resources" / "qelevent.properties",
      installation.CiFolder() / "qelevent.properties");
  qel::ModuleState module(platform);
  module.InitMap();
  module.ProcessEvent(1, u"CIM_Fan", u"Fan 2 stopped", u"Critical", u"server1");
  platform.ClearRecords();

  const std::u16string className = u"CIM_Fan";
  const std::u16string text = u"Fan 2 stopped";
  const std::u16string category = u"Critical";
  const std::u16string target = u"server1";
  int64_t events = 0;
  while (state.KeepRunning()) {
    platform.QueueEventResults({7});
    if (module.ProcessEvent(2, className, text, category, target) != 0) {
      state.SkipWithError("the event was not posted");
    }
    if (++events % 1024 == 0) {
      state.PauseTiming();
      platform.ClearRecords();
      std::filesystem::remove(installation.CiFolder() / "qelevent-undelivered.txt");
      state.ResumeTiming();
    }
  }
  if (module.Reporter().LeftOut(qel::ReportKind::eventKept) + 1 < uint64_t(events % 1024)) {
    state.SkipWithError("not every event was kept and reported");
  }
  state.SetItemsProcessed(state.iterations());
  qel::ResetIpcBindingForTesting();
  qel::standin::ResetIpcLibrary();
}

}  // namespace

BENCHMARK_CAPTURE(ProcessEvent, hosted, false);
BENCHMARK_CAPTURE(ProcessEvent, counted_platform, true);
BENCHMARK(KeepEvent);
