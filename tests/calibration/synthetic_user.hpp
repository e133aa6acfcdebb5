// Calibration test helpers: rotations, exception texts, and a synthetic glove user of the bundled hand
// (captured stages, retargeting error of the user's poses).
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "calibration/calibration_profile.hpp"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "kinematics/vec3.hpp"
#include "retargeting/pinocchio_gn_solver.hpp"
#include "retargeting/tip_target_frame.hpp"
#include "support/axis_rotation.hpp"
#include "support/error_text.hpp"
#include "support/test_files.hpp"
#include "synthetic_glove/synthetic_glove.hpp"

namespace kelto::test {

using namespace hand::detail;

inline double distance(const Vec3& a, const Vec3& b) {
  return norm(sub(a, b));
}
template <std::size_t N>
bool near(const std::array<double, N>& a, const std::array<double, N>& b, double tolerance) {
  for (std::size_t i = 0; i < N; ++i)
    if (!(std::abs(a[i] - b[i]) <= tolerance)) return false;
  return true;
}

inline std::filesystem::path bundled_hand_config() {
  return source_dir() / "resources/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml";
}

// `frames_per_stage` glove frames per stage of `stage_ids`, the glove following `truth` while the hand
// holds the stage's reference pose (else the pose named like the stage).
inline std::vector<hand::CalibrationStageFrames> capture_stages(
    const hand::Config& config, const std::string& side, const hand::TipMappingParameters& truth,
    const std::vector<std::string>& stage_ids, std::size_t frames_per_stage, double position_noise_m) {
  hand::PinocchioHandKinematics kinematics(config, side);
  const hand::CalibrationProfile profile = hand::load_calibration_profile(config, truth.finger_order);
  hand::synthetic::SyntheticGloveOptions options;
  options.position_noise_m = position_noise_m;
  options.side = side;
  options.seed = 11;
  hand::synthetic::SyntheticGlove glove(truth, options);
  std::vector<hand::CalibrationStageFrames> stages;
  for (const std::string& id : stage_ids) {
    const hand::CalibrationStageProfile& stage = profile.stage(id);
    hand::CalibrationStageFrames frames{
        stage.id, stage.reference_pose.value_or(""), stage.fingers, stage.weight, {}};
    const std::vector<double> q = kinematics.pose_active(stage.reference_pose.value_or(stage.id));
    for (std::size_t i = 0; i < frames_per_stage; ++i) {
      std::map<std::string, hand::CalibrationFingerFrame> frame;
      for (const auto& [finger, pose] : glove.frame_from_active(kinematics, q).local_tips)
        frame[finger] = {pose.position, pose.rotation};
      frames.frames.push_back(std::move(frame));
    }
    stages.push_back(std::move(frames));
  }
  return stages;
}

struct RetargetError {
  double target_mm = 0.0;  // mean distance of the fingertip targets from the user's true fingertips
  double solved_mm = 0.0;  // the same for the solved hand
};

// Mean fingertip errors over the named poses when `config` retargets the exact glove readings of the
// user described by `truth`.
inline RetargetError retarget_error(const hand::Config& config, const std::string& side,
                                    const hand::TipMappingParameters& truth,
                                    const std::vector<std::string>& poses) {
  hand::PinocchioHandKinematics kinematics(config, side);
  hand::PinocchioGNSolver solver(kinematics, config);
  const hand::TipMappingParameters params = hand::TipMappingParameters::from_config(config, side);
  hand::synthetic::SyntheticGloveOptions options;
  options.side = side;
  hand::synthetic::SyntheticGlove glove(truth, options);
  const std::vector<double> q_rest = kinematics.q_rest_active();
  const hand::HandKinematicsState rest = kinematics.state_from_active(q_rest);
  RetargetError error;
  double count = 0.0;
  for (const std::string& pose : poses) {
    const hand::HandKinematicsState truth_state = kinematics.state_from_active(kinematics.pose_active(pose));
    const hand::RetargetTargetFrame target = hand::build_tip_target_frame(
        glove.frame_from_state(truth_state), rest.wrist_position, params, rest.wrist_rotation);
    const hand::RetargetSolveOutcome outcome = solver.solve(target, q_rest);
    for (const std::string& finger : params.finger_order) {
      const Vec3& tip = truth_state.tip_positions_wrist.at(finger);
      error.target_mm += 1000.0 * distance(target.target_positions.at(finger), tip);
      error.solved_mm += 1000.0 * distance(outcome.state.tip_positions_wrist.at(finger), tip);
      count += 1.0;
    }
  }
  error.target_mm /= count;
  error.solved_mm /= count;
  return error;
}

}  // namespace kelto::test
