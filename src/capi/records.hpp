// Reading the records that cross the C boundary: the common header, string views, poses and sides.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "kelto_hand.h"

namespace kelto::hand::detail {

// The header test every record passed by pointer gets: its size first, then its ABI version.
template <typename Record>
kx_status check_record_header(const Record& record) {
  if (record.struct_size < sizeof(Record)) return KX_STATUS_INVALID_ARGUMENT;
  if (record.abi_version != KX_ABI_VERSION_MAJOR) return KX_STATUS_ABI_MISMATCH;
  return KX_STATUS_OK;
}

// A copy of the viewed bytes; a NULL data pointer is the empty text whatever the size.
inline std::string view_text(kx_string_view view) {
  if (view.data == nullptr) return std::string();
  return std::string(view.data, view.size);
}

inline kx_string_view text_view(const std::string& text) {
  return kx_string_view{text.data(), text.size()};
}

inline bool pose_is_finite(const kx_pose& pose) {
  for (double value : pose.position) {
    if (!std::isfinite(value)) return false;
  }
  for (double value : pose.rotation) {
    if (!std::isfinite(value)) return false;
  }
  return true;
}

// Sides are 0 (right) or 1 (left); anything else, negative values included, is rejected.
inline bool hand_side_is_valid(std::int32_t side) {
  return static_cast<std::uint32_t>(side) <= 1u;
}

}  // namespace kelto::hand::detail
