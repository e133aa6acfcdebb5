// Helpers for the calibration tests: rotations and vectors written independently of the code under test,
// and the text of a thrown exception.
#pragma once

#include <array>
#include <cmath>
#include <exception>
#include <string>

namespace kelto::test {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<double, 9>;

// Rotation by `a` radians about axis 0 (x), 1 (y) or 2 (z), row-major.
inline Mat3 rot(int axis, double a) {
  const double c = std::cos(a), s = std::sin(a);
  if (axis == 0) return {1, 0, 0, 0, c, -s, 0, s, c};
  if (axis == 1) return {c, 0, s, 0, 1, 0, -s, 0, c};
  return {c, -s, 0, s, c, 0, 0, 0, 1};
}

inline Mat3 mul(const Mat3& a, const Mat3& b) {
  Mat3 out{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      for (int k = 0; k < 3; ++k) out[3 * r + c] += a[3 * r + k] * b[3 * k + c];
  return out;
}

inline Vec3 mul(const Mat3& m, const Vec3& v) {
  Vec3 out{};
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 3; ++k) out[r] += m[3 * r + k] * v[k];
  return out;
}

inline Mat3 transpose(const Mat3& m) {
  return {m[0], m[3], m[6], m[1], m[4], m[7], m[2], m[5], m[8]};
}

inline double det(const Mat3& m) {
  return m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
         m[2] * (m[3] * m[7] - m[4] * m[6]);
}

template <std::size_t N>
bool near(const std::array<double, N>& a, const std::array<double, N>& b, double tolerance) {
  for (std::size_t i = 0; i < N; ++i) {
    if (!(std::abs(a[i] - b[i]) <= tolerance)) return false;
  }
  return true;
}

inline Vec3 sub(const Vec3& a, const Vec3& b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
inline Vec3 mid(const Vec3& a, const Vec3& b) {
  return {(a[0] + b[0]) / 2, (a[1] + b[1]) / 2, (a[2] + b[2]) / 2};
}
inline double dot(const Vec3& a, const Vec3& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
inline Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

inline double distance(const Vec3& a, const Vec3& b) {
  return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) +
                   (a[2] - b[2]) * (a[2] - b[2]));
}

// The message of the exception that `call` throws, or "no exception".
template <typename Call>
std::string error_text(Call&& call) {
  try {
    call();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no exception";
}

}  // namespace kelto::test
