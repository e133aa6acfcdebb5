#include "retargeting/tip_mapping_parameters.hpp"

#include <gtest/gtest.h>

#include "retargeting_test_support.hpp"

namespace kelto::hand {
namespace {

using test::config_from_yaml;
using test::expect_error;
using test::tip_config;

TEST(TipMappingParameters, DefaultsFromAnEmptySideSection) {
  const TipMappingParameters p = TipMappingParameters::from_config(tip_config(), "right");
  EXPECT_EQ(p.finger_order, (std::vector<std::string>{"thumb", "first", "middle", "ring", "little"}));
  EXPECT_EQ(p.rotation_matrix, (std::array<double, 9>{0, 0, -1, 0, 1, 0, 1, 0, 0}));
  EXPECT_EQ(p.input_tip_offset_local.size(), 5u);
  EXPECT_EQ(p.input_tip_rotation_offset_local.at("ring"), (std::array<double, 9>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
  EXPECT_EQ(p.tripod_pinch_fingers, (std::vector<std::string>{"first", "middle"}));
  ASSERT_EQ(p.side_touch_by_finger.count("first"), 1u);
  EXPECT_DOUBLE_EQ(*p.side_touch_by_finger.at("first").human_contact_threshold_m, 0.036);
  EXPECT_FALSE(p.side_touch_by_finger.at("first").robot_clearance_m.has_value());
}

TEST(TipMappingParameters, RejectsMalformedInput) {
  struct Case {
    std::string yaml;
    std::string side;
    std::string message;
  };
  const std::string R = "tip_mapping:\n  right:\n";
  const std::vector<Case> cases = {
      {"tip_mapping: {left: {}}\n", "right", "tip_mapping.right is required"},
      {"tip_mapping: {left: {}}\n", "Left", "side must be left or right"},
      {"retargeting: {finger_order: [thumb, first, thumb]}\ntip_mapping: {right: {}}\n", "right",
       "retargeting.finger_order contains duplicate names"},
      {"retargeting: {finger_order: [first]}\ntip_mapping: {right: {}}\n", "right",
       "retargeting.finger_order must contain thumb"},
      {"retargeting: {finger_order: []}\ntip_mapping: {right: {}}\n", "right",
       "retargeting.finger_order must not be empty"},
      {R + "    palm_offset_local: [1, 2]\n", "right",
       "Expected a 3D vector at: tip_mapping.right.palm_offset_local"},
      {R + "    input_tip_rotation_offset_local: {first: [[1, 0, 0], [0, 1, 0], [0, 0, -1]]}\n", "right",
       "tip_mapping.right.input_tip_rotation_offset_local.first must have determinant +1"},
      {R + "    input_base_rotation_offset: [[1.000002, 0, 0], [0, 1, 0], [0, 0, 1]]\n", "right",
       "tip_mapping.right.input_base_rotation_offset must be orthonormal"},
      {R + "    tripod_pinch: {alignment_axis: X}\n", "right",
       "tip_mapping.right.tripod_pinch.alignment_axis must be x, y, or z"},
      {R + "    tripod_pinch: {alignment_axis: xy}\n", "right",
       "tip_mapping.right.tripod_pinch.alignment_axis must be x, y, or z"},
      {R + "    dynamic_thumb_adduction_offset: {driver_axis: w}\n", "right",
       "tip_mapping.right.dynamic_thumb_adduction_offset.driver_axis must be x, y, or z"},
      {R + "    dynamic_thumb_adduction_offset: {close_fade_width: -0.001}\n", "right",
       "tip_mapping.right.dynamic_thumb_adduction_offset.close_fade_width must be >= 0"},
      {R + "    dynamic_palm_offset_by_finger_plane: {mcp_joint_position: {ring: [1, 2, 3, 4]}}\n", "right",
       "Expected a 3D vector at: "
       "tip_mapping.right.dynamic_palm_offset_by_finger_plane.mcp_joint_position.ring"},
  };
  for (const Case& c : cases) {
    const Config config = config_from_yaml(c.yaml);
    expect_error<std::runtime_error>([&] { TipMappingParameters::from_config(config, c.side); }, c.message);
  }
}

TEST(TipMappingParameters, ListsAreFilteredAndValuesClamped) {
  const TipMappingParameters p = TipMappingParameters::from_config(
      tip_config("    rotation_matrix: [[2, 0, 0], [0, 2, 0], [0, 0, 2]]\n"
                 "    tripod_pinch: {fingers: [thumb, ring, ring, little, first], alignment_axis: z}\n"
                 "    pinch_model:\n"
                 "      contact_distance_m: -0.01\n"
                 "      epsilon2_m_by_finger: {first: -1, thumb: 0.5}\n"
                 "      finger_compensation_weight_by_finger: {first: -1}\n"
                 "    dynamic_thumb_adduction_offset: {close_fade_width: 0}\n"
                 "    dynamic_palm_offset_by_finger_plane:\n"
                 "      fingers: [thumb, first, sixth, first]\n"
                 "      by_finger: {thumb: {bent_z: 0.05}, first: {bent_z: 0.01}}\n"
                 "    side_touch_plane_constraint:\n"
                 "      fingers: [thumb, middle, ring, pinky]\n"
                 "      by_finger: {first: {robot_clearance_m: 0.002}, middle: {}}\n"
                 "      planes: {middle: {robot_point: [0, 0, 1]}}\n"),
      "right");
  EXPECT_EQ(p.rotation_matrix[0], 2.0);  // taken without validation
  EXPECT_EQ(p.tripod_pinch_fingers, (std::vector<std::string>{"ring", "little"}));
  EXPECT_EQ(p.tripod_pinch_alignment_axis, 2);
  EXPECT_EQ(p.pinch_contact_distance_m, 0.0);
  EXPECT_EQ(p.pinch_epsilon2_m_by_finger, (std::map<std::string, double>{{"first", 0.0}}));
  EXPECT_EQ(p.pinch_finger_compensation_weight_by_finger.at("first"), -1.0);
  EXPECT_EQ(p.dynamic_thumb_adduction_close_fade_width, 0.0);
  EXPECT_EQ(p.dynamic_palm_fingers, (std::vector<std::string>{"thumb", "first", "first"}));
  ASSERT_EQ(p.dynamic_palm_by_finger.size(), 1u);  // only the thumb's overrides are read
  EXPECT_EQ(*p.dynamic_palm_by_finger.at("thumb").bent_z, 0.05);
  EXPECT_FALSE(p.dynamic_palm_by_finger.at("thumb").flat_z.has_value());
  EXPECT_EQ(p.side_touch_fingers, (std::vector<std::string>{"middle", "ring"}));
  EXPECT_DOUBLE_EQ(*p.side_touch_by_finger.at("first").human_contact_threshold_m, 0.036);
  EXPECT_EQ(*p.side_touch_by_finger.at("first").robot_clearance_m, 0.002);
  EXPECT_EQ(*p.side_touch_by_finger.at("middle").human_contact_threshold_m, 0.012);
  EXPECT_EQ(*p.side_touch_by_finger.at("middle").robot_clearance_m, 0.006);
  const SideTouchPlane& plane = p.side_touch_planes.at("middle");
  EXPECT_EQ(plane.robot_point, (std::array<double, 3>{0, 0, 1}));
  EXPECT_EQ(plane.human_normal, (std::array<double, 3>{0, 0, 1}));
}

}  // namespace
}  // namespace kelto::hand
