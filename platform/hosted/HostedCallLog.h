// The call log and fault injection of the hosted platform: every call is noted
// by name (and, while asked, with its arguments), and any call can be told to
// fail. Models nothing of Windows; it is what a test sees of the seam.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace qel {

class HostedCallLog {
 public:
  // Makes the named call fail the next |times| times; -1 until cleared.
  void FailCall(const std::string& call, int times) { failures_[call] = times; }
  void ClearFailures() { failures_.clear(); }

  // Notes the call and tells whether it should fail now. |arguments| formats
  // the call's arguments for the log, and runs only while they are logged.
  template <typename FormatArguments>
  bool Record(const char* name, const FormatArguments& arguments) {
    names_.push_back(name);
    if (logArguments_) entries_.push_back(name + ("(" + arguments() + ")"));
    if (failures_.empty()) return false;
    auto failure = failures_.find(std::string_view(name));
    if (failure == failures_.end() || failure->second == 0) return false;
    if (failure->second > 0) --failure->second;
    return true;
  }

  // Off, calls are noted by name only and Entries() stays empty.
  void LogArguments(bool on) { logArguments_ = on; }
  const std::vector<std::string>& Entries() const { return entries_; }
  int Count(const std::string& call) const;
  void Clear() {
    entries_.clear();
    names_.clear();
  }

 private:
  bool logArguments_ = true;
  std::vector<std::string> entries_;  // "Name(arguments)"
  std::vector<const char*> names_;    // of every call, arguments logged or not
  std::map<std::string, int, std::less<>> failures_;
};

// How the log writes arguments.
namespace hosted_log {

// As printf's "%#llx" writes it (0 without the prefix).
std::string Hex(uintptr_t value);
inline std::string Hex(const void* handle) { return Hex(reinterpret_cast<uintptr_t>(handle)); }
// Quoted, or null.
std::string Text(const char* text);
// Quoted in UTF-8, or null.
std::string Text(const char16_t* text);
inline std::string Flag(bool on) { return on ? "true" : "false"; }

}  // namespace hosted_log
}  // namespace qel
