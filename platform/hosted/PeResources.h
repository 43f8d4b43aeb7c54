// The resources of a PE file (EXE or DLL), read from its bytes without running
// anything: what Windows offers for a module loaded as a data file.
//
// The file is untrusted input: a truncated or malformed image is refused as a
// whole, and nothing is ever read outside the bytes given.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"

namespace qel {

class PeResources {
 public:
  // Null when |file| is not a well-formed PE image with a readable resource
  // directory (an image without resources parses and has none).
  static std::shared_ptr<const PeResources> Parse(const std::vector<uint8_t>& file);

  // Names of the resources of |type|, in directory order: integer ids as
  // MakeIntResource values, text names as pointers valid while this object lives.
  std::vector<ResourceName> Names(ResourceName type) const;
  // Languages of one resource, in directory order.
  std::vector<uint16_t> Languages(ResourceName type, ResourceName name) const;
  // String |id| from the string tables (block id / 16 + 1, entry id % 16), in
  // the first language the block has; std::nullopt when absent or empty.
  std::optional<std::u16string> String(uint32_t id) const;

  // A text of version resource 1 ("FileDescription", "FileVersion" ...): from
  // its first string table, in its first language; std::nullopt when absent.
  std::optional<std::u16string> VersionString(std::u16string_view name) const;

  struct Impl;
  explicit PeResources(std::unique_ptr<Impl> impl);
  ~PeResources();

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace qel
