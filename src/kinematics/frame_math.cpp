#include "kinematics/frame_math.hpp"

#include "kinematics/vec3.hpp"

namespace kelto::hand {
namespace {

constexpr double kMinLength = 1e-9;

using detail::add;
using detail::cross;
using detail::dot;
using detail::Mat3;
using detail::mul;
using detail::norm;
using detail::scaled;
using detail::sub;
using detail::transpose_mul;
using detail::Vec3;

}  // namespace

Vec3 normalize_vector(const Vec3& v, const Vec3& fallback) {
  const double n = norm(v);
  if (n <= kMinLength) return fallback;
  return {v[0] / n, v[1] / n, v[2] / n};
}

Vec3 world_point_to_local(const Vec3& origin, const Mat3& rotation, const Vec3& point) {
  return transpose_mul(rotation, sub(point, origin));
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
  return add(mul(rotation, point), origin);
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
  const Vec3 z_orthogonal = sub(z_hint, scaled(x, along));
  // This fallback is used as it stands, without making it orthogonal to x.
  const Vec3 z = normalize_vector(z_orthogonal, {0.0, 0.0, 1.0});
  const Vec3 y = normalize_vector(cross(z, x), {0.0, 1.0, 0.0});
  const Vec3 z_final = normalize_vector(cross(x, y), z);
  return {x[0], y[0], z_final[0], x[1], y[1], z_final[1], x[2], y[2], z_final[2]};
}

}  // namespace kelto::hand
