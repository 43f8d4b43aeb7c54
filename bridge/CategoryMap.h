// Class name -> category, filled by InitMap and read by ProcessEvent.
#pragma once

#include <map>
#include <string>

namespace qel {

class CategoryMap {
 public:
  // Inserts the pair unless the class name is present; never replaces.
  void addIfAbsent(const std::u16string& className, const std::u16string& category);
  // The category of |className|, or empty when it has none. Looking a name up
  // never adds it: a class seen before InitMap still gets its category later,
  // and names the host sends do not make the map grow.
  std::u16string lookup(const std::u16string& className) const;
  size_t size() const { return entries_.size(); }
  void clear() { entries_.clear(); }

 private:
  // std::u16string orders by plain comparison of 16-bit units, case-sensitive.
  std::map<std::u16string, std::u16string> entries_;
};

}  // namespace qel
