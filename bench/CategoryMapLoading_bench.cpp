// Loading the category map from properties files of growing length, on the
// hosted platform with the plug-in's own string table. Time per line must stay
// the same as files grow (scripts/bench.sh checks the ratio).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "bridge/CategoryMap.h"
#include "bridge/CategoryMapLoading.h"
#include "config/InstallPaths.h"
#include "config/TextConversions.h"
#include "platform/hosted/HostedPlatform.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

// The classes of the installed file, in the order of their categories.
const char* const kInstalledClasses[] = {"CIM_Chassis",
                                         "CIM_Fan",
                                         "CIM_LogicalDisk",
                                         "CIM_TemperatureSensor",
                                         "CIM_PowerSupply",
                                         "CIM_Netkeel",
                                         "CIM_DiskDrive",
                                         "CIM_NetworkAdapterFailover",
                                         "CIM_NetworkAdapterSwitchover",
                                         "CIM_NetworkAdapterSwitchback",
                                         "CIM_LeaseExpiration",
                                         "CIM_WarrantyExpiration",
                                         "CIM_Processor",
                                         "CIM_Memory",
                                         "CIM_Kestrin",
                                         "CIM_ServerPowerSupply",
                                         "CIM_MessageLog",
                                         "CIM_RemoteServiceAccessPoint",
                                         "CIM_ArravaultHealth"};
constexpr int kInstalledLines = 19;

// The installed file's nineteen marked lines, then lines up to |lines|: in
// a "marked" file every further line marks a class of its own too (each of
// which asks the string table for an id that it lacks); in a "plain" file
// they are entries without the marker, with a comment line now and then.
std::string PropertiesText(int lines, bool marked) {
  std::string text;
  for (int i = 0; i < lines; ++i) {
    if (i < kInstalledLines) {
      text +=
          "Installed" + std::to_string(i) + "=cim:Telvar_Services." + kInstalledClasses[i] + "\n";
    } else if (marked) {
      text +=
          "Extra" + std::to_string(i) + "=cim:Telvar_Services.CIM_Extra" + std::to_string(i) + "\n";
    } else if (i % 10 == 0) {
      text += "# extra classes, group " + std::to_string(i / 10) + "\n";
    } else {
      text += "Extra" + std::to_string(i) + "=cim:CIM_Extra" + std::to_string(i) + "\n";
    }
  }
  return text;
}

// An installation at C:\Prog: the properties file and the string module in its ci folder.
class Installation {
 public:
  explicit Installation(const std::string& properties) {
    folder_.Write("C/Prog/ci/qelevent.properties", properties);
    fs::copy_file(fs::path(QEL_PE_FIXTURE_DIR) / "qelevent.dll",
                  folder_.Path() / "C/Prog/ci/qelevent.dll");
    platform_.SetDiskRoot(folder_.Path());
    platform_.Registry().SetString("SOFTWARE\\Korvane\\Telvar", "TELVARPATH", "C:\\Prog");
    modulePath_ = qel::ComposeCiFilePath(platform_, u"qelevent.dll");
  }
  qel::HostedPlatform& Platform() { return platform_; }
  const std::u16string& ModulePath() const { return modulePath_; }

 private:
  qel::test::TempFolder folder_;
  qel::HostedPlatform platform_;
  std::u16string modulePath_;
};

void LoadCategoryMap(benchmark::State& state, bool marked) {
  const int lines = static_cast<int>(state.range(0));
  Installation installation(PropertiesText(lines, marked));
  qel::CategoryMap map;
  // One untimed run first: a file of 100 000 lines runs a single timed
  // iteration, which would otherwise also pay for first touching the memory
  // that every later run reuses.
  qel::LoadCategoryMap(installation.Platform(), installation.ModulePath(), map);
  installation.Platform().ClearCallLog();
  while (state.KeepRunning()) {
    map = qel::CategoryMap();
    qel::LoadCategoryMap(installation.Platform(), installation.ModulePath(), map);
    state.PauseTiming();
    // The hosted platform logs every call; the log is not the plug-in's to keep.
    installation.Platform().ClearCallLog();
    state.ResumeTiming();
  }
  for (int i = 0; i < std::min(lines, kInstalledLines); ++i) {
    if (map.lookup(qel::Utf8ToWide(kInstalledClasses[i])).empty()) {
      state.SkipWithError("an installed class did not get its category");
    }
  }
  state.counters["lines"] = lines;
  state.counters["per_line"] = benchmark::Counter(
      lines, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void FileSizes(benchmark::internal::Benchmark* b) {
  b->ArgName("lines")->Arg(19)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK_CAPTURE(LoadCategoryMap, plain, false)->Apply(FileSizes);
BENCHMARK_CAPTURE(LoadCategoryMap, marked, true)->Apply(FileSizes);
