// Rotations about one coordinate axis, for building tilted gloves and turned frames in tests.
#pragma once

#include <cmath>

#include "kinematics/vec3.hpp"

namespace kelto::test {

// Rotation by `a` radians about axis 0 (x), 1 (y) or 2 (z), row-major.
inline hand::detail::Mat3 rot(int axis, double a) {
  const double c = std::cos(a), s = std::sin(a);
  if (axis == 0) return {1, 0, 0, 0, c, -s, 0, s, c};
  if (axis == 1) return {c, 0, s, 0, 1, 0, -s, 0, c};
  return {c, -s, 0, s, c, 0, 0, 0, 1};
}

}  // namespace kelto::test
