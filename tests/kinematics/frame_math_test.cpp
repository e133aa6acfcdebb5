// Moving points and rotations between frames, and rotations built from two hint axes with their fallbacks.
#include "kinematics/frame_math.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "kinematics/vec3.hpp"

namespace kelto::hand {
namespace {

using detail::Mat3;
using detail::Vec3;

template <std::size_t N>
void expect_near(const std::array<double, N>& actual, const std::array<double, N>& expected) {
  for (std::size_t i = 0; i < N; ++i) EXPECT_NEAR(actual[i], expected[i], 1e-12) << "index " << i;
}

TEST(FrameMath, NormalizationAndRotationFallbacks) {
  const Vec3 fallback{0, 2, 0};  // returned as given, although not of unit length
  EXPECT_EQ(normalize_vector({0, 0, 1e-9}, fallback), fallback);  // the threshold itself falls back
  expect_near(normalize_vector({2e-9, 0, 0}, fallback), {1, 0, 0});
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
  // A general pair gives a right-handed orthonormal frame with x along the x hint.
  const Mat3 r = build_rotation_from_xz({1, 2, 3}, {-1, 0.5, 2});
  expect_near(detail::mul(detail::transpose(r), r), detail::kIdentity);
  expect_near(detail::column(r, 0), detail::normalized({1, 2, 3}));
  EXPECT_NEAR(detail::determinant(r), 1.0, 1e-12);
}

TEST(FrameMath, TransformsMatchWorkedValues) {
  const Mat3 quarter{0, -1, 0, 1, 0, 0, 0, 0, 1};  // quarter turn about z
  const Mat3 about_x{1, 0, 0, 0, 0, -1, 0, 1, 0};
  expect_near(local_point_to_world({0, 2, -1}, {1, 2, 3}, quarter), {-1, 2, 2});
  expect_near(world_point_to_local({1, 2, 3}, quarter, {0, 0, 0}), {-2, 1, -3});
  expect_near(local_rotation_to_world(about_x, quarter), {0, 0, 1, 1, 0, 0, 0, 1, 0});
  expect_near(world_rotation_to_local(quarter, {0, 0, 1, 1, 0, 0, 0, 1, 0}), about_x);
  // Inputs are used as given, without normalising.
  expect_near(world_point_to_local({0, 0, 0}, {1, 2, 0, 0, 1, 0, 0, 0, 1}, {1, 1, 1}), {1, 3, 1});
  // A zero entry of a rotation product is +0.0, even where every product summed into it is -0.0.
  const Mat3 negative_zeros{-0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0};
  for (const Mat3& product : {world_rotation_to_local(detail::kIdentity, negative_zeros),
                              local_rotation_to_world(negative_zeros, detail::kIdentity)}) {
    for (const double entry : product) EXPECT_FALSE(std::signbit(entry));
  }
}

}  // namespace
}  // namespace kelto::hand
