// qelevent-tool replay as users run it: the sample installation with the
// win32 build's qelevent.dll, and generated notifications in the sample's
// mould. Each run is a child process, so that its peak memory is its own; the
// time reported (as manual time) is the child's CPU time, user and system.
// Its output goes to /dev/null: what is measured is the tool, not the disk.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

// A notifications file of |count| lines: the sample's notifications over and
// over (mapped classes and two that no entry maps), each text numbered and
// the targets spread over a fleet of 50 servers. Made once per size and run,
// and left in the build tree for runs of the tool by hand.
const fs::path& Notifications(int64_t count) {
  static std::map<int64_t, fs::path> files;
  const fs::path folder = QEL_BENCH_DATA_DIR;
  auto [at, added] =
      files.try_emplace(count, folder / ("notifications-" + std::to_string(count) + ".jsonl"));
  if (!added) return at->second;
  fs::create_directories(folder);

  std::vector<nlohmann::ordered_json> samples;
  std::ifstream in(fs::path(QEL_SOURCE_DIR) / "samples" / "notifications.jsonl");
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) samples.push_back(nlohmann::ordered_json::parse(line));
  }
  std::ofstream out(at->second, std::ios::binary);
  for (int64_t i = 0; i < count && !samples.empty(); ++i) {
    nlohmann::ordered_json notification = samples[static_cast<size_t>(i) % samples.size()];
    notification["eventText"] =
        notification["eventText"].get<std::string>() + " (#" + std::to_string(i + 1) + ")";
    notification["target"] = "srv-" + std::to_string(i % 50 + 1);
    out << notification.dump() << '\n';
  }
  return at->second;
}

struct ToolRun {
  std::string error;  // empty when the tool did its work
  double cpuSeconds = 0;
  long peakKb = 0;
};

double Seconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// The high-water mark of the resident memory of process |pid|, in kilobytes.
long PeakKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

// qelevent-tool replay FILE on the sample installation, as a child process.
// Its peak memory is read when it is about to exit: the ru_maxrss that wait4
// reports would also count this process's memory from before the exec.
ToolRun Replay(const fs::path& notifications, const fs::path& errors) {
  std::string tool = QEL_TOOL_PATH;
  std::string command = "replay";
  std::string input = notifications.string();
  char* const arguments[] = {tool.data(), command.data(), input.data(), nullptr};
  const pid_t child = fork();
  if (child == 0) {
    const int devNull = open("/dev/null", O_RDWR);
    const int errorFile = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(devNull, STDIN_FILENO);
    dup2(devNull, STDOUT_FILENO);
    dup2(errorFile, STDERR_FILENO);
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    execv(tool.c_str(), arguments);
    _exit(127);
  }
  ToolRun run;
  if (child < 0) {
    run.error = "cannot start " + tool;
    return run;
  }
  // Stopped at the exec, then at the exit (and at any signal, which goes on).
  int status = 0;
  rusage usage{};
  bool started = false;
  while (wait4(child, &status, 0, &usage) == child && WIFSTOPPED(status)) {
    int passOn = 0;
    if (!started) {
      started = true;
      ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL);
    } else if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
      run.peakKb = PeakKb(child);
    } else {
      passOn = WSTOPSIG(status);
    }
    ptrace(PTRACE_CONT, child, nullptr, passOn);
  }
  run.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::ifstream text(errors);
    std::string first;
    std::getline(text, first);
    run.error = "replay failed: " + first;
  } else if (run.peakKb == 0) {
    run.error = "the tool's peak memory could not be read (ptrace refused?)";
  }
  return run;
}

void ReplayNotifications(benchmark::State& state) {
  const int64_t count = state.range(0);
  const fs::path& notifications = Notifications(count);
  const qel::test::TempFolder scratch;
  const fs::path errors = scratch.Path() / "stderr.txt";
  double cpuSeconds = 0;
  long peakKb = 0;
  while (state.KeepRunning()) {
    const ToolRun run = Replay(notifications, errors);
    if (!run.error.empty()) {
      state.SkipWithError(run.error.c_str());
      return;
    }
    state.SetIterationTime(run.cpuSeconds);
    cpuSeconds += run.cpuSeconds;
    peakKb = std::max(peakKb, run.peakKb);
  }
  // The summary names every notification it saw.
  std::ifstream text(errors);
  const std::string summary((std::istreambuf_iterator<char>(text)), {});
  if (summary.find("replay: " + std::to_string(count) + " notifications") == std::string::npos) {
    state.SkipWithError(("replay did not take every notification: " + summary).c_str());
    return;
  }
  const double perRun = cpuSeconds / static_cast<double>(state.iterations());
  state.counters["notifications_per_second"] = static_cast<double>(count) / perRun;
  state.counters["peak_kb"] = static_cast<double>(peakKb);
}

}  // namespace

BENCHMARK(ReplayNotifications)
    ->Arg(1000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
