// A minimal 32-bit PE image that imports the DLLs named, for the tests of
// the import directory's reader: as the loader maps it (headers, then one
// section at RVA 0x1000 holding the descriptors and, further on, the names)
// and as its file lays it out (the section right after 0x200 bytes of
// headers, so that RVAs and file offsets differ).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qel::test {

class PeImage {
 public:
  static constexpr uint32_t kPe = 0x40;                      // "PE\0\0", then the file header
  static constexpr uint32_t kOptional = kPe + 24;            // the optional header
  static constexpr uint32_t kImportEntry = kOptional + 104;  // its import directory entry
  static constexpr uint32_t kSectionTable = kOptional + 224;
  static constexpr uint32_t kHeaders = 0x200;   // SizeOfHeaders, and the section's file offset
  static constexpr uint32_t kSection = 0x1000;  // the section's RVA: the descriptors
  static constexpr uint32_t kNames = kSection + 0x100;
  static constexpr uint32_t kImageSize = 0x2000;

  explicit PeImage(const std::vector<std::string>& imports) : mapped_(kImageSize) {
    auto& m = mapped_;
    m[0] = 'M';
    m[1] = 'Z';
    Put32(m, 0x3C, kPe);
    m[kPe] = 'P';
    m[kPe + 1] = 'E';
    Put16(m, kPe + 4, 0x14C);  // i386
    Put16(m, kPe + 6, 1);      // one section
    Put16(m, kPe + 20, 224);   // the optional header of PE32
    Put16(m, kOptional, 0x10B);
    Put32(m, kOptional + 56, kImageSize);
    Put32(m, kOptional + 60, kHeaders);
    Put32(m, kOptional + 92, 16);
    Put32(m, kImportEntry, kSection);
    Put32(m, kImportEntry + 4, static_cast<uint32_t>(20 * (imports.size() + 1)));
    const char kName[8] = {'.', 'i', 'd', 'a', 't', 'a', 0, 0};
    std::copy(kName, kName + 8, m.begin() + kSectionTable);
    Put32(m, kSectionTable + 8, kImageSize - kSection);   // VirtualSize
    Put32(m, kSectionTable + 12, kSection);               // VirtualAddress
    Put32(m, kSectionTable + 16, kImageSize - kSection);  // SizeOfRawData
    Put32(m, kSectionTable + 20, kHeaders);               // PointerToRawData
    uint32_t name = kNames;
    for (size_t i = 0; i < imports.size(); ++i) {
      Put32(m, kSection + 20 * i + 12, name);
      std::copy(imports[i].begin(), imports[i].end(), m.begin() + name);
      name += static_cast<uint32_t>(imports[i].size() + 1);
    }
  }

  std::vector<uint8_t> Mapped() const { return mapped_; }
  std::string File() const { return FileOf(mapped_); }
  static std::string FileOf(const std::vector<uint8_t>& mapped) {
    return std::string(mapped.begin(), mapped.begin() + kHeaders) +
           std::string(mapped.begin() + kSection, mapped.end());
  }

  static void Put16(std::vector<uint8_t>& m, size_t at, uint32_t value) {
    m[at] = static_cast<uint8_t>(value);
    m[at + 1] = static_cast<uint8_t>(value >> 8);
  }
  static void Put32(std::vector<uint8_t>& m, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) m[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
  static uint32_t Get32(const std::vector<uint8_t>& m, size_t at) {
    return static_cast<uint32_t>(m[at]) | (static_cast<uint32_t>(m[at + 1]) << 8) |
           (static_cast<uint32_t>(m[at + 2]) << 16) | (static_cast<uint32_t>(m[at + 3]) << 24);
  }

 private:
  std::vector<uint8_t> mapped_;
};

}  // namespace qel::test
