// The Gauss-Newton solver on the bundled hand: round trips of random reachable poses on both hands, a
// moving hand with the shipped configuration, step-scale parsing, the limits and the coarse seed.
#include "retargeting/pinocchio_gn_solver.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "retargeting_test_support.hpp"

namespace kelto::hand {
namespace {

using test::SolverSetup;

// Every refinement that moves targets away from the glove's reading switched off, and a tighter cost
// tolerance: with the default a step must gain more than the cost of a few millimetres of tip error.
Config exact_mapping_config(const std::string& side = "right") {
  Config config = test::hand_config(side);
  config.set_boolean("tip_mapping." + side + ".pinch_model.enabled", false);
  config.set_number("solver.optimizer.ftol", 1e-9);
  return config;
}

double worst_tip_error(const HandKinematicsState& state, const RetargetTargetFrame& target) {
  double worst = 0.0;
  for (const auto& [finger, t] : target.target_positions)
    worst = std::max(worst, test::norm(test::sub(state.tip_positions_wrist.at(finger), t)));
  return worst;
}

// Solved repeatedly from the previous solution, starting at rest, every pose is reached within 2 mm in at
// most 10 frames, and no solution leaves the limits.
TEST(PinocchioGNSolver, ReachesRandomPosesOfBothHands) {
  for (const std::string side : {"right", "left"}) {
    SolverSetup s(exact_mapping_config(side), side);
    std::mt19937_64 rng(side == "right" ? 11 : 12);
    for (int pose = 0; pose < 25; ++pose) {
      const std::vector<double> q_true = s.random_active(rng);
      std::vector<double> q = s.model.q_rest_active();
      double error = 1.0;
      for (int frame = 0; frame < 10 && error > 0.002; ++frame) {
        const RetargetTargetFrame target = s.target(q_true, q);
        const RetargetSolveOutcome outcome = s.solver.solve(target, q);
        ASSERT_TRUE(s.inside_limits(outcome.q));
        q = outcome.q;
        error = worst_tip_error(outcome.state, target);
      }
      EXPECT_LE(error, 0.002) << side << " pose " << pose;
    }
  }
}

// A glove at 60 Hz through a smooth motion (each joint on its own sine) with the shipped configuration,
// pinch model included; the error is measured against the targets the solver was given.
TEST(PinocchioGNSolver, TracksAMovingHandWithTheDefaultConfiguration) {
  SolverSetup s(test::hand_config());
  std::vector<double> q = s.model.q_rest_active(), errors;
  for (int frame = 0; frame < 600; ++frame) {
    const double t = frame / 60.0;
    std::vector<double> pose(q.size());
    for (std::size_t i = 0; i < q.size(); ++i) {
      const double lo = s.model.active_lower()[i], hi = s.model.active_upper()[i];
      pose[i] = 0.5 * (lo + hi) + 0.4 * (hi - lo) * std::sin(2.0 * M_PI * (0.3 + 0.07 * i) * t + 0.9 * i);
    }
    const RetargetTargetFrame target = s.target(pose, q, t);
    const RetargetSolveOutcome outcome = s.solver.solve(target, q);
    q = outcome.q;
    if (frame >= 30) errors.push_back(worst_tip_error(outcome.state, target));
  }
  std::sort(errors.begin(), errors.end());
  const double median = errors[errors.size() / 2];
  std::printf("worst fingertip error per frame: median %.2f mm, p95 %.2f mm, max %.2f mm\n", median * 1e3,
              errors[errors.size() * 95 / 100] * 1e3, errors.back() * 1e3);
  EXPECT_LT(median, 0.006);
}

// Non-positive step scales are dropped, none left means the defaults; iterations are floored, at least 1.
// Starts outside the limits, towards targets out of reach (a glove on a huge hand), come back inside.
TEST(PinocchioGNSolver, StepScalesAndLimits) {
  const std::vector<double> defaults{1.0, 0.5, 0.25, 0.125, 0.0625};
  PinocchioHandKinematics model(test::hand_config(), "right");
  for (const auto& [yaml, iters, scales] : std::vector<std::tuple<std::string, int, std::vector<double>>>{
           {"gn_max_iters: 0, gn_step_scales: [-1, 0]", 1, defaults},
           {"gn_max_iters: 1.9, gn_step_scales: [0.5, -1, 0.25]", 1, {0.5, 0.25}},
           {"gn_max_iters: 3.7, gn_step_scales: []", 3, defaults}}) {
    const PinocchioGNSolver solver(model,
                                   test::config_from_yaml("extends: " + test::hand_system_config().string() +
                                                          "\nsolver: {optimizer: {" + yaml + "}}\n"));
    EXPECT_EQ(solver.gn_max_iters(), static_cast<std::uint64_t>(iters)) << yaml;
    EXPECT_EQ(solver.gn_step_scales(), scales) << yaml;
  }

  synthetic::SyntheticGloveOptions far;
  far.human_hand_scale = 0.4;
  SolverSetup s(test::hand_config(), "right", far);
  std::mt19937_64 rng(3);
  for (int k = 0; k < 6; ++k) {
    std::vector<double> outside = s.random_active(rng, 0.0);
    for (std::size_t i = 0; i < outside.size(); ++i) outside[i] += (i % 2 ? 1.0 : -1.0) * 0.7;
    const RetargetSolveOutcome outcome =
        s.solver.solve(s.target(s.random_active(rng), outside), s.model.q_rest_active(), outside);
    EXPECT_TRUE(s.inside_limits(outcome.q));
  }
}

// The coarse seed moves only its variable joints, by at most max_step_rad each, and resets its reset list
// to rest; names match with or without a side prefix.
TEST(PinocchioGNSolver, CoarseSeedMovesOnlyItsJointsAndCapsTheStep) {
  Config config = exact_mapping_config();
  config.set_boolean("solver.coarse_to_fine.enabled", true);
  config.set_strings("solver.coarse_to_fine.variable_joint_names",
                     {"thumb_cmc_abduction", "left_thumb_cmc_flexion", "right_thumb_mcp_flexion"});
  config.set_strings("solver.coarse_to_fine.reset_to_rest_joint_names", {"thumb_ip_flexion"});
  config.set_number("solver.coarse_to_fine.max_step_rad", 0.05);
  config.set_number("solver.coarse_to_fine.max_iters", 1);
  SolverSetup s(config);
  const std::vector<std::string>& names = s.model.active_joint_names();
  auto position = [&names](const std::string& name) {
    return static_cast<std::uint64_t>(std::find(names.begin(), names.end(), "right_" + name) - names.begin());
  };
  const std::vector<std::uint64_t> vars{position("thumb_cmc_abduction"), position("thumb_cmc_flexion"),
                                        position("thumb_mcp_flexion")};
  ASSERT_EQ(s.solver.coarse_variable_joints(), vars);
  std::mt19937_64 rng(21);
  const std::vector<double> q_prev = s.random_active(rng);
  const RetargetTargetFrame target = s.target(s.random_active(rng), q_prev);
  const std::vector<double> seed = s.solver.coarse_seed(target, q_prev);
  double largest = 0.0;
  for (std::size_t i = 0; i < seed.size(); ++i) {
    if (i == position("thumb_ip_flexion")) {
      EXPECT_EQ(seed[i], s.model.q_rest_active()[i]);
    } else if (std::find(vars.begin(), vars.end(), i) == vars.end()) {
      EXPECT_EQ(seed[i], q_prev[i]) << names[i];
    } else {
      largest = std::max(largest, std::abs(seed[i] - q_prev[i]));
    }
  }
  EXPECT_GT(largest, 0.0);
  EXPECT_LE(largest, 0.05 + 1e-12);
  // With no tip axis held, the coarse finger's rotations are not needed.
  Config no_axes = config;
  for (const char* axis : {"x", "y", "z"})
    no_axes.set_number(std::string("solver.weights.orientation_axis_weights.") + axis, 0.0);
  RetargetTargetFrame no_rotation = target;
  no_rotation.target_rotations.erase("thumb");
  EXPECT_NO_THROW(PinocchioGNSolver(s.model, no_axes).coarse_seed(no_rotation, q_prev));
  // Without variable joints the seed is q_prev itself, reset list and all.
  config.remove("solver.coarse_to_fine.variable_joint_names");
  EXPECT_EQ(PinocchioGNSolver(s.model, config).coarse_seed(target, q_prev), q_prev);
}

}  // namespace
}  // namespace kelto::hand
