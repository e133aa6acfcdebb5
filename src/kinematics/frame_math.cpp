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
using detail::transpose;
using detail::transpose_mul;
using detail::Vec3;

// The frame products' entries are sums started from +0.0: adding +0.0 turns an entry of -0.0 (every
// product in it -0.0) into +0.0 and leaves every other value as the sum without the start gave it. A
// rotation entry that is zero so always reads +0.0, whatever signs the zeros of the inputs carry.
Mat3 from_positive_zero(Mat3 m) {
  for (double& entry : m) entry = 0.0 + entry;
  return m;
}

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
  return from_positive_zero(mul(transpose(base_rotation), rotation));
}

Vec3 local_point_to_world(const Vec3& point, const Vec3& origin, const Mat3& rotation) {
  return add(mul(rotation, point), origin);
}

Mat3 local_rotation_to_world(const Mat3& local_rotation, const Mat3& base_rotation) {
  return from_positive_zero(mul(base_rotation, local_rotation));
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
