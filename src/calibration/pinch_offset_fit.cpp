#include "calibration/pinch_offset_fit.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <limits>

#include "calibration/calibration_math.hpp"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "retargeting/map_lookup.hpp"
#include "retargeting/pinocchio_gn_solver.hpp"
#include "retargeting/tip_mapping_parameters.hpp"

namespace kelto::hand::detail {
namespace {

namespace cm = calmath;
using Offsets = std::map<std::string, std::array<double, 3>>;

constexpr cm::Vec3 kBoxHalfWidth{0.025, 0.01, 0.025};
constexpr double kProbeStep = 0.001;
constexpr double kThumbStepLength = 1.0 / 1300.0;

cm::Vec3 offset_or_zero(const Offsets& offsets, const std::string& finger) {
  return value_or(offsets, finger, cm::Vec3{0.0, 0.0, 0.0});
}

// Clamps every axis into the starting value +- the box half width.
cm::Vec3 clamp_into_box(const cm::Vec3& value, const cm::Vec3& start) {
  cm::Vec3 out{};
  for (int a = 0; a < 3; ++a) {
    out[a] = std::clamp(value[a], start[a] - kBoxHalfWidth[a], start[a] + kBoxHalfWidth[a]);
  }
  return out;
}

bool is_frozen(const FrozenAxes& frozen_axes, const std::string& finger, int axis) {
  const auto it = frozen_axes.find(finger);
  return it != frozen_axes.end() && it->second.count(axis) > 0;
}

bool in_order(const std::vector<std::string>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

double thumb_objective(const Config& config, const std::string& side, const Offsets& offsets,
                       const PinchFramesByStage& frames_by_stage) {
  return thumb_runtime_objective(runtime_metrics_for_pinch_samples(
      config_with_input_tip_offsets(config, side, offsets), side, frames_by_stage));
}

cm::Vec3 partner_world_target(const Config& config, const std::string& side, const Offsets& offsets,
                              const std::string& stage, const std::string& partner,
                              const PinchFrame& frames) {
  const RetargetTargetFrame target = runtime_target_for_pinch_pose(
      config_with_input_tip_offsets(config, side, offsets), side, stage, frames);
  return finger_at(target.target_positions_world, partner);
}

// One damped Gauss-Newton step of a partner's offset towards a pinch gap of 75 % (at least 1 cm).
void update_partner(const Config& config, const std::string& side, const std::string& stage,
                    const std::string& partner, const PinchFrame& frames, const Offsets& starting_offsets,
                    const FrozenAxes& frozen_axes, Offsets& offsets) {
  const RetargetTargetFrame target = runtime_target_for_pinch_pose(
      config_with_input_tip_offsets(config, side, offsets), side, stage, frames);
  const cm::Vec3 t = finger_at(target.target_positions_world, std::string("thumb"));
  const cm::Vec3 p = finger_at(target.target_positions_world, partner);
  if (cm::norm(cm::sub(p, t)) <= 1e-9) return;
  const cm::Vec3 residual = pinch_gap_residual(t, p);

  const cm::Vec3 start = offset_or_zero(starting_offsets, partner);
  const cm::Vec3 current = offset_or_zero(offsets, partner);
  Eigen::MatrixXd system = Eigen::MatrixXd::Zero(6, 3);
  for (int a = 0; a < 3; ++a) {
    if (is_frozen(frozen_axes, partner, a)) continue;
    cm::Vec3 probe = current;
    probe[a] += kProbeStep;
    probe = clamp_into_box(probe, start);
    const double change = probe[a] - current[a];
    if (std::abs(change) < 1e-8) continue;
    Offsets trial = offsets;
    trial[partner] = probe;
    const cm::Vec3 moved = partner_world_target(config, side, trial, stage, partner, frames);
    for (int r = 0; r < 3; ++r) system(r, a) = (moved[r] - p[r]) / change;
  }
  const double damping = 0.31622776601683794;  // sqrt(0.1)
  for (int a = 0; a < 3; ++a) system(3 + a, a) = damping;
  Eigen::VectorXd rhs = Eigen::VectorXd::Zero(6);
  for (int r = 0; r < 3; ++r) rhs(r) = residual[r];
  const Eigen::JacobiSVD<Eigen::MatrixXd> svd(system, Eigen::ComputeThinU | Eigen::ComputeThinV);
  const Eigen::VectorXd step = svd.solve(rhs);

  cm::Vec3 next = current;
  for (int a = 0; a < 3; ++a) {
    if (!is_frozen(frozen_axes, partner, a)) next[a] += step(a);
  }
  offsets[partner] = clamp_into_box(next, start);
}

// Up to three accepted descent steps of the thumb offset on the solved pinch gaps; leaves the best
// evaluated starting point.
void update_thumb(const Config& config, const std::string& side, const PinchFramesByStage& frames_by_stage,
                  const Offsets& starting_offsets, const FrozenAxes& frozen_axes, Offsets& offsets) {
  const std::string thumb = "thumb";
  const cm::Vec3 start = offset_or_zero(starting_offsets, thumb);
  const cm::Vec3 lower = cm::sub(start, kBoxHalfWidth);
  const cm::Vec3 upper = cm::add(start, kBoxHalfWidth);
  double best_value = std::numeric_limits<double>::infinity();
  cm::Vec3 best = offset_or_zero(offsets, thumb);

  for (int accepted = 0; accepted < 3;) {
    const cm::Vec3 current = offset_or_zero(offsets, thumb);
    const double f0 = thumb_objective(config, side, offsets, frames_by_stage);
    if (f0 < best_value) {
      best_value = f0;
      best = current;
    }

    cm::Vec3 gradient{0.0, 0.0, 0.0};
    for (int a = 0; a < 3; ++a) {
      if (is_frozen(frozen_axes, thumb, a)) continue;
      cm::Vec3 probe = current;
      probe[a] = std::min(current[a] + kProbeStep, upper[a]);
      if (probe[a] - current[a] < 1e-8) probe[a] = std::max(current[a] - kProbeStep, lower[a]);
      const double change = probe[a] - current[a];
      if (std::abs(change) < 1e-8) continue;
      Offsets trial = offsets;
      trial[thumb] = probe;
      gradient[a] = (thumb_objective(config, side, trial, frames_by_stage) - f0) / change;
    }
    const double gradient_norm = cm::norm(gradient);
    if (!(gradient_norm >= 1e-8)) break;
    cm::Vec3 direction = cm::scaled(gradient, -1.0 / gradient_norm);
    for (int a = 0; a < 3; ++a) {
      if (is_frozen(frozen_axes, thumb, a)) direction[a] = 0.0;
    }

    bool moved = false;
    for (const double factor : {2.0, 1.0, 0.5, 0.25}) {
      const cm::Vec3 candidate =
          clamp_into_box(cm::add(current, cm::scaled(direction, factor * kThumbStepLength)), start);
      if (cm::norm(cm::sub(candidate, current)) < 1e-8) continue;
      Offsets trial = offsets;
      trial[thumb] = candidate;
      if (thumb_objective(config, side, trial, frames_by_stage) < f0 - 1e-8) {
        offsets = std::move(trial);
        moved = true;
        break;
      }
    }
    if (!moved) break;
    ++accepted;
  }
  offsets[thumb] = best;
}

}  // namespace

Config config_with_input_tip_offsets(const Config& config, const std::string& side, const Offsets& offsets) {
  Config out = config;
  const std::string key = "tip_mapping." + side + ".input_tip_offset_local";
  out.remove(key);
  for (const auto& [finger, offset] : offsets) out.set_vec3(key + "." + finger, offset);
  return out;
}

Config prepared_runtime_config(const Config& config, const std::string& side) {
  Config out = config;
  out.set_boolean("joint_smoother.enabled", false);
  out.set_boolean("solver.output_hold_when_stalled.enabled", false);
  // The pinch model leaves the targets where they are, but its pinch rows and lowered shape weights make
  // the solve close a pinch by itself, so the solved gap that judges the thumb offset would hardly depend
  // on the offsets. It is on by default, so it is switched off whether or not the configuration names it.
  out.set_boolean("tip_mapping." + side + ".pinch_model.enabled", false);
  return out;
}

GloveFeatureFrame pinch_feature_frame(const std::string& side, const std::string& stage_id,
                                      const PinchFrame& frames) {
  GloveFeatureFrame frame;
  frame.source = "calibration/" + stage_id;
  frame.side = side;
  frame.timestamp_s = 0.0;
  for (const auto& [finger, tip] : frames) {
    const Pose pose{tip.position, tip.rotation};
    frame.local_tips[finger] = pose;
    frame.world_tips[finger] = pose;
  }
  return frame;
}

RetargetTargetFrame runtime_target_for_pinch_pose(const Config& config, const std::string& side,
                                                  const std::string& stage_id, const PinchFrame& frames) {
  const Config prepared = prepared_runtime_config(config, side);
  PinocchioHandKinematics kinematics(prepared, side);
  const HandKinematicsState state = kinematics.state_from_active(kinematics.q_rest_active());
  const TipMappingParameters params = TipMappingParameters::from_config(prepared, side);
  return build_tip_target_frame(pinch_feature_frame(side, stage_id, frames), state.wrist_position, params,
                                state.wrist_rotation);
}

std::vector<PinchRuntimeMetrics> runtime_metrics_for_pinch_samples(
    const Config& config, const std::string& side, const PinchFramesByStage& frames_by_stage) {
  std::vector<PinchRuntimeMetrics> metrics;
  for (const auto& [stage_view, partner_view] : kPinchStages) {
    const auto frames = frames_by_stage.find(std::string(stage_view));
    if (frames == frames_by_stage.end()) continue;
    const std::string partner(partner_view);
    const Config prepared = prepared_runtime_config(config, side);
    PinocchioHandKinematics kinematics(prepared, side);
    PinocchioGNSolver solver(kinematics, prepared);
    const std::vector<double> q_rest = kinematics.q_rest_active();
    const HandKinematicsState state = kinematics.state_from_active(q_rest);
    const TipMappingParameters params = TipMappingParameters::from_config(prepared, side);
    const RetargetTargetFrame target =
        build_tip_target_frame(pinch_feature_frame(side, frames->first, frames->second), state.wrist_position,
                               params, state.wrist_rotation);
    const RetargetSolveOutcome outcome = solver.solve(target, q_rest, std::nullopt);
    const HandKinematicsState solved = kinematics.state_from_active(outcome.q);

    PinchRuntimeMetrics m;
    m.target_gap_mm =
        1000.0 * cm::norm(cm::sub(finger_at(target.target_positions_world, partner),
                                  finger_at(target.target_positions_world, std::string("thumb"))));
    m.solved_gap_mm = 1000.0 * cm::norm(cm::sub(finger_at(solved.tip_positions_world, partner),
                                                finger_at(solved.tip_positions_world, std::string("thumb"))));
    m.abs_diff_mm = std::abs(m.solved_gap_mm - m.target_gap_mm);
    metrics.push_back(m);
  }
  return metrics;
}

std::array<double, 3> pinch_gap_residual(const std::array<double, 3>& thumb,
                                         const std::array<double, 3>& partner) {
  const double gap = cm::norm(cm::sub(partner, thumb));
  if (gap <= 1e-9) return {0.0, 0.0, 0.0};
  const double ratio = std::max(0.75 * gap, 0.01) / gap;
  return cm::sub(cm::add(thumb, cm::scaled(cm::sub(partner, thumb), ratio)), partner);
}

double thumb_runtime_objective(const std::vector<PinchRuntimeMetrics>& metrics) {
  if (metrics.empty()) return 0.0;
  double max_solved = -std::numeric_limits<double>::infinity(), max_target = max_solved,
         max_diff = max_solved;
  double sum_solved = 0.0, sum_target = 0.0, sum_diff = 0.0;
  for (const PinchRuntimeMetrics& m : metrics) {
    max_solved = std::max(max_solved, m.solved_gap_mm);
    max_target = std::max(max_target, m.target_gap_mm);
    max_diff = std::max(max_diff, m.abs_diff_mm);
    sum_solved += m.solved_gap_mm;
    sum_target += m.target_gap_mm;
    sum_diff += m.abs_diff_mm;
  }
  const double n = static_cast<double>(metrics.size());
  return 0.95 * max_solved + 1.9 * sum_solved / n + 1.15 * sum_target / n + 0.45 * max_target +
         0.55 * sum_diff / n + 0.2 * max_diff;
}

std::optional<Offsets> fit_input_tip_offsets_from_pinch(const Config& config,
                                                        const std::vector<CalibrationStageSample>& samples,
                                                        const std::string& side,
                                                        const Offsets& starting_offsets,
                                                        const std::vector<std::string>& finger_order,
                                                        const FrozenAxes& frozen_axes) {
  PinchFramesByStage frames_by_stage;
  std::size_t expected = 0;
  for (const auto& [stage_view, partner_view] : kPinchStages) {
    if (in_order(finger_order, partner_view)) ++expected;
    const std::string stage(stage_view), partner(partner_view);
    const CalibrationStageSample* sample = sample_by_stage(samples, stage);
    if (sample == nullptr || sample->rotations.empty() || !sample->positions.count("thumb") ||
        !sample->positions.count(partner)) {
      continue;
    }
    PinchFrame frames;
    for (const std::string& f : finger_order) {
      const auto position = sample->positions.find(f);
      const auto rotation = sample->rotations.find(f);
      if (position != sample->positions.end() && rotation != sample->rotations.end()) {
        frames[f] = CalibrationFingerFrame{position->second, rotation->second};
      }
    }
    frames_by_stage[stage] = std::move(frames);
  }
  if (expected == 0 || expected != frames_by_stage.size()) return std::nullopt;

  Offsets offsets = starting_offsets;
  for (int pass = 0; pass < 2; ++pass) {
    for (const auto& [stage_view, partner_view] : kPinchStages) {
      const auto frames = frames_by_stage.find(std::string(stage_view));
      if (frames == frames_by_stage.end()) continue;
      update_partner(config, side, frames->first, std::string(partner_view), frames->second, starting_offsets,
                     frozen_axes, offsets);
    }
    update_thumb(config, side, frames_by_stage, starting_offsets, frozen_axes, offsets);
  }
  return offsets;
}

}  // namespace kelto::hand::detail
