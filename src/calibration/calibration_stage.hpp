// Captured calibration frames per held gesture (stage) and their reduction to one robust sample per
// finger. Glove values are in the glove's local frame (fingertip relative to the glove root); robot
// targets are in the robot hand's wrist frame.
#pragma once

#include <array>
#include <map>
#include <string>
#include <vector>

#include "kinematics/pinocchio_hand_kinematics.hpp"

namespace kelto::hand {

// One captured fingertip.
struct CalibrationFingerFrame {
  std::array<double, 3> position{0.0, 0.0, 0.0};
  std::array<double, 9> rotation{1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};  // row-major
};

// All frames of one stage.
struct CalibrationStageFrames {
  std::string stage_id;
  std::string reference_pose;        // robot pose the stage imitates; empty when none
  std::vector<std::string> fingers;  // fingers the stage observes
  double weight = 0.0;               // weight of the stage's observations
  std::vector<std::map<std::string, CalibrationFingerFrame>> frames;  // in capture order
};

struct AggregatedCalibrationStage {
  std::map<std::string, std::array<double, 3>> positions;  // component-wise median
  std::map<std::string, std::array<double, 9>> rotations;  // projected mean
};

// One aggregated stage as the fits use it.
struct CalibrationStageSample {
  std::string stage_id;
  std::map<std::string, std::array<double, 3>> positions;
  std::map<std::string, std::array<double, 9>> rotations;
  // Robot fingertip positions (wrist frame) at the stage's reference pose, for the stage's fingers;
  // empty when the stage has no reference pose.
  std::map<std::string, std::array<double, 3>> robot_targets;
  std::vector<std::string> fingers;
  double weight = 0.0;
};

// The proper rotation nearest to `m` (row-major).
std::array<double, 9> project_rotation_matrix(const std::array<double, 9>& m);

// Median position and projected mean rotation of each of `fingers` over the frames. Throws
// std::runtime_error when there is no frame or a frame lacks one of the fingers.
AggregatedCalibrationStage aggregate_calibration_stage(
    const std::vector<std::map<std::string, CalibrationFingerFrame>>& frames,
    const std::vector<std::string>& fingers);

// The first sample of the stage, or null. "mcp90" is also answered by a "fist" or "mcp90_pip90" sample,
// whichever comes first.
const CalibrationStageSample* sample_by_stage(const std::vector<CalibrationStageSample>& samples,
                                              const std::string& stage_id);

// Fingertip positions in the wrist frame of the model at a named pose of its pose library.
std::map<std::string, std::array<double, 3>> robot_reference_targets_local(
    PinocchioHandKinematics& kinematics, const std::string& pose_name,
    const std::vector<std::string>& fingers);

}  // namespace kelto::hand
