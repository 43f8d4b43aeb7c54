// Helpers shared by the tests.
#pragma once

#include <filesystem>
#include <string>

namespace qel::test {

// A fresh empty folder under the system's temporary folder, removed when the
// object goes away.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  // Writes |bytes| to the file at |relative| (UTF-8; folders created as needed) and
  // returns its full path.
  std::filesystem::path Write(const std::string& relative, const std::string& bytes) const;

 private:
  std::filesystem::path path_;
};

}  // namespace qel::test
