// Checks of the model's fingertip Jacobians against central differences of its forward kinematics.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kinematics/pinocchio_hand_kinematics.hpp"

namespace kelto::test {

using hand::DenseMatrix;
using hand::HandKinematicsLinearization;
using hand::HandKinematicsState;
using hand::PinocchioHandKinematics;
using Vec = std::vector<double>;

inline Vec random_inside(const PinocchioHandKinematics& model, std::mt19937& rng) {
  Vec q;
  for (std::size_t k = 0; k < model.active_lower().size(); ++k) {
    const double lo = model.active_lower()[k], hi = model.active_upper()[k];
    const double margin = 0.05 * (hi - lo);
    q.push_back(std::uniform_real_distribution<double>(lo + margin, hi - margin)(rng));
  }
  return q;
}

// Checks both fingertip Jacobians of `model` at `q` against central differences of state_from_active.
inline void expect_jacobians_match_differences(PinocchioHandKinematics& model, const Vec& q,
                                               double tolerance = 1e-6) {
  const HandKinematicsLinearization lin = model.linearized_state_from_active(q);
  const double h = 1e-6;
  for (const auto& [finger, position_jacobian] : lin.tip_position_jacobians) {
    const DenseMatrix& angular_jacobian = lin.tip_angular_jacobians.at(finger);
    ASSERT_EQ(position_jacobian.rows, 3u);
    ASSERT_EQ(position_jacobian.cols, q.size());
    ASSERT_EQ(angular_jacobian.cols, q.size());
    for (std::size_t k = 0; k < q.size(); ++k) {
      Vec plus = q, minus = q;
      plus[k] += h;
      minus[k] -= h;
      const HandKinematicsState sp = model.state_from_active(plus);
      const HandKinematicsState sm = model.state_from_active(minus);
      const auto& pp = sp.tip_positions_wrist.at(finger);
      const auto& pm = sm.tip_positions_wrist.at(finger);
      const auto& rp = sp.tip_rotations_world.at(finger);
      const auto& rm = sm.tip_rotations_world.at(finger);
      const auto& r0 = lin.tip_rotations_world.at(finger);
      // dR/dq · Rᵀ is the skew matrix of the world angular velocity per unit joint motion.
      double skew[9];
      for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
          double s = 0.0;
          for (int m = 0; m < 3; ++m) s += (rp[3 * i + m] - rm[3 * i + m]) / (2 * h) * r0[3 * j + m];
          skew[3 * i + j] = s;
        }
      }
      const double omega[3] = {skew[7], skew[2], skew[3]};
      for (int axis = 0; axis < 3; ++axis) {
        EXPECT_NEAR(position_jacobian.data[axis * q.size() + k], (pp[axis] - pm[axis]) / (2 * h), tolerance)
            << finger << " position row " << axis << " joint " << k;
        EXPECT_NEAR(angular_jacobian.data[axis * q.size() + k], omega[axis], tolerance)
            << finger << " angular row " << axis << " joint " << k;
      }
    }
  }
}

}  // namespace kelto::test
