// The hosted platform's controls, for tests and tools: what a call will find
// and what the calls left behind.
#include "platform/hosted/HostedPlatform.h"

namespace qel {
namespace {

using Lock = std::lock_guard<SystemLock>;

}  // namespace

HostedPlatform::HostedPlatform() = default;
HostedPlatform::~HostedPlatform() = default;

void HostedPlatform::FailCall(const std::string& call, int times) {
  Lock lock(mutex_);
  log_.FailCall(call, times);
}

void HostedPlatform::ClearFailures() {
  Lock lock(mutex_);
  log_.ClearFailures();
}

std::vector<std::string> HostedPlatform::CallLog() const {
  Lock lock(mutex_);
  return log_.Entries();
}

int HostedPlatform::CallCount(const std::string& call) const {
  Lock lock(mutex_);
  return log_.Count(call);
}

void HostedPlatform::LogCallArguments(bool on) {
  Lock lock(mutex_);
  log_.LogArguments(on);
}

void HostedPlatform::ClearCallLog() {
  Lock lock(mutex_);
  log_.Clear();
}

void HostedPlatform::ClearRecords() {
  Lock lock(mutex_);
  log_.Clear();
  maker_.ClearEvents();
  time_.ClearSleeps();
  eventLog_.ClearEntries();
}

void HostedPlatform::SetDiskWritable(bool writable) {
  Lock lock(mutex_);
  disk_.SetWritable(writable);
}

void HostedPlatform::SetDiskFreeBytes(std::optional<uint64_t> bytes) {
  Lock lock(mutex_);
  disk_.SetFreeBytes(bytes);
}

void HostedPlatform::SetSystemTime(const SystemTime& utc, const SystemTime& local) {
  Lock lock(mutex_);
  eventLog_.SetSystemTime(utc, local);
}

void HostedPlatform::SetDiskRoot(const std::filesystem::path& root) {
  Lock lock(mutex_);
  disk_.SetRoot(root);
  modules_.ForgetFiles();
}

void HostedPlatform::SubstituteFile(const std::u16string& windowsPath,
                                    const std::filesystem::path& diskFile) {
  Lock lock(mutex_);
  disk_.Substitute(windowsPath, diskFile);
}

void HostedPlatform::SetReadOnly(const std::string& windowsPath) {
  Lock lock(mutex_);
  disk_.SetReadOnly(windowsPath);
}

void HostedPlatform::InstallCodeLibrary(const std::string& fileName, ExportTable exports) {
  Lock lock(mutex_);
  modules_.InstallCodeLibrary(fileName, std::move(exports));
}

void HostedPlatform::RemoveCodeLibrary(const std::string& fileName) {
  Lock lock(mutex_);
  modules_.RemoveCodeLibrary(fileName);
}

void HostedPlatform::SetIpcImports(std::function<void*(uint32_t)> allocate,
                                   std::function<int32_t(void*)> release) {
  Lock lock(mutex_);
  maker_.SetIpcImports(std::move(allocate), std::move(release));
}

void HostedPlatform::MarkMemory(const void* begin, size_t size, uint32_t state, uint32_t protect) {
  Lock lock(mutex_);
  memory_.Mark(begin, size, state, protect);
}

void HostedPlatform::QueueEventResults(std::initializer_list<int32_t> results) {
  Lock lock(mutex_);
  maker_.QueueEventResults(results);
}

void HostedPlatform::SetSleepHook(std::function<void(uint32_t)> hook) {
  Lock lock(mutex_);
  time_.SetSleepHook(std::move(hook));
}

int HostedPlatform::ThreadsWaitingToEnter() const {
  Lock lock(mutex_);
  return time_.ThreadsWaitingToEnter();
}

}  // namespace qel
