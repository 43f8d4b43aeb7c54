// One kept event with every field set, for the tests and benchmarks of the
// undelivered-events file and of resend.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bridge/KeptEvent.h"

namespace qel::test {

inline KeptEvent SampleKeptEvent(std::u16string text = u"Fan 2 stopped",
                                 std::vector<int32_t> answers = {18, 18}) {
  KeptEvent event;
  event.utc = "2026-12-09T21:33:01.250Z";
  event.local = "2026-12-09T22:33:01.250+01:00";
  event.className = u"CIM_Fan";
  event.answers = std::move(answers);
  event.source = u"CIM";
  event.typePath = {u"Marquel Agent Events", u"Fan"};
  event.text = std::move(text);
  event.language = "en";
  event.eventCode = 3;
  event.attributes = {
      {u"CATEGORY", 9, u"Hardware"}, {u"CLASSNAME", 9, u"CIM_Fan"}, {u"TARGET", 9, u"srv01"}};
  event.destination = "@EventServer";
  return event;
}

}  // namespace qel::test
