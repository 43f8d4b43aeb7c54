#include "bridge/CategoryMap.h"

namespace qel {

void CategoryMap::addIfAbsent(const std::u16string& className, const std::u16string& category) {
  entries_.emplace(className, category);
}

std::u16string CategoryMap::lookup(const std::u16string& className) const {
  auto entry = entries_.find(className);
  return entry == entries_.end() ? std::u16string() : entry->second;
}

}  // namespace qel
