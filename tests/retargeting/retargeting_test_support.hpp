// Retargeting test helpers: configurations from YAML text, the bundled hand with its solver and a glove
// that fits its mapping, exception texts, and a small analytic hand with finite-difference Jacobians.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "kinematics/vec3.hpp"
#include "retargeting/pinocchio_gn_solver.hpp"
#include "retargeting/tip_target_frame.hpp"
#include "support/axis_rotation.hpp"
#include "support/test_files.hpp"
#include "synthetic_glove/synthetic_glove.hpp"

namespace kelto::test {

using namespace hand::detail;

// The message of what `call` throws ("out_of_range: " in front for std::out_of_range), or "no exception".
template <typename Call>
std::string error_text(Call&& call) {
  try {
    call();
  } catch (const std::out_of_range& error) {
    return std::string("out_of_range: ") + error.what();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no exception";
}

inline hand::Config config_from_yaml(const std::string& yaml, const std::string& side = "right") {
  TempDir dir;
  return hand::Config::load(write_file(dir / "system.yaml", yaml), "", side);
}
// Tip mapping sections for both sides; `right_body` adds entries to the right one (indented by four).
inline hand::Config tip_config(const std::string& right_body = "") {
  return config_from_yaml("tip_mapping:\n  left: {}\n  right:\n    human_hand_scale: 1.0\n" + right_body);
}
inline std::filesystem::path hand_system_config() {
  return source_dir() / "resources/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml";
}
inline hand::Config hand_config(const std::string& side = "right") {
  return hand::Config::load(hand_system_config(), "", side);
}

// Every field of two target frames agrees.
inline void expect_same_frame(const hand::RetargetTargetFrame& a, const hand::RetargetTargetFrame& b) {
  EXPECT_EQ(a.source, b.source);
  EXPECT_EQ(a.timestamp_s, b.timestamp_s);
  EXPECT_EQ(a.wrist_origin, b.wrist_origin);
  EXPECT_EQ(a.wrist_rotation, b.wrist_rotation);
  EXPECT_EQ(a.target_positions_world, b.target_positions_world);
  EXPECT_EQ(a.target_rotations_world, b.target_rotations_world);
  EXPECT_EQ(a.target_positions, b.target_positions);
  EXPECT_EQ(a.target_rotations, b.target_rotations);
  EXPECT_EQ(a.human_tip_positions, b.human_tip_positions);
  EXPECT_EQ(a.shape_weights, b.shape_weights);
  EXPECT_EQ(a.pinch_vectors, b.pinch_vectors);
  EXPECT_EQ(a.pinch_weights, b.pinch_weights);
  EXPECT_EQ(a.orientation_weights, b.orientation_weights);
  EXPECT_EQ(a.reference_points, b.reference_points);
  EXPECT_EQ(a.reference_weights, b.reference_weights);
  EXPECT_EQ(a.diagnostics, b.diagnostics);
}

// The bundled hand of one side with its solver and a glove that fits its tip mapping.
struct SolverSetup {
  explicit SolverSetup(const hand::Config& c, const std::string& side = "right",
                       hand::synthetic::SyntheticGloveOptions options = {})
      : config(c),
        model(config, side),
        solver(model, config),
        params(hand::TipMappingParameters::from_config(config, side)),
        glove(params, options) {}

  // A uniform random active vector kept `margin` (share of each range) inside the limits.
  std::vector<double> random_active(std::mt19937_64& rng, double margin = 0.05) const {
    std::vector<double> q(model.active_lower().size());
    for (std::size_t i = 0; i < q.size(); ++i) {
      const double lo = model.active_lower()[i], hi = model.active_upper()[i], m = margin * (hi - lo);
      q[i] = std::uniform_real_distribution<double>(lo + m, hi - m)(rng);
    }
    return q;
  }
  bool inside_limits(const std::vector<double>& q) const {
    for (std::size_t i = 0; i < q.size(); ++i)
      if (!(q[i] >= model.active_lower()[i] && q[i] <= model.active_upper()[i])) return false;
    return true;
  }
  // The targets for the glove reading of pose `q_pose`, with the hand at `q_current`.
  hand::RetargetTargetFrame target(const std::vector<double>& q_pose, const std::vector<double>& q_current,
                                   double t = 0.0) {
    const hand::HandKinematicsState state = model.state_from_active(q_current);
    return hand::build_tip_target_frame(glove.frame_from_active(model, q_pose, t), state.wrist_position,
                                        params, state.wrist_rotation);
  }

  hand::Config config;
  hand::PinocchioHandKinematics model;
  hand::PinocchioGNSolver solver;
  hand::TipMappingParameters params;
  hand::synthetic::SyntheticGlove glove;
};

// Three fingers of three joints each on one shared palm joint, behind a tilted wrist.
struct ToyHand {
  static constexpr std::size_t kJoints = 10;
  const std::vector<std::string> fingers{"thumb", "first", "middle"};

  hand::HandKinematicsState state(const std::vector<double>& q) const {
    hand::HandKinematicsState s;
    s.wrist_position = {0.1, -0.2, 0.3};
    s.wrist_rotation = mul(rot(0, 0.4), rot(2, -0.7));
    for (std::size_t k = 0; k < fingers.size(); ++k) {
      const Mat3 local = mul(rot(2, q[0] + q[1 + 3 * k]), mul(rot(1, q[2 + 3 * k]), rot(0, q[3 + 3 * k])));
      const Vec3 tip =
          add({0.02 * k, 0.03 - 0.025 * k, 0.01}, mul(local, Vec3{0.05 + 0.01 * k, 0.004, -0.01}));
      s.tip_positions_wrist[fingers[k]] = tip;
      s.tip_rotations_wrist[fingers[k]] = local;
      s.tip_positions_world[fingers[k]] = add(s.wrist_position, mul(s.wrist_rotation, tip));
      s.tip_rotations_world[fingers[k]] = mul(s.wrist_rotation, local);
    }
    return s;
  }

  // Jacobians by central differences; the angular one from dR/dq R^T, the skew matrix of the velocity.
  hand::HandKinematicsLinearization linearize(const std::vector<double>& q) const {
    const hand::HandKinematicsState s = state(q);
    hand::HandKinematicsLinearization lin{s.wrist_position,
                                          s.wrist_rotation,
                                          s.tip_positions_wrist,
                                          s.tip_rotations_wrist,
                                          s.tip_positions_world,
                                          s.tip_rotations_world,
                                          {},
                                          {}};
    const std::size_t n = q.size();
    const double h = 1e-6;
    for (const std::string& f : fingers) {
      lin.tip_position_jacobians[f] = lin.tip_angular_jacobians[f] = {3, n, std::vector<double>(3 * n)};
      for (std::size_t i = 0; i < n; ++i) {
        std::vector<double> qp = q, qm = q;
        qp[i] += h;
        qm[i] -= h;
        const hand::HandKinematicsState sp = state(qp), sm = state(qm);
        const Mat3 d = mul(sp.tip_rotations_world.at(f), transpose(s.tip_rotations_world.at(f))),
                   e = mul(sm.tip_rotations_world.at(f), transpose(s.tip_rotations_world.at(f)));
        const Vec3 omega{(d[7] - d[5] - e[7] + e[5]) / (4 * h), (d[2] - d[6] - e[2] + e[6]) / (4 * h),
                         (d[3] - d[1] - e[3] + e[1]) / (4 * h)};
        for (int r = 0; r < 3; ++r) {
          lin.tip_position_jacobians[f].data[r * n + i] =
              (sp.tip_positions_wrist.at(f)[r] - sm.tip_positions_wrist.at(f)[r]) / (2 * h);
          lin.tip_angular_jacobians[f].data[r * n + i] = omega[r];
        }
      }
    }
    return lin;
  }
};

}  // namespace kelto::test
