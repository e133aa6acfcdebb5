#include "kinematics/frame_math.hpp"

#include <cmath>

namespace kelto::hand {
namespace {

constexpr double kMinLength = 1e-9;

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<double, 9>;

double length(const Vec3& v) {
  return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

double dot(const Vec3& a, const Vec3& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

}  // namespace

Vec3 normalize_vector(const Vec3& v, const Vec3& fallback) {
  const double n = length(v);
  if (n <= kMinLength) return fallback;
  return {v[0] / n, v[1] / n, v[2] / n};
}

Vec3 world_point_to_local(const Vec3& origin, const Mat3& rotation, const Vec3& point) {
  const Vec3 d{point[0] - origin[0], point[1] - origin[1], point[2] - origin[2]};
  Vec3 result{};
  for (int c = 0; c < 3; ++c) {
    result[c] = rotation[c] * d[0] + rotation[3 + c] * d[1] + rotation[6 + c] * d[2];
  }
  return result;
}

Mat3 world_rotation_to_local(const Mat3& base_rotation, const Mat3& rotation) {
  Mat3 result{};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      double sum = 0.0;
      for (int k = 0; k < 3; ++k) sum += base_rotation[3 * k + r] * rotation[3 * k + c];
      result[3 * r + c] = sum;
    }
  }
  return result;
}

Vec3 local_point_to_world(const Vec3& point, const Vec3& origin, const Mat3& rotation) {
  Vec3 result{};
  for (int r = 0; r < 3; ++r) {
    result[r] = rotation[3 * r] * point[0] + rotation[3 * r + 1] * point[1] + rotation[3 * r + 2] * point[2] +
                origin[r];
  }
  return result;
}

Mat3 local_rotation_to_world(const Mat3& local_rotation, const Mat3& base_rotation) {
  Mat3 result{};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      double sum = 0.0;
      for (int k = 0; k < 3; ++k) sum += base_rotation[3 * r + k] * local_rotation[3 * k + c];
      result[3 * r + c] = sum;
    }
  }
  return result;
}

Mat3 build_rotation_from_xz(const Vec3& x_hint, const Vec3& z_hint) {
  const Vec3 x = normalize_vector(x_hint, {1.0, 0.0, 0.0});
  const double along = dot(z_hint, x);
  const Vec3 z_orthogonal{z_hint[0] - along * x[0], z_hint[1] - along * x[1], z_hint[2] - along * x[2]};
  // This fallback is used as it stands, without making it orthogonal to x.
  const Vec3 z = normalize_vector(z_orthogonal, {0.0, 0.0, 1.0});
  const Vec3 y = normalize_vector(cross(z, x), {0.0, 1.0, 0.0});
  const Vec3 z_final = normalize_vector(cross(x, y), z);
  return {x[0], y[0], z_final[0], x[1], y[1], z_final[1], x[2], y[2], z_final[2]};
}

}  // namespace kelto::hand
