// A small analytic hand for objective tests: three fingers of three joints each on one shared palm joint,
// with a tilted wrist. Its Jacobians come from central differences, so they are independent of the model
// code under test.
#pragma once

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "kinematics/kinematics_types.hpp"

namespace kelto::test {

class ToyHand {
 public:
  static constexpr std::size_t kJoints = 10;
  const std::vector<std::string> fingers{"thumb", "first", "middle"};

  hand::HandKinematicsState state(const std::vector<double>& q) const {
    hand::HandKinematicsState s;
    s.wrist_position = {0.1, -0.2, 0.3};
    s.wrist_rotation = wrist();
    for (std::size_t k = 0; k < fingers.size(); ++k) {
      const Mat3 local = mul(rot(2, q[0] + q[1 + 3 * k]), mul(rot(1, q[2 + 3 * k]), rot(0, q[3 + 3 * k])));
      const Vec3 base{0.02 * k, 0.03 - 0.025 * k, 0.01};
      const Vec3 length{0.05 + 0.01 * k, 0.004, -0.01};
      const Vec3 tip = add(base, mul(local, length));
      const std::string& f = fingers[k];
      s.tip_positions_wrist[f] = tip;
      s.tip_rotations_wrist[f] = local;
      s.tip_positions_world[f] = add(s.wrist_position, mul(s.wrist_rotation, tip));
      s.tip_rotations_world[f] = mul(s.wrist_rotation, local);
    }
    return s;
  }

  hand::HandKinematicsLinearization linearize(const std::vector<double>& q) const {
    const hand::HandKinematicsState s = state(q);
    hand::HandKinematicsLinearization lin;
    lin.wrist_position = s.wrist_position;
    lin.wrist_rotation = s.wrist_rotation;
    lin.tip_positions_wrist = s.tip_positions_wrist;
    lin.tip_rotations_wrist = s.tip_rotations_wrist;
    lin.tip_positions_world = s.tip_positions_world;
    lin.tip_rotations_world = s.tip_rotations_world;
    const double h = 1e-6;
    for (const std::string& f : fingers) {
      lin.tip_position_jacobians[f] = {3, q.size(), std::vector<double>(3 * q.size())};
      lin.tip_angular_jacobians[f] = {3, q.size(), std::vector<double>(3 * q.size())};
    }
    for (std::size_t i = 0; i < q.size(); ++i) {
      std::vector<double> qp = q, qm = q;
      qp[i] += h;
      qm[i] -= h;
      const hand::HandKinematicsState sp = state(qp), sm = state(qm);
      for (const std::string& f : fingers) {
        const Vec3& pp = sp.tip_positions_wrist.at(f);
        const Vec3& pm = sm.tip_positions_wrist.at(f);
        const Mat3& Rp = sp.tip_rotations_world.at(f);
        const Mat3& Rm = sm.tip_rotations_world.at(f);
        const Mat3& R = s.tip_rotations_world.at(f);
        // dR/dq * R^T is the skew matrix of the angular velocity.
        Mat3 dR{};
        for (int e = 0; e < 9; ++e) dR[e] = (Rp[e] - Rm[e]) / (2 * h);
        const Mat3 skew = mul(dR, transpose(R));
        const Vec3 omega{0.5 * (skew[7] - skew[5]), 0.5 * (skew[2] - skew[6]), 0.5 * (skew[3] - skew[1])};
        for (int r = 0; r < 3; ++r) {
          lin.tip_position_jacobians[f].data[r * q.size() + i] = (pp[r] - pm[r]) / (2 * h);
          lin.tip_angular_jacobians[f].data[r * q.size() + i] = omega[r];
        }
      }
    }
    return lin;
  }

 private:
  using Vec3 = std::array<double, 3>;
  using Mat3 = std::array<double, 9>;

  static Mat3 wrist() { return mul(rot(0, 0.4), rot(2, -0.7)); }
  static Mat3 rot(int axis, double a) {
    const double c = std::cos(a), s = std::sin(a);
    if (axis == 0) return {1, 0, 0, 0, c, -s, 0, s, c};
    if (axis == 1) return {c, 0, s, 0, 1, 0, -s, 0, c};
    return {c, -s, 0, s, c, 0, 0, 0, 1};
  }
  static Mat3 mul(const Mat3& a, const Mat3& b) {
    Mat3 out{};
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c)
        out[3 * r + c] = a[3 * r] * b[c] + a[3 * r + 1] * b[3 + c] + a[3 * r + 2] * b[6 + c];
    return out;
  }
  static Vec3 mul(const Mat3& m, const Vec3& v) {
    return {m[0] * v[0] + m[1] * v[1] + m[2] * v[2], m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
            m[6] * v[0] + m[7] * v[1] + m[8] * v[2]};
  }
  static Vec3 add(const Vec3& a, const Vec3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
  static Mat3 transpose(const Mat3& m) { return {m[0], m[3], m[6], m[1], m[4], m[7], m[2], m[5], m[8]}; }
};

}  // namespace kelto::test
