// Template palm landmarks of the OpenXR-style hand, shared by the URDF and MJCF generators.
#pragma once

#include <array>
#include <string>

namespace kelto::hand::detail {

struct PalmLayoutRow {
  const char* landmark;                  // key under hand.anthropometry.palm_layout.landmarks_m
  const char* finger;                    // anthropometry finger key
  const char* joint_suffix;              // URDF joint <side>_<joint_suffix> carrying the landmark
  std::array<double, 3> landmark_point;  // A: template landmark, metres, template wrist frame
  std::array<double, 3> base_point;      // B: template base of the metacarpal, same frame
};

using PalmLayoutTable = std::array<PalmLayoutRow, 5>;

// The right table for side "right", the left table for every other side word.
const PalmLayoutTable& palm_layout_table(const std::string& side);

}  // namespace kelto::hand::detail
