// The engine step (one glove frame in, one joint vector out) and the getters of its last outputs.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "capi/engine.hpp"
#include "capi/fingers.hpp"
#include "capi/last_error.hpp"
#include "capi/records.hpp"
#include "kinematics/vec3.hpp"

namespace kelto::hand::detail {
namespace {

// How well a solve outcome reaches the targets: its worst fingertip distance, then its residual norm.
struct OutcomeScore {
  double shape_max_m = 0.0;
  double residual_norm = 0.0;
};

double distance(const Vec3& a, const Vec3& b) {
  return norm(sub(a, b));
}

// Worst fingertip distance between a state and the targets, in the wrist frame.
double shape_max_m(const HandKinematicsState& state, const RetargetTargetFrame& target,
                   const std::vector<std::string>& order) {
  double worst = 0.0;
  for (const std::string& finger : order) {
    worst =
        std::max(worst, distance(state.tip_positions_wrist.at(finger), target.target_positions.at(finger)));
  }
  return worst;
}

// How far the targets moved since the previous step, over the fingers both steps have.
double target_delta_max_m(const RetargetTargetFrame& target,
                          const std::map<std::string, std::array<double, 3>>& previous) {
  double worst = 0.0;
  for (const auto& [finger, position] : target.target_positions) {
    const auto found = previous.find(finger);
    if (found != previous.end()) worst = std::max(worst, distance(position, found->second));
  }
  return worst;
}

double vector_delta_norm(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) throw std::runtime_error("Joint output vector size changed");
  double sum = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(sum);
}

OutcomeScore score_outcome(const PinocchioGNSolver& solver, const RetargetSolveOutcome& outcome,
                           const RetargetTargetFrame& target, const std::vector<double>& q_prev,
                           const std::vector<std::string>& order, ObjectiveResidualTerms& terms) {
  OutcomeScore scored;
  scored.shape_max_m = shape_max_m(outcome.state, target, order);
  solver.objective().residual_terms(outcome.state, target, outcome.q, q_prev, terms);
  scored.residual_norm = std::sqrt(terms.squared_norm());
  return scored;
}

// A re-seed start vector is worth a solve only when it differs from the vector the first solve used.
bool differs(const std::vector<double>& candidate, const std::vector<double>& q0) {
  if (candidate.size() != q0.size()) return true;
  for (std::size_t i = 0; i < q0.size(); ++i) {
    if (std::abs(candidate[i] - q0[i]) > 1e-8 + 1e-5 * std::abs(q0[i])) return true;
  }
  return false;
}

bool better(const OutcomeScore& candidate, const OutcomeScore& best) {
  if (candidate.shape_max_m + 1e-9 < best.shape_max_m) return true;
  return candidate.shape_max_m <= best.shape_max_m + 1e-9 &&
         candidate.residual_norm + 1e-9 < best.residual_norm;
}

Pose pose_from_record(const kx_pose& record) {
  Pose pose;
  std::copy(std::begin(record.position), std::end(record.position), pose.position.begin());
  std::copy(std::begin(record.rotation), std::end(record.rotation), pose.rotation.begin());
  return pose;
}

void pose_to_record(const std::array<double, 3>& position, const std::array<double, 9>& rotation,
                    kx_pose& record) {
  std::copy(position.begin(), position.end(), record.position);
  std::copy(rotation.begin(), rotation.end(), record.rotation);
}

// Fills `frame` (the side's reusable feature frame) from the input record; the fingers of the order keep
// their map entries from step to step.
void fill_feature_frame(const EngineSideRuntime& runtime, const kx_engine_input& input,
                        GloveFeatureFrame& frame) {
  frame.source = view_text(input.source_name);
  frame.timestamp_s = input.timestamp_s;
  frame.side = side_word(runtime.side);
  frame.root = pose_from_record(input.root);
  for (const std::string& finger : runtime.finger_order) {
    const std::size_t slot = finger_index(finger);
    frame.local_tips[finger] = pose_from_record(input.local_tips[slot]);
    if ((input.world_tip_mask & (1u << slot)) != 0) {
      frame.world_tips[finger] = pose_from_record(input.world_tips[slot]);
    } else {
      frame.world_tips.erase(finger);
    }
  }
}

// Checks the glove data against the side's finger order; returns the failure text, or null when usable.
const char* glove_data_problem(const EngineSideRuntime& runtime, const kx_engine_input& input) {
  if ((runtime.finger_mask & ~input.local_tip_mask) != 0)
    return "all configured local fingertip poses are required";
  if (!pose_is_finite(input.root)) return "root pose contains a non-finite value";
  for (const std::string& finger : runtime.finger_order) {
    const std::size_t slot = finger_index(finger);
    if (!pose_is_finite(input.local_tips[slot])) return "local fingertip pose contains a non-finite value";
    if ((input.world_tip_mask & (1u << slot)) != 0 && !pose_is_finite(input.world_tips[slot])) {
      return "world fingertip pose contains a non-finite value";
    }
  }
  return nullptr;
}

// Builds the frame's fingertip targets from the glove data at the wrist pose of the current joint vector,
// which it leaves in runtime.start_workspace. The frame is built over the one before the last, so that its
// storage is reused, and then takes the place of the last target.
const RetargetTargetFrame& build_target(EngineSideRuntime& runtime, const kx_engine_input& input) {
  PinocchioHandKinematics& kinematics = *runtime.kinematics;
  GloveFeatureFrame& frame = runtime.feature_workspace;
  fill_feature_frame(runtime, input, frame);
  std::vector<double>& q0 = runtime.start_workspace;
  q0 = kinematics.q_current_active();
  HandTipKinematics& state0 = runtime.tips_workspace;  // only the wrist pose is read
  kinematics.tip_kinematics_from_active(q0, state0);
  build_tip_target_frame(frame, state0.wrist_position, runtime.tip_mapping, state0.wrist_rotation,
                         runtime.target_workspace);
  if (!runtime.last_target) runtime.last_target.emplace();
  std::swap(*runtime.last_target, runtime.target_workspace);
  return *runtime.last_target;
}

// Solves from q0 and, when re-seeding is on and the fingertips stay too far off, again from the last good
// and the rest vectors; returns the best outcome (one of the runtime's outcome records).
const RetargetSolveOutcome& solve_frame(EngineSideRuntime& runtime, const RetargetTargetFrame& target,
                                        const std::vector<double>& q0) {
  PinocchioGNSolver& solver = *runtime.solver;
  RetargetSolveOutcome& best = runtime.outcome_workspace;
  solver.solve_into(target, q0, std::nullopt, best);
  // Only a re-seed compares outcomes, so only then is the first one scored.
  if (!runtime.reseed_enabled) return best;
  const std::vector<std::string>& order = solver.objective().finger_order();
  ObjectiveResidualTerms& terms = runtime.terms_workspace;
  OutcomeScore best_score = score_outcome(solver, best, target, q0, order, terms);
  if (best_score.shape_max_m <= runtime.reseed_shape_max_threshold_m) return best;
  std::vector<std::vector<double>> candidates;
  if (runtime.last_good_active_q) candidates.push_back(*runtime.last_good_active_q);
  candidates.push_back(runtime.kinematics->q_rest_active());
  RetargetSolveOutcome& trial = runtime.reseed_workspace;
  for (const std::vector<double>& candidate : candidates) {
    if (!differs(candidate, q0)) continue;
    solver.solve_into(target, candidate, std::nullopt, trial);
    const OutcomeScore scored = score_outcome(solver, trial, target, candidate, order, terms);
    if (better(scored, best_score)) {
      std::swap(best, trial);
      best_score = scored;
    }
  }
  return best;
}

// Scales the change from the last output down so that no joint moves faster than the velocity limit.
void limit_velocity(const EngineSideRuntime& runtime, double timestamp_s, std::vector<double>& out) {
  if (!runtime.velocity_limit_enabled || !runtime.last_output || !runtime.last_output_timestamp_s) return;
  const double dt = timestamp_s - *runtime.last_output_timestamp_s;
  if (!(dt > 0.0)) return;
  const double capped_dt = (runtime.max_dt_s > 0.0 && runtime.max_dt_s < dt) ? runtime.max_dt_s : dt;
  const std::vector<double>& last = *runtime.last_output;
  if (last.size() != out.size()) throw std::runtime_error("Joint output vector size changed");
  double largest = 0.0;
  for (std::size_t i = 0; i < out.size(); ++i) largest = std::max(largest, std::abs(out[i] - last[i]));
  const double allowed = capped_dt * runtime.max_velocity_rad_s;
  if (largest > 0.0 && largest > allowed) {
    const double factor = allowed / largest;
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = last[i] + factor * (out[i] - last[i]);
  }
}

// The worst fingertip distance of the full vector `out` from the targets; its active part goes to `active`.
double output_shape(EngineSideRuntime& runtime, const RetargetTargetFrame& target,
                    const std::vector<double>& out, std::vector<double>& active) {
  active = runtime.kinematics->active_from_full(out);
  HandKinematicsState& state = runtime.state_workspace;
  runtime.kinematics->state_from_active(active, state);
  return shape_max_m(state, target, runtime.solver->objective().finger_order());
}

// Whether the output holds its last value: targets, fingertip error and joints all moved less than their
// thresholds since the last step.
bool output_stalled(const EngineSideRuntime& runtime, const RetargetTargetFrame& target, double shape,
                    double norm) {
  if (!runtime.hold_enabled || !runtime.last_shape_max_m || !runtime.last_output) return false;
  const double target_delta = target_delta_max_m(target, runtime.last_target_tips);
  const double shape_delta = std::abs(shape - *runtime.last_shape_max_m);
  return target_delta <= runtime.hold_target_delta_threshold_m &&
         shape_delta <= runtime.hold_shape_delta_threshold_m &&
         norm <= runtime.hold_q_delta_norm_threshold_rad;
}

// Solves, re-solves and shapes the output of one frame; writes the n joint values into `joints`.
void run_step(EngineSideRuntime& runtime, const kx_engine_input& input, double* joints, std::size_t n) {
  PinocchioHandKinematics& kinematics = *runtime.kinematics;
  const RetargetTargetFrame& target = build_target(runtime, input);
  const RetargetSolveOutcome& best = solve_frame(runtime, target, runtime.start_workspace);

  kinematics.apply_active(best.q);
  std::vector<double> out = runtime.smoother.apply(kinematics.expand_active(best.q));
  limit_velocity(runtime, input.timestamp_s, out);

  const double norm = runtime.last_output ? vector_delta_norm(out, *runtime.last_output) : 0.0;
  std::vector<double> active;
  double shape = output_shape(runtime, target, out, active);
  if (output_stalled(runtime, target, shape, norm)) {
    out = *runtime.last_output;
    shape = output_shape(runtime, target, out, active);
  }

  std::vector<double> pre_out = out;
  std::vector<double> pre_active = active;
  if (runtime.observer) {
    out = runtime.observer->observe(kinematics.joint_names(), out);
    active = kinematics.active_from_full(out);
  }

  if (shape <= runtime.reseed_shape_max_threshold_m) runtime.last_good_active_q = pre_active;
  runtime.last_output = std::move(pre_out);
  runtime.last_output_timestamp_s = input.timestamp_s;
  runtime.last_shape_max_m = shape;
  runtime.last_target_tips = target.target_positions;

  // The next step starts from what the solver produced, not from what the simulation made of it.
  kinematics.apply_active(pre_active);
  kinematics.skeleton_poses_local(active, runtime.last_skeleton);
  runtime.last_skeleton_timestamp_s = input.timestamp_s;

  if (out.size() != n) throw std::runtime_error("Joint output vector size changed");
  std::copy(out.begin(), out.end(), joints);
}

// Fills a target record from the side's last target frame; per-finger data is looked up strictly.
kx_target_output target_record(const EngineSideRuntime& runtime) {
  const RetargetTargetFrame& frame = *runtime.last_target;
  kx_target_output record;
  std::memset(&record, 0, sizeof record);
  record.struct_size = sizeof(kx_target_output);
  record.abi_version = KX_ABI_VERSION_MAJOR;
  record.source = text_view(frame.source);
  record.timestamp_s = frame.timestamp_s;
  record.hand_side = runtime.side;
  record.finger_mask = runtime.finger_mask;
  pose_to_record(frame.wrist_origin, frame.wrist_rotation, record.wrist);
  for (const std::string& finger : runtime.finger_order) {
    const std::size_t i = finger_index(finger);
    pose_to_record(frame.target_positions_world.at(finger), frame.target_rotations_world.at(finger),
                   record.world_targets[i]);
    pose_to_record(frame.target_positions.at(finger), frame.target_rotations.at(finger),
                   record.wrist_targets[i]);
    const auto& human = frame.human_tip_positions.at(finger);
    std::copy(human.begin(), human.end(), record.human_tips[i]);
    record.shape_weights[i] = frame.shape_weights.at(finger);
    record.orientation_weights[i] = frame.orientation_weights.at(finger);
    const auto pinch = frame.pinch_vectors.find(finger);
    if (pinch != frame.pinch_vectors.end()) {
      record.pinch_mask |= 1u << i;
      std::copy(pinch->second.begin(), pinch->second.end(), record.pinch_vectors[i]);
      record.pinch_weights[i] = frame.pinch_weights.at(finger);
    }
  }
  return record;
}

// Reports a failure to the side runtime, the engine and the calling thread alike.
auto report_to(kx_engine& engine, EngineSideRuntime& runtime) {
  return [&engine, &runtime](const std::string& text) {
    runtime.last_error = text;
    engine.last_error = text;
    fail(text);
  };
}

// What every getter of a last output checks before reading: the engine and a record are given, the
// record's header matches this library, and a step has selected a side. `what` names the record in
// the error texts. On success `runtime` is the selected side.
template <typename Record>
kx_status check_getter(kx_engine* engine, const Record* out, const char* what, EngineSideRuntime*& runtime) {
  if (engine == nullptr || out == nullptr) {
    fail("engine and " + std::string(what) + " are required");
    return KX_STATUS_INVALID_ARGUMENT;
  }
  if (const kx_status header = check_record_header(
          {" struct_size is invalid", " ABI version does not match"},
          [&](const char* problem) { engine->last_error = std::string(what) + problem; }, out);
      header != KX_STATUS_OK) {
    return header;
  }
  runtime = engine->selected;
  if (runtime == nullptr) {
    engine->last_error = "native engine has no selected side runtime";
    return KX_STATUS_INVALID_ARGUMENT;
  }
  return KX_STATUS_OK;
}

}  // namespace
}  // namespace kelto::hand::detail

extern "C" {

kx_status kx_engine_step(kx_engine* engine, const kx_engine_input* input, kx_engine_output* output) {
  using namespace kelto::hand::detail;
  return guard_thread("unknown native exception", [&]() -> kx_status {
    if (engine == nullptr || input == nullptr || output == nullptr) {
      fail("engine, input, and output are required");
      return KX_STATUS_INVALID_ARGUMENT;
    }
    if (const kx_status header = check_record_header(
            {"input or output struct_size is invalid", "input or output ABI version does not match"},
            [engine](const char* text) { engine->last_error = text; }, input, output);
        header != KX_STATUS_OK) {
      return header;
    }
    if (!hand_side_is_valid(input->hand_side)) {
      engine->last_error = "input hand side is invalid";
      return KX_STATUS_INVALID_ARGUMENT;
    }
    EngineSideRuntime* runtime = input->hand_side == KX_HAND_LEFT ? engine->left.get() : engine->right.get();
    if (runtime == nullptr) {
      engine->last_error = "requested hand side is not loaded";
      return KX_STATUS_INVALID_ARGUMENT;
    }
    engine->selected = runtime;
    if (const char* problem = glove_data_problem(*runtime, *input)) {
      runtime->last_error = problem;
      return KX_STATUS_INVALID_ARGUMENT;
    }
    const std::size_t n = runtime->kinematics->joint_names().size();
    output->joint_count = n;
    output->timestamp_s = input->timestamp_s;
    output->hand_side = runtime->side;
    if (output->joints == nullptr || output->joint_capacity < n) {
      runtime->last_error = "joint output buffer is too small";
      return KX_STATUS_BUFFER_TOO_SMALL;
    }
    return guard(
        "unknown native exception",
        [&]() -> kx_status {
          run_step(*runtime, *input, output->joints, n);
          runtime->last_error.clear();
          clear_thread_error();
          return KX_STATUS_OK;
        },
        report_to(*engine, *runtime));
  });
}

kx_status kx_engine_get_last_target(kx_engine* engine, kx_target_output* out) {
  using namespace kelto::hand::detail;
  return guard_thread("unknown native exception", [&]() -> kx_status {
    EngineSideRuntime* runtime = nullptr;
    if (const kx_status status = check_getter(engine, out, "target output", runtime);
        status != KX_STATUS_OK) {
      return status;
    }
    if (!runtime->last_target) {
      runtime->last_error = "native engine has no target frame yet";
      return KX_STATUS_INVALID_ARGUMENT;
    }
    return guard(
        "unknown native exception",
        [&]() -> kx_status {
          *out = target_record(*runtime);
          runtime->last_error.clear();
          engine->last_error.clear();
          clear_thread_error();
          return KX_STATUS_OK;
        },
        report_to(*engine, *runtime));
  });
}

kx_status kx_engine_get_last_skeleton_pose(kx_engine* engine, kx_skeleton_pose_output* out) {
  using namespace kelto::hand::detail;
  return guard_thread("unknown native exception", [&]() -> kx_status {
    EngineSideRuntime* runtime = nullptr;
    if (const kx_status status = check_getter(engine, out, "skeleton pose output", runtime);
        status != KX_STATUS_OK) {
      return status;
    }
    const std::size_t count = runtime->kinematics->skeleton_node_names().size();
    out->timestamp_s = 0.0;
    out->hand_side = runtime->side;
    out->node_count = count;
    if (count == 0) {
      runtime->last_error = "skeleton pose output is not supported for this hand";
      return KX_STATUS_NOT_IMPLEMENTED;
    }
    if (out->nodes == nullptr || out->node_capacity < count) {
      runtime->last_error = "skeleton pose output buffer is too small";
      return KX_STATUS_BUFFER_TOO_SMALL;
    }
    if (runtime->last_skeleton.size() != count) {
      runtime->last_error = "native engine has no skeleton pose yet";
      return KX_STATUS_INVALID_ARGUMENT;
    }
    for (std::size_t i = 0; i < count; ++i) {
      const kelto::hand::SkeletonPose& node = runtime->last_skeleton[i];
      std::copy(node.position.begin(), node.position.end(), out->nodes[i].position);
      std::copy(node.quaternion.begin(), node.quaternion.end(), out->nodes[i].orientation);
    }
    out->timestamp_s = runtime->last_skeleton_timestamp_s;
    return KX_STATUS_OK;
  });
}

}  // extern "C"
