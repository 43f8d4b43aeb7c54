// Runs a fuzz target without libFuzzer over saved inputs: every file named on
// the command line and every file in every folder named there, in name order.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const fs::path argument = argv[i];
    std::error_code error;
    if (fs::is_directory(argument, error)) {
      std::vector<fs::path> folder;
      for (const fs::directory_entry& entry : fs::directory_iterator(argument)) {
        if (entry.is_regular_file()) folder.push_back(entry.path());
      }
      std::sort(folder.begin(), folder.end());
      inputs.insert(inputs.end(), folder.begin(), folder.end());
    } else if (fs::is_regular_file(argument, error)) {
      inputs.push_back(argument);
    } else {
      std::fprintf(stderr, "%s: no such file or folder\n", argv[i]);
      return 2;
    }
  }
  // A corpus that went missing must not pass as a corpus that replays cleanly.
  if (inputs.empty()) {
    std::fprintf(stderr, "usage: %s <input file or folder>... (found no inputs)\n", argv[0]);
    return 2;
  }
  for (const fs::path& input : inputs) {
    std::ifstream file(input, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    if (!file.is_open() || file.bad()) {
      std::fprintf(stderr, "%s: cannot read\n", input.c_str());
      return 2;
    }
    // A heap block of exactly the input's size, as libFuzzer passes it, so that
    // the sanitizers see a read one byte past the end.
    const std::unique_ptr<uint8_t[]> data(new uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), data.get());
    std::fprintf(stderr, "replaying %s\n", input.c_str());
    LLVMFuzzerTestOneInput(data.get(), bytes.size());
  }
  std::fprintf(stderr, "replayed %zu inputs\n", inputs.size());
  return 0;
}
