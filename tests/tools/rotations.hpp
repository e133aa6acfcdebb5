// Rotation matrices (row-major, columns are the frame's axes) built independently of the code under test.
#pragma once

#include <array>
#include <cmath>

#include <gtest/gtest.h>

namespace kelto::test {

using Rotation = std::array<double, 9>;

inline Rotation multiply(const Rotation& a, const Rotation& b) {
  Rotation out{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      for (int k = 0; k < 3; ++k) out[3 * r + c] += a[3 * r + k] * b[3 * k + c];
  return out;
}

// Rz(yaw) * Ry(pitch) * Rx(roll), angles in degrees.
inline Rotation from_rpy(const std::array<double, 3>& rpy) {
  const double k = 3.14159265358979323846 / 180.0;
  const double cr = std::cos(rpy[0] * k), sr = std::sin(rpy[0] * k);
  const double cp = std::cos(rpy[1] * k), sp = std::sin(rpy[1] * k);
  const double cy = std::cos(rpy[2] * k), sy = std::sin(rpy[2] * k);
  return multiply(
      Rotation{cy, -sy, 0, sy, cy, 0, 0, 0, 1},
      multiply(Rotation{cp, 0, sp, 0, 1, 0, -sp, 0, cp}, Rotation{1, 0, 0, 0, cr, -sr, 0, sr, cr}));
}

// Unit quaternion w, x, y, z.
inline Rotation from_quaternion(const std::array<double, 4>& q) {
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  return {1 - 2 * (y * y + z * z), 2 * (x * y - w * z),     2 * (x * z + w * y),
          2 * (x * y + w * z),     1 - 2 * (x * x + z * z), 2 * (y * z - w * x),
          2 * (x * z - w * y),     2 * (y * z + w * x),     1 - 2 * (x * x + y * y)};
}

inline void expect_rotation_near(const Rotation& a, const Rotation& b, double tolerance) {
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(a[i], b[i], tolerance) << "element " << i;
}

}  // namespace kelto::test
