// Moving points and rotations between frames. Rotations are row-major 3x3 matrices whose columns are the
// frame's x, y and z axes in the parent frame; a local point p lies at R*p + origin in the parent.
#pragma once

#include <array>

namespace kelto::hand {

// v / |v|, or `fallback` unchanged when |v| <= 1e-9.
std::array<double, 3> normalize_vector(const std::array<double, 3>& v, const std::array<double, 3>& fallback);

// R^T * (point - origin).
std::array<double, 3> world_point_to_local(const std::array<double, 3>& origin,
                                           const std::array<double, 9>& rotation,
                                           const std::array<double, 3>& point);

// B^T * R.
std::array<double, 9> world_rotation_to_local(const std::array<double, 9>& base_rotation,
                                              const std::array<double, 9>& rotation);

// R * point + origin.
std::array<double, 3> local_point_to_world(const std::array<double, 3>& point,
                                           const std::array<double, 3>& origin,
                                           const std::array<double, 9>& rotation);

// B * L.
std::array<double, 9> local_rotation_to_world(const std::array<double, 9>& local_rotation,
                                              const std::array<double, 9>& base_rotation);

// An orthonormal rotation whose x axis follows `x_hint` exactly and whose z axis follows `z_hint` as
// closely as orthogonality allows. Degenerate hints fall back to the unit axes.
std::array<double, 9> build_rotation_from_xz(const std::array<double, 3>& x_hint,
                                             const std::array<double, 3>& z_hint);

}  // namespace kelto::hand
