// Small 3-vector and row-major 3x3 matrix helpers on plain arrays. Each spells its arithmetic out in a
// fixed order, so every caller gets the same floating-point results.
#pragma once

#include <array>
#include <cmath>

namespace kelto::hand::detail {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<double, 9>;

inline constexpr Mat3 kIdentity{1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};

inline Vec3 add(const Vec3& a, const Vec3& b) {
  return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}
inline Vec3 sub(const Vec3& a, const Vec3& b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
inline Vec3 scaled(const Vec3& a, double s) {
  return {a[0] * s, a[1] * s, a[2] * s};
}
inline double dot(const Vec3& a, const Vec3& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
inline double norm(const Vec3& a) {
  return std::sqrt(dot(a, a));
}
inline Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
// a / |a|, taken as a times 1 / |a|; no guard for a zero vector.
inline Vec3 normalized(const Vec3& a) {
  return scaled(a, 1.0 / norm(a));
}

// Column c of m: the frame's axis c in the parent frame.
inline Vec3 column(const Mat3& m, int c) {
  return {m[c], m[3 + c], m[6 + c]};
}
// m * v.
inline Vec3 mul(const Mat3& m, const Vec3& v) {
  return {m[0] * v[0] + m[1] * v[1] + m[2] * v[2], m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
          m[6] * v[0] + m[7] * v[1] + m[8] * v[2]};
}
// a * b.
inline Mat3 mul(const Mat3& a, const Mat3& b) {
  Mat3 out{};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      out[3 * r + c] = a[3 * r] * b[c] + a[3 * r + 1] * b[3 + c] + a[3 * r + 2] * b[6 + c];
    }
  }
  return out;
}
// m^T * v.
inline Vec3 transpose_mul(const Mat3& m, const Vec3& v) {
  return {m[0] * v[0] + m[3] * v[1] + m[6] * v[2], m[1] * v[0] + m[4] * v[1] + m[7] * v[2],
          m[2] * v[0] + m[5] * v[1] + m[8] * v[2]};
}
inline Mat3 transpose(const Mat3& m) {
  return {m[0], m[3], m[6], m[1], m[4], m[7], m[2], m[5], m[8]};
}
// Cofactor expansion along the first row.
inline double determinant(const Mat3& m) {
  return m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
         m[2] * (m[3] * m[7] - m[4] * m[6]);
}
// Rotation by `angle` (radians) about the unit axis u (Rodrigues).
inline Mat3 axis_angle(const Vec3& u, double angle) {
  const double c = std::cos(angle), s = std::sin(angle), t = 1.0 - c;
  return {t * u[0] * u[0] + c,        t * u[0] * u[1] - s * u[2], t * u[0] * u[2] + s * u[1],
          t * u[0] * u[1] + s * u[2], t * u[1] * u[1] + c,        t * u[1] * u[2] - s * u[0],
          t * u[0] * u[2] - s * u[1], t * u[1] * u[2] + s * u[0], t * u[2] * u[2] + c};
}

}  // namespace kelto::hand::detail
