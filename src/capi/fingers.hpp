// Finger slots of the C records: index and mask of each configured finger.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelto::hand::detail {

// Slot order of every per-finger array in the C records.
inline constexpr std::array<const char*, 5> kFingerNames = {"thumb", "first", "middle", "ring", "little"};

// The slot of a finger name; throws std::runtime_error for a name outside kFingerNames.
std::size_t finger_index(const std::string& name);

// One bit per finger of the order (bit = slot). Throws std::runtime_error for an unknown or repeated
// finger and for an order that is empty or lacks the thumb.
std::uint32_t finger_mask(const std::vector<std::string>& finger_order);

}  // namespace kelto::hand::detail
