#include "platform/hosted/PeResources.h"

namespace qel {

// Placeholder until the PE reader lands: every file is refused.
struct PeResources::Impl {};

PeResources::PeResources(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PeResources::~PeResources() = default;

std::shared_ptr<const PeResources> PeResources::Parse(const std::vector<uint8_t>&) {
  return nullptr;
}
std::vector<ResourceName> PeResources::Names(ResourceName) const { return {}; }
std::vector<uint16_t> PeResources::Languages(ResourceName, ResourceName) const { return {}; }
std::optional<std::u16string> PeResources::String(uint32_t) const { return std::nullopt; }

}  // namespace qel
