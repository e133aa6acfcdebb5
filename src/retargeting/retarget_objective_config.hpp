// Weights and rules of the retargeting cost, read from the solver configuration of one hand side.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "config/config.hpp"

namespace kelto::hand {

// Soft equality q[index_a] - q[index_b] = offset between two active joints.
struct JointCouplingRegularization {
  std::string joint_a;
  std::string joint_b;
  std::uint64_t index_a = 0;
  std::uint64_t index_b = 0;
  double weight = 0.0;
  double offset = 0.0;
};

// Pulls the controlled joint towards target_rad once the driver joint is flexed past start_rad.
struct DeepFlexRegularization {
  std::string driver_joint;
  std::string controlled_joint;
  std::uint64_t driver_index = 0;
  std::uint64_t controlled_index = 0;
  double start_rad = 1.1;
  double full_rad = 1.45;
  double target_rad = 0.0;
  double weight = 0.0;
};

struct RetargetObjectiveConfig {
  double shape_weight = 5.0;
  double pinch_weight = 10.0;
  double pinch_pad_alignment_weight = 0.0;
  double orientation_weight = 0.005;
  std::map<std::string, double> orientation_by_finger;
  std::map<std::string, double> orientation_axis_weights{{"x", 1.0}, {"y", 0.0}, {"z", 0.0}};
  std::map<std::string, double> pinch_by_finger;
  std::string pinch_mode = "relative";
  double pinch_thumb_anchor_ratio = 0.5;
  bool pinch_fixed_anchor_ratio = false;
  std::vector<double> joint_regularization;
  std::vector<JointCouplingRegularization> joint_coupling;
  std::vector<DeepFlexRegularization> deep_flex;
  std::vector<double> velocity_regularization;

  // Reads solver.weights.*, the regularization keys and the coupling and deep-flex rules; configured joint
  // names are matched to the active joints with the side mirroring rules.
  static RetargetObjectiveConfig from_config(const Config& config,
                                             const std::vector<std::string>& active_joint_names);
};

}  // namespace kelto::hand
