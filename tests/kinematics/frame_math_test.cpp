// Moving points and rotations between frames, and rotations built from two hint axes.
#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "kinematics/frame_math.hpp"

namespace kelto::hand {
namespace {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<double, 9>;

constexpr double kTol = 1e-12;

void expect_near(const Vec3& actual, const Vec3& expected, double tol = kTol) {
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(actual[i], expected[i], tol) << "index " << i;
}

void expect_near(const Mat3& actual, const Mat3& expected, double tol = kTol) {
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(actual[i], expected[i], tol) << "index " << i;
}

Vec3 column(const Mat3& m, int c) {
  return {m[c], m[3 + c], m[6 + c]};
}

double dot(const Vec3& a, const Vec3& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Rotation about a unit axis by an angle (Rodrigues), row-major.
Mat3 axis_angle(const Vec3& axis, double angle) {
  const double c = std::cos(angle), s = std::sin(angle), t = 1 - c;
  const double x = axis[0], y = axis[1], z = axis[2];
  return {t * x * x + c,     t * x * y - s * z, t * x * z + s * y,  //
          t * x * y + s * z, t * y * y + c,     t * y * z - s * x,  //
          t * x * z - s * y, t * y * z + s * x, t * z * z + c};
}

TEST(NormalizeVector, FallsBackAtOrBelowTheThreshold) {
  const Vec3 fallback{0, 2, 0};  // deliberately not of unit length
  const struct {
    Vec3 input;
    Vec3 expected;
  } cases[] = {
      {{0, 0, 0}, fallback},        {{1e-10, 0, 0}, fallback},
      {{0, 0, 1e-9}, fallback},     {{2e-9, 0, 0}, {1, 0, 0}},
      {{3, 0, -4}, {0.6, 0, -0.8}}, {{-1e-5, 1e-5, 0}, {-std::sqrt(0.5), std::sqrt(0.5), 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input[0] + c.input[2]);
    expect_near(normalize_vector(c.input, fallback), c.expected);
  }
  EXPECT_EQ(normalize_vector({0, 0, 0}, fallback), fallback);
}

TEST(BuildRotationFromXZ, HandlesDegenerateHints) {
  const struct {
    const char* name;
    Vec3 x_hint;
    Vec3 z_hint;
    Mat3 expected;
  } cases[] = {
      {"scaled axes", {2, 0, 0}, {0, 0, 5}, {1, 0, 0, 0, 1, 0, 0, 0, 1}},
      {"z hint leans on x", {1, 0, 0}, {3, 0, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 1}},
      {"parallel hints", {1, 0, 0}, {1, 0, 0}, {1, 0, 0, 0, 1, 0, 0, 0, 1}},
      {"zero x hint", {0, 0, 0}, {0, 1, 0}, {1, 0, 0, 0, 0, 1, 0, -1, 0}},
      {"both zero", {0, 0, 0}, {0, 0, 0}, {1, 0, 0, 0, 1, 0, 0, 0, 1}},
      // The z fallback is kept as it stands even though it is parallel to x; y falls back too and the
      // final z is rebuilt from x and y.
      {"x along z, z hint parallel", {0, 0, 3}, {0, 0, -1}, {0, 0, -1, 0, 1, 0, 1, 0, 0}},
      {"x along y", {0, 1, 0}, {0, 0, 1}, {0, -1, 0, 1, 0, 0, 0, 0, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expect_near(build_rotation_from_xz(c.x_hint, c.z_hint), c.expected);
  }
  // The x axis (0, 1, 0) is the first column: index 3 holds 1, indices 0 and 6 hold 0.
  const Mat3 r = build_rotation_from_xz({0, 1, 0}, {0, 0, 1});
  EXPECT_EQ(r[3], 1.0);
  EXPECT_EQ(r[0], 0.0);
  EXPECT_EQ(r[6], 0.0);
}

TEST(BuildRotationFromXZ, GivesRightHandedOrthonormalFrames) {
  const std::array<std::array<Vec3, 2>, 5> hints{{
      {{{1, 2, 3}, {-1, 0.5, 2}}},
      {{{0.1, -0.2, 0.05}, {0, 0, 1}}},
      {{{-4, 0, 1}, {1, 1, 1}}},
      {{{0, 0, -1}, {1, 0, 0}}},
      {{{1e-3, 1e-3, 0}, {0, 1e3, 1e3}}},
  }};
  for (const auto& [x_hint, z_hint] : hints) {
    SCOPED_TRACE(x_hint[0]);
    const Mat3 r = build_rotation_from_xz(x_hint, z_hint);
    const Vec3 x = column(r, 0), y = column(r, 1), z = column(r, 2);
    const double n = std::sqrt(dot(x_hint, x_hint));
    expect_near(x, {x_hint[0] / n, x_hint[1] / n, x_hint[2] / n});
    EXPECT_NEAR(dot(x, x), 1, kTol);
    EXPECT_NEAR(dot(y, y), 1, kTol);
    EXPECT_NEAR(dot(z, z), 1, kTol);
    EXPECT_NEAR(dot(x, y), 0, kTol);
    EXPECT_NEAR(dot(x, z), 0, kTol);
    EXPECT_NEAR(dot(y, z), 0, kTol);
    expect_near(cross(x, y), z);
    EXPECT_GT(dot(z, z_hint), 0);  // z follows the hint
    EXPECT_NEAR(dot(y, z_hint), 0, 1e-9 * std::sqrt(dot(z_hint, z_hint)));
  }
}

TEST(FrameTransforms, MatchHandWorkedValues) {
  // Quarter turn about z: local x is world y.
  const Mat3 quarter{0, -1, 0, 1, 0, 0, 0, 0, 1};
  const Vec3 origin{1, 2, 3};
  expect_near(local_point_to_world({1, 0, 0}, origin, quarter), {1, 3, 3});
  expect_near(local_point_to_world({0, 2, -1}, origin, quarter), {-1, 2, 2});
  expect_near(world_point_to_local(origin, quarter, {1, 3, 3}), {1, 0, 0});
  expect_near(world_point_to_local(origin, quarter, {0, 0, 0}), {-2, 1, -3});

  const Mat3 about_x{1, 0, 0, 0, 0, -1, 0, 1, 0};
  // B * L and B^T * R, with B = quarter turn about z.
  expect_near(local_rotation_to_world(about_x, quarter), {0, 0, 1, 1, 0, 0, 0, 1, 0});
  expect_near(world_rotation_to_local(quarter, {0, 0, 1, 1, 0, 0, 0, 1, 0}), about_x);

  // The functions neither normalise nor check: a scaled matrix scales the result.
  expect_near(local_point_to_world({1, 1, 1}, {0, 0, 0}, {2, 0, 0, 0, 2, 0, 0, 0, 2}), {2, 2, 2});
  expect_near(world_point_to_local({0, 0, 0}, {1, 2, 0, 0, 1, 0, 0, 0, 1}, {1, 1, 1}), {1, 3, 1});
}

TEST(FrameTransforms, WorldAndLocalAreInverses) {
  const Mat3 frames[] = {
      axis_angle({0, 0, 1}, 0.3),
      axis_angle({1 / std::sqrt(3.0), 1 / std::sqrt(3.0), -1 / std::sqrt(3.0)}, 2.1),
      build_rotation_from_xz({0.2, -1, 0.4}, {1, 1, 0}),
  };
  const Vec3 origins[] = {{0, 0, 0}, {0.1, -0.2, 0.3}, {-5, 4, 12}};
  const Vec3 point{0.07, -0.03, 0.11};
  const Mat3 local = axis_angle({0, 1, 0}, -0.7);
  for (const Mat3& frame : frames) {
    for (const Vec3& origin : origins) {
      expect_near(world_point_to_local(origin, frame, local_point_to_world(point, origin, frame)), point);
      expect_near(local_point_to_world(world_point_to_local(origin, frame, point), origin, frame), point);
    }
    expect_near(world_rotation_to_local(frame, local_rotation_to_world(local, frame)), local);
    expect_near(local_rotation_to_world(world_rotation_to_local(frame, local), frame), local);
  }
}

}  // namespace
}  // namespace kelto::hand
