#include "retargeting/pinocchio_gn_solver.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "model_fixture.hpp"
#include "retargeting_test_support.hpp"
#include "synthetic_glove/synthetic_glove.hpp"

namespace kelto::hand {
namespace {

using test::expect_error;
using test::hand_config;
using Vec3 = std::array<double, 3>;

// Switches off every refinement that moves targets away from where the glove put them, and tightens the
// cost tolerance: with the default (1e-4) a step must gain more than the whole cost of a few millimetres
// of fingertip error, so the solver stops well before sub-millimetre accuracy.
Config exact_mapping_config(const std::string& side) {
  Config config = hand_config(side);
  config.set_boolean("tip_mapping." + side + ".pinch_model.enabled", false);
  config.set_number("solver.optimizer.ftol", 1e-9);
  return config;
}

RetargetTargetFrame target_for(PinocchioHandKinematics& model, const TipMappingParameters& params,
                               const GloveFeatureFrame& glove, const std::vector<double>& q_current) {
  const HandKinematicsState state = model.state_from_active(q_current);
  return build_tip_target_frame(glove, state.wrist_position, params, state.wrist_rotation);
}

double worst_tip_error(const HandKinematicsState& state, const RetargetTargetFrame& target) {
  double worst = 0.0;
  for (const auto& [finger, t] : target.target_positions) {
    const Vec3& p = state.tip_positions_wrist.at(finger);
    worst = std::max(worst, std::hypot(p[0] - t[0], p[1] - t[1], p[2] - t[2]));
  }
  return worst;
}

bool inside_limits(const PinocchioHandKinematics& model, const std::vector<double>& q) {
  for (std::size_t i = 0; i < q.size(); ++i) {
    if (!(q[i] >= model.active_lower()[i] && q[i] <= model.active_upper()[i])) return false;
  }
  return true;
}

TEST(PinocchioGNSolver, ReachesSyntheticGlovePosesOfBothHands) {
  for (const std::string side : {"right", "left"}) {
    const Config config = exact_mapping_config(side);
    PinocchioHandKinematics model(config, side);
    PinocchioGNSolver solver(model, config);
    const TipMappingParameters params = TipMappingParameters::from_config(config, side);
    synthetic::SyntheticGlove glove(params);
    std::mt19937_64 rng(side == "right" ? 11 : 12);
    for (int pose = 0; pose < 25; ++pose) {
      const std::vector<double> q_true = test::random_active(model, rng);
      const GloveFeatureFrame frame = glove.frame_from_active(model, q_true);
      std::vector<double> q = model.q_rest_active();
      double error = 1.0;
      int frames = 0;
      while (frames < 10 && error > 0.002) {
        const RetargetTargetFrame target = target_for(model, params, frame, q);
        const RetargetSolveOutcome outcome = solver.solve(target, q);
        ASSERT_TRUE(inside_limits(model, outcome.q));
        q = outcome.q;
        error = worst_tip_error(outcome.state, target);
        ++frames;
      }
      EXPECT_LE(error, 0.002) << side << " pose " << pose;
    }
  }
}

// A smooth motion through the joint space, each joint on its own sine.
std::vector<double> moving_pose(const PinocchioHandKinematics& model, double t) {
  std::vector<double> q(model.active_lower().size());
  for (std::size_t i = 0; i < q.size(); ++i) {
    const double lo = model.active_lower()[i], hi = model.active_upper()[i];
    const double mid = 0.5 * (lo + hi), amplitude = 0.4 * (hi - lo);
    q[i] = mid + amplitude * std::sin(2.0 * M_PI * (0.3 + 0.07 * i) * t + 0.9 * i);
  }
  return q;
}

// Tracks a moving glove at 60 Hz with the shipped configuration, pinch model included. The fingertip
// error is measured against the targets the solver was given.
TEST(PinocchioGNSolver, TracksAMovingHandWithTheDefaultConfiguration) {
  const Config config = hand_config("right");
  PinocchioHandKinematics model(config, "right");
  PinocchioGNSolver solver(model, config);
  const TipMappingParameters params = TipMappingParameters::from_config(config, "right");
  synthetic::SyntheticGlove glove(params);
  std::vector<double> q = model.q_rest_active();
  std::vector<double> errors;
  double iterations = 0.0;
  for (int frame = 0; frame < 600; ++frame) {
    const double t = frame / 60.0;
    const RetargetTargetFrame target =
        target_for(model, params, glove.frame_from_active(model, moving_pose(model, t), t), q);
    const RetargetSolveOutcome outcome = solver.solve(target, q);
    q = outcome.q;
    iterations += static_cast<double>(outcome.iterations);
    if (frame >= 30) errors.push_back(worst_tip_error(outcome.state, target));
  }
  std::sort(errors.begin(), errors.end());
  const double median = errors[errors.size() / 2], p95 = errors[errors.size() * 95 / 100],
               worst = errors.back();
  double mean = 0.0;
  for (double e : errors) mean += e / static_cast<double>(errors.size());
  RecordProperty("worst_tip_error_median_mm", std::to_string(median * 1e3));
  std::printf(
      "worst fingertip error per frame: mean %.2f mm, median %.2f mm, p95 %.2f mm, max %.2f mm; %.2f "
      "iterations\n",
      mean * 1e3, median * 1e3, p95 * 1e3, worst * 1e3, iterations / 600.0);
  EXPECT_LT(median, 0.006);
}

TEST(PinocchioGNSolver, JacobianOfTheModelObjectiveMatchesFiniteDifferences) {
  Config config = hand_config("right");
  config.set_number("solver.weights.pinch_pad_alignment", 3.0);
  config.set_number("solver.weights.orientation_axis_weights.y", 0.5);
  config.set_number("solver.weights.orientation_axis_weights.z", 2.0);
  PinocchioHandKinematics model(config, "right");
  PinocchioGNSolver solver(model, config);
  const TipMappingParameters params = TipMappingParameters::from_config(config, "right");
  synthetic::SyntheticGlove glove(params);
  std::mt19937_64 rng(5);
  // A pinch between thumb and index finger, away from every joint limit.
  std::vector<double> q_pose = test::random_active(model, rng, 0.2);
  const GloveFeatureFrame frame = glove.frame_from_active(model, q_pose);
  std::vector<double> q = test::random_active(model, rng, 0.2);
  RetargetTargetFrame target = target_for(model, params, frame, q);
  target.pinch_vectors["first"] = {0.01, 0.0, 0.02};
  target.pinch_weights["first"] = 0.6;
  target.diagnostics["pinch_strongest_partner"] = std::string("first");
  const std::vector<double> q_prev = model.q_rest_active();

  const RetargetObjective& objective = solver.objective();
  const ObjectiveLinearization lin =
      objective.linearized_residual_and_jacobian(model.linearized_state_from_active(q), target, q, q_prev);
  const double h = 1e-6;
  for (std::size_t i = 0; i < q.size(); ++i) {
    std::vector<double> qp = q, qm = q;
    qp[i] += h;
    qm[i] -= h;
    const auto rp = objective.linearized_residual_and_jacobian(model.linearized_state_from_active(qp), target,
                                                               qp, q_prev);
    const auto rm = objective.linearized_residual_and_jacobian(model.linearized_state_from_active(qm), target,
                                                               qm, q_prev);
    for (std::size_t r = 0; r < lin.residual.size(); ++r) {
      EXPECT_NEAR(lin.jacobian.data[r * q.size() + i], (rp.residual[r] - rm.residual[r]) / (2 * h), 1e-6)
          << "row " << r << " joint " << model.active_joint_names()[i];
    }
  }
  double lin_cost = 0.0, terms_cost = 0.0;
  for (double v : lin.residual) lin_cost += 0.5 * v * v;
  for (double v : objective.residual_terms(model.state_from_active(q), target, q, q_prev).concatenated()) {
    terms_cost += 0.5 * v * v;
  }
  EXPECT_NEAR(lin_cost, terms_cost, 1e-12);
}

TEST(PinocchioGNSolver, ReadsAndClampsItsSettings) {
  struct Case {
    std::string yaml;
    std::uint64_t iters;
    std::vector<double> scales;
  };
  const std::vector<double> defaults{1.0, 0.5, 0.25, 0.125, 0.0625};
  const std::vector<Case> cases = {
      {"gn_max_iters: 0\n      gn_step_scales: [-1, 0]", 1, defaults},
      {"gn_max_iters: 1.9\n      gn_step_scales: [0.5, -1, 0.25]", 1, {0.5, 0.25}},
      {"gn_max_iters: 3.7\n      gn_step_scales: []", 3, defaults},
  };
  const Config base = hand_config("right");
  PinocchioHandKinematics model(base, "right");
  for (const Case& c : cases) {
    test::TempDir dir;
    const auto path =
        test::write_file(dir / "s.yaml", "extends: " + test::hand_system_config().string() +
                                             "\nsolver:\n  optimizer:\n      " + c.yaml +
                                             "\n      gn_damping: 0\n      gn_damping_growth: 1\n"
                                             "      gn_damping_shrink: 2\n");
    const PinocchioGNSolver solver(model, Config::load(path, "", "right"));
    EXPECT_EQ(solver.gn_max_iters(), c.iters) << c.yaml;
    EXPECT_EQ(solver.gn_step_scales(), c.scales) << c.yaml;
    EXPECT_EQ(solver.gn_damping(), 1e-9);
    EXPECT_EQ(solver.gn_damping_growth(), 1.1);
    EXPECT_EQ(solver.gn_damping_shrink(), 1.0);
  }
}

TEST(PinocchioGNSolver, StartAtTheOptimumStopsAfterOneIteration) {
  Config config = exact_mapping_config("right");
  config.set_number("solver.joint_regularization.default_weight", 0.0);
  PinocchioHandKinematics model(config, "right");
  PinocchioGNSolver solver(model, config);
  const TipMappingParameters params = TipMappingParameters::from_config(config, "right");
  synthetic::SyntheticGlove glove(params);
  std::mt19937_64 rng(3);
  const std::vector<double> q_true = test::random_active(model, rng);
  const RetargetTargetFrame target =
      target_for(model, params, glove.frame_from_active(model, q_true), q_true);
  const RetargetSolveOutcome outcome = solver.solve(target, q_true, q_true);
  EXPECT_EQ(outcome.iterations, 1u);
  EXPECT_EQ(outcome.q, q_true);
}

// Steps too small to move any joint are rejected; the damping then grows tenfold per iteration from 1e-4
// and the solve ends once it passes 1e6, on the eleventh iteration.
TEST(PinocchioGNSolver, EndsWhenNoStepMoves) {
  Config config = hand_config("right");
  config.set_numbers("solver.optimizer.gn_step_scales", {1e-12});
  config.set_number("solver.optimizer.gn_max_iters", 50);
  PinocchioHandKinematics model(config, "right");
  PinocchioGNSolver solver(model, config);
  const TipMappingParameters params = TipMappingParameters::from_config(config, "right");
  synthetic::SyntheticGlove glove(params);
  std::mt19937_64 rng(17);
  const std::vector<double> start = test::random_active(model, rng);
  const RetargetTargetFrame target =
      target_for(model, params, glove.frame_from_active(model, test::random_active(model, rng)), start);
  const RetargetSolveOutcome outcome = solver.solve(target, start);
  EXPECT_EQ(outcome.iterations, 11u);
  EXPECT_EQ(outcome.q, start);
}

TEST(PinocchioGNSolver, ResultStaysInsideTheLimits) {
  const Config config = hand_config("right");
  PinocchioHandKinematics model(config, "right");
  PinocchioGNSolver solver(model, config);
  const TipMappingParameters params = TipMappingParameters::from_config(config, "right");
  synthetic::SyntheticGloveOptions far;
  far.human_hand_scale = 0.4;  // a glove on a huge hand: targets far beyond reach
  synthetic::SyntheticGlove glove(params, far);
  std::mt19937_64 rng(8);
  for (int k = 0; k < 6; ++k) {
    std::vector<double> start = test::random_active(model, rng, 0.0);
    for (std::size_t i = 0; i < start.size(); ++i) start[i] += (i % 2 ? 1.0 : -1.0) * 0.7;  // outside
    const RetargetTargetFrame target =
        target_for(model, params, glove.frame_from_active(model, test::random_active(model, rng)), start);
    const RetargetSolveOutcome outcome = solver.solve(target, model.q_rest_active(), start);
    EXPECT_TRUE(inside_limits(model, outcome.q));
    EXPECT_GE(outcome.iterations, 1u);
  }
  expect_error<std::runtime_error>([&] { solver.solve(RetargetTargetFrame{}, {0.0}); },
                                   "Solver previous joint vector has the wrong size");
  expect_error<std::runtime_error>(
      [&] { solver.solve(RetargetTargetFrame{}, model.q_rest_active(), std::vector<double>{0.0}); },
      "Solver initial joint vector has the wrong size");
}

TEST(PinocchioGNSolver, CoarseSeedMovesOnlyItsJointsAndCapsTheStep) {
  Config config = exact_mapping_config("right");
  config.set_boolean("solver.coarse_to_fine.enabled", true);
  config.set_strings("solver.coarse_to_fine.variable_joint_names",
                     {"thumb_cmc_abduction", "left_thumb_cmc_flexion", "right_thumb_mcp_flexion"});
  config.set_strings("solver.coarse_to_fine.reset_to_rest_joint_names", {"thumb_ip_flexion"});
  config.set_number("solver.coarse_to_fine.max_step_rad", 0.05);
  config.set_number("solver.coarse_to_fine.max_iters", 1);
  PinocchioHandKinematics model(config, "right");
  PinocchioGNSolver solver(model, config);
  const std::vector<std::string>& names = model.active_joint_names();
  auto position = [&names](const std::string& name) {
    return static_cast<std::uint64_t>(std::find(names.begin(), names.end(), name) - names.begin());
  };
  const std::vector<std::uint64_t> vars{position("right_thumb_cmc_abduction"),
                                        position("right_thumb_cmc_flexion"),
                                        position("right_thumb_mcp_flexion")};
  ASSERT_EQ(solver.coarse_variable_joints(), vars);
  const std::uint64_t reset = position("right_thumb_ip_flexion");

  const TipMappingParameters params = TipMappingParameters::from_config(config, "right");
  synthetic::SyntheticGlove glove(params);
  std::mt19937_64 rng(21);
  const std::vector<double> q_prev = test::random_active(model, rng);
  const RetargetTargetFrame target =
      target_for(model, params, glove.frame_from_active(model, test::random_active(model, rng)), q_prev);
  const std::vector<double> seed = solver.coarse_seed(target, q_prev);
  double largest = 0.0;
  for (std::size_t i = 0; i < seed.size(); ++i) {
    const bool variable = std::find(vars.begin(), vars.end(), i) != vars.end();
    if (i == reset) {
      EXPECT_EQ(seed[i], model.q_rest_active()[i]);
    } else if (!variable) {
      EXPECT_EQ(seed[i], q_prev[i]) << names[i];
    } else {
      largest = std::max(largest, std::abs(seed[i] - q_prev[i]));
    }
  }
  EXPECT_GT(largest, 0.0);
  EXPECT_LE(largest, 0.05 + 1e-12);

  // Without variable joints the seed is q_prev itself, reset list and all.
  config.remove("solver.coarse_to_fine.variable_joint_names");
  PinocchioGNSolver plain(model, config);
  EXPECT_EQ(plain.coarse_seed(target, q_prev), q_prev);

  config.set_strings("solver.coarse_to_fine.variable_joint_names", {"thumb_elbow"});
  expect_error<std::runtime_error>(
      [&] { PinocchioGNSolver(model, config); },
      "solver.coarse_to_fine.variable_joint_names references unknown active joint: "
      "thumb_elbow");
}

}  // namespace
}  // namespace kelto::hand
