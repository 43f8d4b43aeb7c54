// The UTF-8 codec in bytes per second of UTF-8 text, beside a memcpy of the
// same bytes in the same run: what a copy of the text costs on this machine.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "config/TextConversions.h"

namespace {

constexpr size_t kTextBytes = size_t{64} * 1024;

// Class names and attribute values as the host sends them.
std::u16string AsciiText() {
  const std::u16string line = u"CIM_TemperatureSensor=cim:Telvar_Services.CIM_Fan target 42\n";
  std::u16string text;
  while (text.size() < kTextBytes) text += line;
  return text.substr(0, kTextBytes);
}

// One, two and three bytes per unit, and surrogate pairs (six bytes).
std::u16string MixedText() {
  const std::u16string line =
      u"Temp\u00e9rature \u00fcber 42\u00b0C \u20ac \u6e29\u5ea6\u30bb\u30f3\u30b5 \U0001F525 "
      u"\u0394T=3 K\n";
  std::u16string text;
  while (qel::WideToUtf8(text).size() < kTextBytes) text += line;
  return text;
}

const std::u16string& Text(bool mixed) {
  static const std::u16string ascii = AsciiText();
  static const std::u16string mixedText = MixedText();
  return mixed ? mixedText : ascii;
}

void Utf8ToWide(benchmark::State& state, bool mixed) {
  const std::string utf8 = qel::WideToUtf8(Text(mixed));
  while (state.KeepRunning()) {
    std::u16string wide = qel::Utf8ToWide(utf8);
    benchmark::DoNotOptimize(wide.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * utf8.size()));
}

void WideToUtf8(benchmark::State& state, bool mixed) {
  const std::u16string& wide = Text(mixed);
  const size_t bytes = qel::WideToUtf8(wide).size();
  while (state.KeepRunning()) {
    std::string utf8 = qel::WideToUtf8(wide);
    benchmark::DoNotOptimize(utf8.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// Allocates its destination like the conversions do.
void Memcpy(benchmark::State& state, bool mixed) {
  const std::string utf8 = qel::WideToUtf8(Text(mixed));
  while (state.KeepRunning()) {
    std::string copy(utf8.size(), '\0');
    std::memcpy(&copy[0], utf8.data(), utf8.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * utf8.size()));
}

}  // namespace

BENCHMARK_CAPTURE(Utf8ToWide, ascii, false);
BENCHMARK_CAPTURE(WideToUtf8, ascii, false);
BENCHMARK_CAPTURE(Memcpy, ascii, false);
BENCHMARK_CAPTURE(Utf8ToWide, mixed, true);
BENCHMARK_CAPTURE(WideToUtf8, mixed, true);
BENCHMARK_CAPTURE(Memcpy, mixed, true);
