#include "capi/fingers.hpp"

#include <stdexcept>

namespace kelto::hand::detail {

std::size_t finger_index(const std::string& name) {
  for (std::size_t i = 0; i < kFingerNames.size(); ++i) {
    if (name == kFingerNames[i]) return i;
  }
  throw std::runtime_error("retargeting.finger_order contains unsupported finger: " + name);
}

std::uint32_t finger_mask(const std::vector<std::string>& finger_order) {
  std::uint32_t mask = 0;
  for (const std::string& name : finger_order) {
    const std::uint32_t bit = 1u << finger_index(name);
    if ((mask & bit) != 0)
      throw std::runtime_error("retargeting.finger_order contains duplicate finger: " + name);
    mask |= bit;
  }
  if ((mask & 1u) == 0)
    throw std::runtime_error("retargeting.finger_order must be non-empty and contain thumb");
  return mask;
}

}  // namespace kelto::hand::detail
