#include "support/TestSupport.h"

#include <atomic>
#include <fstream>
#include <random>

namespace qel::test {

TempFolder::TempFolder() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  path_ = std::filesystem::temp_directory_path() /
          ("qel-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
  std::filesystem::create_directories(path_);
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempFolder::Write(const std::string& relative,
                                        const std::string& bytes) const {
  std::filesystem::path file = path_ / std::filesystem::u8path(relative);
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << bytes;
  return file;
}

}  // namespace qel::test
