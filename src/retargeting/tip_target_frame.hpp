// Fingertip targets and weights for the solver, made from one glove sample.
#pragma once

#include <array>
#include <map>
#include <string>
#include <variant>

#include "retargeting/glove_feature_frame.hpp"
#include "retargeting/tip_mapping_parameters.hpp"

namespace kelto::hand {

using DiagnosticValue = std::variant<double, std::string>;

struct RetargetTargetFrame {
  std::string source;
  double timestamp_s = 0.0;
  std::array<double, 3> wrist_origin{0.0, 0.0, 0.0};
  std::array<double, 9> wrist_rotation{1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
  std::map<std::string, std::array<double, 3>> target_positions_world;
  std::map<std::string, std::array<double, 9>> target_rotations_world;
  std::map<std::string, std::array<double, 3>> target_positions;  // wrist frame
  std::map<std::string, std::array<double, 9>> target_rotations;  // wrist frame
  std::map<std::string, std::array<double, 3>> human_tip_positions;
  std::map<std::string, double> shape_weights;
  std::map<std::string, std::array<double, 3>> pinch_vectors;
  std::map<std::string, double> pinch_weights;
  std::map<std::string, double> orientation_weights;
  std::map<std::string, std::array<double, 3>> reference_points;
  std::map<std::string, double> reference_weights;
  std::map<std::string, DiagnosticValue> diagnostics;
};

// Maps the glove sample onto fingertip targets in the robot wrist frame and in the world, given the robot
// wrist pose of the current kinematic state. Throws std::out_of_range when a finger of the finger order
// has no local tip pose.
RetargetTargetFrame build_tip_target_frame(const GloveFeatureFrame& glove,
                                           const std::array<double, 3>& wrist_origin,
                                           const TipMappingParameters& params,
                                           const std::array<double, 9>& wrist_rotation);

// The same into `frame`, whose previous contents are replaced; the map entries whose keys come again
// are assigned in place, so that rebuilding the frame of a steady glove stream allocates nothing.
void build_tip_target_frame(const GloveFeatureFrame& glove, const std::array<double, 3>& wrist_origin,
                            const TipMappingParameters& params, const std::array<double, 9>& wrist_rotation,
                            RetargetTargetFrame& frame);

// Bend of a finger in degrees within [0, max_angle_deg], from the base-rotated glove tip positions.
double finger_bend_angle_deg(const std::string& finger,
                             const std::map<std::string, std::array<double, 3>>& tips,
                             const TipMappingParameters& params, double max_angle_deg);

}  // namespace kelto::hand
