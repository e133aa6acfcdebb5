// A synthetic glove user of the bundled hand: the calibration stages of the hand's profile captured by a
// glove whose readings follow known tip mapping values (hand scale, base tilt, ...), and the fingertip
// error of retargeting that user's poses with a given configuration.
#pragma once

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "calibration/calibration_profile.hpp"
#include "calibration/calibration_stage.hpp"
#include "calibration_test_support.hpp"
#include "config/config.hpp"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "retargeting/pinocchio_gn_solver.hpp"
#include "retargeting/tip_mapping_parameters.hpp"
#include "retargeting/tip_target_frame.hpp"
#include "support/test_files.hpp"
#include "synthetic_glove/synthetic_glove.hpp"

namespace kelto::test {

inline std::filesystem::path bundled_hand_config() {
  return source_dir() / "resources/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml";
}

// The robot pose a stage's gesture corresponds to: its reference pose, else the pose named like the stage.
inline std::string user_pose_of(const hand::CalibrationStageProfile& stage) {
  return stage.reference_pose.value_or(stage.id);
}

// `frames_per_stage` glove frames per stage of `stage_ids`, the glove following `truth`.
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
    hand::CalibrationStageFrames frames;
    frames.stage_id = stage.id;
    frames.reference_pose = stage.reference_pose.value_or("");
    frames.fingers = stage.fingers;
    frames.weight = stage.weight;
    const std::vector<double> q = kinematics.pose_active(user_pose_of(stage));
    for (std::size_t i = 0; i < frames_per_stage; ++i) {
      const hand::GloveFeatureFrame glove_frame = glove.frame_from_active(kinematics, q);
      std::map<std::string, hand::CalibrationFingerFrame> frame;
      for (const auto& [finger, pose] : glove_frame.local_tips)
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
  std::size_t count = 0;
  for (const std::string& pose : poses) {
    const std::vector<double> q_true = kinematics.pose_active(pose);
    const hand::HandKinematicsState truth_state = kinematics.state_from_active(q_true);
    const hand::RetargetTargetFrame target = hand::build_tip_target_frame(
        glove.frame_from_state(truth_state), rest.wrist_position, params, rest.wrist_rotation);
    const hand::RetargetSolveOutcome outcome = solver.solve(target, q_rest);
    for (const std::string& finger : params.finger_order) {
      const auto& tip = truth_state.tip_positions_wrist.at(finger);
      error.target_mm += 1000.0 * distance(target.target_positions.at(finger), tip);
      error.solved_mm += 1000.0 * distance(outcome.state.tip_positions_wrist.at(finger), tip);
      ++count;
    }
  }
  error.target_mm /= static_cast<double>(count);
  error.solved_mm /= static_cast<double>(count);
  return error;
}

}  // namespace kelto::test
