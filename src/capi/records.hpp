// Reading the records that cross the C boundary: the common header, string views, poses and sides.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "kelto_hand.h"

namespace kelto::hand::detail {

// The texts a header check reports: one for a record that is missing or smaller than this library's,
// one for a record from another ABI major version.
struct RecordHeaderTexts {
  const char* size;
  const char* abi;
};

// The header test every record passed by pointer gets: the sizes of all of `records` first (a null one
// fails here too), then their ABI versions. A failure hands its text to `report` and returns its status
// (KX_STATUS_INVALID_ARGUMENT or KX_STATUS_ABI_MISMATCH); KX_STATUS_OK otherwise.
template <typename Report, typename... Records>
kx_status check_record_header(const RecordHeaderTexts& texts, Report&& report, const Records*... records) {
  if (!((records != nullptr && records->struct_size >= sizeof(Records)) && ...)) {
    report(texts.size);
    return KX_STATUS_INVALID_ARGUMENT;
  }
  if (!((records->abi_version == KX_ABI_VERSION_MAJOR) && ...)) {
    report(texts.abi);
    return KX_STATUS_ABI_MISMATCH;
  }
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

// "left" for the left side, else "right".
inline const char* side_word(kx_hand_side side) {
  return side == KX_HAND_LEFT ? "left" : "right";
}

// Sides are 0 (right) or 1 (left); anything else, negative values included, is rejected.
inline bool hand_side_is_valid(std::int32_t side) {
  return static_cast<std::uint32_t>(side) <= 1u;
}

}  // namespace kelto::hand::detail
