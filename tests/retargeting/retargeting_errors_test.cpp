// The error texts of the retargeting library that a caller sees, one row per failure class.
#include <gtest/gtest.h>

#include <functional>

#include "retargeting/retarget_objective.hpp"
#include "retargeting/retarget_objective_config.hpp"
#include "retargeting_test_support.hpp"

namespace kelto::hand {
namespace {

using test::config_from_yaml;
using test::ToyHand;

TEST(RetargetingErrorTexts, OneRowPerText) {
  const auto mapping = [](const std::string& yaml, const std::string& side = "right") {
    return [yaml, side] { TipMappingParameters::from_config(config_from_yaml(yaml), side); };
  };
  const std::vector<std::string> active{"r_index_mcp", "r_index_pip", "right_thumb_cmc", "thumb_ipR"};
  const auto rules = [&active](const std::string& yaml) {
    return [yaml, &active] {
      RetargetObjectiveConfig::from_config(config_from_yaml("solver: " + yaml), active);
    };
  };
  const std::string R = "tip_mapping:\n  right:\n    ";
  const std::string unknown = "solver.joint_coupling_regularization references unknown active joint: ";
  const std::string flex = "{deep_flex_regularization: {weight: 1, pairs: [{driver_joint: ";

  const ToyHand hand;
  const std::vector<double> q(ToyHand::kJoints, 0.1), shorter(ToyHand::kJoints - 1, 0.1);
  RetargetObjectiveConfig c;
  c.joint_regularization = c.velocity_regularization = q;
  const RetargetObjective objective(c, q, hand.fingers);
  c.pinch_mode = "absolute";
  RetargetTargetFrame target;
  for (const std::string& f : hand.fingers) {
    target.target_positions[f] = {};
    target.target_rotations[f] = test::kIdentity;
  }
  HandKinematicsState no_thumb = hand.state(q);
  no_thumb.tip_positions_wrist.erase("thumb");
  HandKinematicsLinearization narrow = hand.linearize(q);
  narrow.tip_position_jacobians["middle"] = {3, 3, std::vector<double>(9)};
  GloveFeatureFrame no_ring;
  for (const char* f : {"thumb", "first", "middle", "little"}) no_ring.local_tips[f] = Pose{};
  const TipMappingParameters params = TipMappingParameters::from_config(test::tip_config(), "right");
  // A tripod finger that has no tip.
  TipMappingParameters tripod = params;
  tripod.finger_order = {"thumb", "first", "middle", "little"};
  tripod.tripod_pinch_enabled = true;
  tripod.tripod_pinch_fingers = {"first", "ring"};
  test::SolverSetup s(test::hand_config());
  Config coarse = s.config;
  coarse.set_strings("solver.coarse_to_fine.variable_joint_names", {"thumb_elbow"});

  const std::vector<std::pair<std::function<void()>, std::string>> rows = {
      {mapping("tip_mapping: {left: {}}\n", "Left"), "side must be left or right"},
      {mapping("tip_mapping: {right: {}}\nretargeting: {finger_order: [thumb, first, thumb]}\n"),
       "retargeting.finger_order contains duplicate names"},
      {mapping(R + "dynamic_palm_offset_by_finger_plane: {mcp_joint_position: {ring: [1, 2, 3, 4]}}\n"),
       "Expected a 3D vector at: "
       "tip_mapping.right.dynamic_palm_offset_by_finger_plane.mcp_joint_position.ring"},
      // Rotations: a reflection, and a matrix off by more than the tolerance.
      {mapping(R + "input_tip_rotation_offset_local: {first: [[1, 0, 0], [0, 1, 0], [0, 0, -1]]}\n"),
       "tip_mapping.right.input_tip_rotation_offset_local.first must have determinant +1"},
      {mapping(R + "input_base_rotation_offset: [[1.000002, 0, 0], [0, 1, 0], [0, 0, 1]]\n"),
       "tip_mapping.right.input_base_rotation_offset must be orthonormal"},
      {mapping(R + "tripod_pinch: {alignment_axis: X}\n"),
       "tip_mapping.right.tripod_pinch.alignment_axis must be x, y, or z"},
      // A dropped coupling (weight 0) still resolves its names; deep-flex names report the coupling key.
      {rules("{joint_coupling_regularization: [{joint_a: index_mcp, joint_b: wrist, weight: 0}]}"),
       unknown + "wrist"},
      {rules(flex + "ghost, controlled_joint: index_pip}]}}"), unknown + "ghost"},
      {rules(flex + "index_mcp, controlled_joint: index_pip, start_rad: 0.5, full_rad: 0.5}]}}"),
       "solver.deep_flex_regularization start_rad and full_rad must differ"},
      {[&] { RetargetObjective(c, q, hand.fingers); }, "Unsupported solver.weights.pinch_mode: absolute"},
      {[&] { objective.linearized_residual_and_jacobian(hand.linearize(q), target, q, shorter); },
       "Objective joint vectors have different sizes"},
      {[&] { objective.residual_terms(no_thumb, target, q, q); }, "out_of_range: map::at:  key not found"},
      {[&] { objective.linearized_residual_and_jacobian(narrow, target, q, q); },
       "Objective Jacobian block has the wrong column count"},
      {[&] { build_tip_target_frame(no_ring, {}, params, test::kIdentity); },
       "out_of_range: map::at:  key not found"},
      {[&] { build_tip_target_frame(no_ring, {}, tripod, test::kIdentity); },
       "out_of_range: map::at:  key not found"},
      {[&] { s.solver.solve({}, {0.0}); }, "Solver previous joint vector has the wrong size"},
      {[&] { PinocchioGNSolver(s.model, coarse); },
       "solver.coarse_to_fine.variable_joint_names references unknown active joint: thumb_elbow"},
  };
  for (const auto& [call, text] : rows) EXPECT_EQ(test::error_text(call), text);
}

}  // namespace
}  // namespace kelto::hand
