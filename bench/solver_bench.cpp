// Time per solve of one hand at the shipped configuration, on a smooth moving glove sequence with each
// solve warm-started from the previous frame's result.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "moving_hand.hpp"
#include "retargeting/pinocchio_gn_solver.hpp"
#include "retargeting/tip_mapping_parameters.hpp"
#include "retargeting/tip_target_frame.hpp"
#include "synthetic_glove/synthetic_glove.hpp"

namespace {

using namespace kelto::hand;

using bench::moving_pose;

void BM_Solve(benchmark::State& state) {
  const std::string side = "right";
  const Config config = Config::load(
      std::string(KELTO_SOURCE_DIR) + "/resources/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml",
      "", side);
  PinocchioHandKinematics model(config, side);
  PinocchioGNSolver solver(model, config);
  const TipMappingParameters params = TipMappingParameters::from_config(config, side);
  synthetic::SyntheticGlove glove(params);

  // Targets of a 10 s sequence at 60 Hz, prepared outside the timed loop. The wrist of the model does not
  // move with the finger joints, so the rest pose gives the wrist pose of every frame.
  constexpr int kFrames = 600;
  const HandKinematicsState rest = model.state_from_active(model.q_rest_active());
  std::vector<RetargetTargetFrame> targets;
  for (int k = 0; k < kFrames; ++k) {
    const GloveFeatureFrame frame = glove.frame_from_active(model, moving_pose(model, k / 60.0), k / 60.0);
    targets.push_back(build_tip_target_frame(frame, rest.wrist_position, params, rest.wrist_rotation));
  }

  std::vector<double> q = model.q_rest_active();
  double iterations = 0.0, error_sum = 0.0;
  std::int64_t solves = 0;
  int k = 0;
  for (auto _ : state) {
    const RetargetTargetFrame& target = targets[k];
    RetargetSolveOutcome outcome = solver.solve(target, q);
    q = std::move(outcome.q);
    iterations += static_cast<double>(outcome.iterations);
    double worst = 0.0;
    for (const auto& [finger, t] : target.target_positions) {
      const auto& p = outcome.state.tip_positions_wrist.at(finger);
      worst = std::max(worst, std::hypot(p[0] - t[0], p[1] - t[1], p[2] - t[2]));
    }
    error_sum += worst;
    ++solves;
    k = (k + 1) % kFrames;
  }
  state.counters["iterations"] = benchmark::Counter(iterations / static_cast<double>(solves));
  state.counters["worst_tip_error_mm"] = benchmark::Counter(1e3 * error_sum / static_cast<double>(solves));
}
BENCHMARK(BM_Solve)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

// The pieces of one Gauss-Newton iteration, for reading the solve time above.
void BM_IterationParts(benchmark::State& state) {
  const Config config = Config::load(
      std::string(KELTO_SOURCE_DIR) + "/resources/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml",
      "", "right");
  PinocchioHandKinematics model(config, "right");
  PinocchioGNSolver solver(model, config);
  const TipMappingParameters params = TipMappingParameters::from_config(config, "right");
  synthetic::SyntheticGlove glove(params);
  const std::vector<double> q = moving_pose(model, 0.3);
  const HandKinematicsState rest = model.state_from_active(model.q_rest_active());
  const RetargetTargetFrame target =
      build_tip_target_frame(glove.frame_from_active(model, moving_pose(model, 0.4)), rest.wrist_position,
                             params, rest.wrist_rotation);
  const HandKinematicsLinearization lin = model.linearized_state_from_active(q);
  const HandKinematicsState st = model.state_from_active(q);
  const int part = static_cast<int>(state.range(0));
  for (auto _ : state) {
    switch (part) {
      case 0:
        benchmark::DoNotOptimize(model.state_from_active(q));
        break;
      case 1:
        benchmark::DoNotOptimize(model.linearized_state_from_active(q));
        break;
      case 2:
        benchmark::DoNotOptimize(solver.objective().residual_terms(st, target, q, q));
        break;
      default:
        benchmark::DoNotOptimize(solver.objective().linearized_residual_and_jacobian(lin, target, q, q));
        break;
    }
  }
  const char* names[] = {"state_from_active", "linearized_state_from_active", "residual_terms",
                         "linearized_residual_and_jacobian"};
  state.SetLabel(names[part]);
}
BENCHMARK(BM_IterationParts)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
