// A synthetic glove user of the bundled hand: the calibration stages of the hand's profile captured by a
// glove whose readings follow known tip mapping values (hand scale, base tilt, ...), and the fingertip
// error of retargeting that user's poses with a given configuration.
#pragma once

#include <Eigen/Dense>
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

// A copy of the hand configuration whose glove frame sits level on the model's flat hand: the glove z
// axis (through the tip mapping rotation) is the normal of the plane of the non-thumb fingertips of the
// open and close poses, and the palm offset lies in that plane. The base rotation fit takes exactly this
// for granted, so a user of this configuration can be calibrated without a systematic tilt.
inline hand::Config level_glove_config(const hand::Config& config, const std::string& side) {
  hand::PinocchioHandKinematics kinematics(config, side);
  std::vector<Vec3> tips;
  for (const char* pose : {"open", "five_close"}) {
    const hand::HandKinematicsState state = kinematics.state_from_active(kinematics.pose_active(pose));
    for (const auto& [finger, tip] : state.tip_positions_wrist) {
      if (finger != "thumb") tips.push_back(tip);
    }
  }
  Eigen::Vector3d centre = Eigen::Vector3d::Zero();
  for (const Vec3& t : tips) centre += Eigen::Vector3d(t[0], t[1], t[2]) / static_cast<double>(tips.size());
  Eigen::MatrixXd spread(tips.size(), 3);
  for (std::size_t i = 0; i < tips.size(); ++i) {
    spread.row(static_cast<Eigen::Index>(i)) = Eigen::Vector3d(tips[i][0], tips[i][1], tips[i][2]) - centre;
  }
  const Eigen::JacobiSVD<Eigen::MatrixXd> svd(spread, Eigen::ComputeFullV);
  Eigen::Vector3d normal = svd.matrixV().col(2);

  const std::string prefix = "tip_mapping." + side;
  const Mat3 m = config.matrix3(prefix + ".rotation_matrix");
  Eigen::Matrix3d mapping;
  mapping << m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8];
  const Eigen::Vector3d glove_z = mapping.col(2);
  if (normal.dot(glove_z) < 0.0) normal = -normal;
  const Eigen::Matrix3d turn = Eigen::Quaterniond::FromTwoVectors(glove_z, normal).toRotationMatrix();
  const Eigen::Matrix3d level = turn * mapping;

  const Vec3 p = config.numbers(prefix + ".palm_offset_local").size() == 3
                     ? Vec3{config.numbers(prefix + ".palm_offset_local")[0],
                            config.numbers(prefix + ".palm_offset_local")[1],
                            config.numbers(prefix + ".palm_offset_local")[2]}
                     : Vec3{0, 0, 0};
  Eigen::Vector3d palm(p[0], p[1], p[2]);
  palm -= (palm - centre).dot(normal) * normal;

  hand::Config out = config;
  out.set_matrix3(prefix + ".rotation_matrix",
                  {level(0, 0), level(0, 1), level(0, 2), level(1, 0), level(1, 1), level(1, 2), level(2, 0),
                   level(2, 1), level(2, 2)});
  out.set_vec3(prefix + ".palm_offset_local", {palm.x(), palm.y(), palm.z()});
  return out;
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
