// The stand-in event library's view of one post: every one of the eleven
// arguments, with the type path and the attribute records followed through
// their pointers, written as one line of JSON that a person can read and a
// test can compare. Portable, so the same text is produced by the win32 DLL
// and by anything that wants to predict what it will record.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "platform/Platform.h"

namespace qel::stub {

// One JSON object without a line feed. Null pointers appear as null; lists are
// followed to their null terminator, but no further than kMaxListEntries
// entries (a list without its terminator is marked "unterminated").
std::string EventToJson(const VnxEventArgs& args, int32_t result);

constexpr int kMaxListEntries = 64;

// The results the stand-in hands out, one per post, in order; 0 once used up.
class ResultQueue {
 public:
  // Replaces the queue with the integers of a list such as "18, 0,6": decimal,
  // optionally signed, separated by commas, blanks or semicolons. Anything else
  // ends the list. False when something was left unread.
  bool Set(const std::string& list);
  int32_t Next();
  bool Empty() const { return results_.empty(); }

 private:
  std::deque<int32_t> results_;
};

}  // namespace qel::stub
