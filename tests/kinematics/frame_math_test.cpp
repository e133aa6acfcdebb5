// Moving points and rotations between frames, and rotations built from two hint axes with their fallbacks.
#include "kinematics/frame_math.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

namespace kelto::hand {
namespace {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<double, 9>;

template <std::size_t N>
void expect_near(const std::array<double, N>& actual, const std::array<double, N>& expected) {
  for (std::size_t i = 0; i < N; ++i) EXPECT_NEAR(actual[i], expected[i], 1e-12) << "index " << i;
}

double dot(const Vec3& a, const Vec3& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

TEST(FrameMath, NormalizationAndRotationFallbacks) {
  const Vec3 fallback{0, 2, 0};  // returned as given, although not of unit length
  EXPECT_EQ(normalize_vector({1e-10, 0, 0}, fallback), fallback);
  EXPECT_EQ(normalize_vector({0, 0, 1e-9}, fallback), fallback);  // the threshold itself falls back
  expect_near(normalize_vector({2e-9, 0, 0}, fallback), {1, 0, 0});
  expect_near(normalize_vector({3, 0, -4}, fallback), {0.6, 0, -0.8});
  const std::tuple<Vec3, Vec3, Mat3> cases[] = {
      {{2, 0, 0}, {3, 0, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 1}},
      {{1, 0, 0}, {1, 0, 0}, {1, 0, 0, 0, 1, 0, 0, 0, 1}},   // parallel hints
      {{0, 0, 0}, {0, 1, 0}, {1, 0, 0, 0, 0, 1, 0, -1, 0}},  // zero x hint
      {{0, 0, 0}, {0, 0, 0}, {1, 0, 0, 0, 1, 0, 0, 0, 1}},
      // z falls back to (0, 0, 1) although that is x; y falls back and the final z is rebuilt.
      {{0, 0, 3}, {0, 0, -1}, {0, 0, -1, 0, 1, 0, 1, 0, 0}},
      {{0, 1, 0}, {0, 0, 1}, {0, -1, 0, 1, 0, 0, 0, 0, 1}},  // x is the first column
  };
  for (const auto& [x_hint, z_hint, expected] : cases)
    expect_near(build_rotation_from_xz(x_hint, z_hint), expected);
  for (const auto& [x_hint, z_hint] :
       {std::array<Vec3, 2>{{{1, 2, 3}, {-1, 0.5, 2}}}, {{{1e-3, 1e-3, 0}, {0, 1e3, 1e3}}}}) {
    const Mat3 r = build_rotation_from_xz(x_hint, z_hint);
    const Vec3 x{r[0], r[3], r[6]}, y{r[1], r[4], r[7]}, z{r[2], r[5], r[8]};
    const double n = std::sqrt(dot(x_hint, x_hint));
    expect_near(x, {x_hint[0] / n, x_hint[1] / n, x_hint[2] / n});
    expect_near(Vec3{dot(y, y), dot(z, z), dot(x, y) + dot(x, z) + dot(y, z)}, {1, 1, 0});
    expect_near(Vec3{x[1] * y[2] - x[2] * y[1], x[2] * y[0] - x[0] * y[2], x[0] * y[1] - x[1] * y[0]}, z);
    EXPECT_GT(dot(z, z_hint), 0);
  }
}

TEST(FrameMath, TransformsMatchWorkedValuesAndInvertEachOther) {
  const Mat3 quarter{0, -1, 0, 1, 0, 0, 0, 0, 1};  // quarter turn about z
  const Mat3 about_x{1, 0, 0, 0, 0, -1, 0, 1, 0};
  const Vec3 origin{1, 2, 3};
  expect_near(local_point_to_world({0, 2, -1}, origin, quarter), {-1, 2, 2});
  expect_near(world_point_to_local(origin, quarter, {0, 0, 0}), {-2, 1, -3});
  expect_near(local_rotation_to_world(about_x, quarter), {0, 0, 1, 1, 0, 0, 0, 1, 0});
  expect_near(world_rotation_to_local(quarter, {0, 0, 1, 1, 0, 0, 0, 1, 0}), about_x);
  // Inputs are used as given, without normalising.
  expect_near(world_point_to_local({0, 0, 0}, {1, 2, 0, 0, 1, 0, 0, 0, 1}, {1, 1, 1}), {1, 3, 1});
  const Mat3 frame = build_rotation_from_xz({0.2, -1, 0.4}, {1, 1, 0});
  const Vec3 point{0.07, -0.03, 0.11}, far_origin{-5, 4, 12};
  expect_near(world_point_to_local(far_origin, frame, local_point_to_world(point, far_origin, frame)), point);
  expect_near(world_rotation_to_local(frame, local_rotation_to_world(about_x, frame)), about_x);
}

}  // namespace
}  // namespace kelto::hand
