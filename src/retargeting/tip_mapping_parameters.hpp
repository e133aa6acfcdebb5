// Per-side settings that turn glove fingertip features into fingertip targets of the hand model.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "config/config.hpp"

namespace kelto::hand {

// Per-finger overrides of the dynamic palm offset; an unset value falls back to the global one.
struct DynamicPalmFingerConfig {
  std::optional<bool> enabled;
  std::optional<double> flat_z;
  std::optional<double> bent_z;
  std::optional<double> max_angle_deg;
  std::optional<double> extra_curl_z_drop_m;
};

// Per-finger overrides of the side-touch constraint.
struct SideTouchFingerConfig {
  std::optional<double> human_contact_threshold_m;
  std::optional<double> robot_clearance_m;
};

// One finger's side-touch plane on the human and on the robot side.
struct SideTouchPlane {
  std::array<double, 3> human_point{0.0, 0.0, 0.0};
  std::array<double, 3> human_normal{0.0, 0.0, 1.0};
  std::array<double, 3> robot_point{0.0, 0.0, 0.0};
  std::array<double, 3> robot_normal{0.0, 0.0, 1.0};
};

struct TipMappingParameters {
  std::vector<std::string> finger_order;
  std::array<double, 9> rotation_matrix{};
  double human_hand_scale = 1.0;
  std::array<double, 3> palm_offset_local{0.0, 0.0, 0.0};
  std::map<std::string, std::array<double, 3>> input_tip_offset_local;
  std::map<std::string, std::array<double, 9>> input_tip_rotation_offset_local;
  std::array<double, 9> input_base_rotation_offset{1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};

  bool pinch_enabled = true;
  std::vector<std::string> pinch_candidate_fingers{"first", "middle", "ring", "little"};
  double pinch_epsilon1_m = 0.03;
  double pinch_epsilon2_m = 0.01;
  std::map<std::string, double> pinch_epsilon2_m_by_finger;
  double pinch_switch_gain = 50.0;
  double pinch_thumb_compensation_weight = 0.0;
  double pinch_finger_compensation_weight = 1.0;
  std::map<std::string, double> pinch_finger_compensation_weight_by_finger;
  double pinch_thumb_orientation_compensation_weight = 0.0;
  double pinch_finger_orientation_compensation_weight = 0.0;
  double pinch_contact_distance_m = 0.0;

  bool tripod_pinch_enabled = false;
  std::vector<std::string> tripod_pinch_fingers{"first", "middle"};
  std::int32_t tripod_pinch_alignment_axis = 0;

  bool dynamic_palm_enabled = false;
  std::vector<std::string> dynamic_palm_fingers{"first", "middle", "ring", "little"};
  double dynamic_palm_flat_z = 0.11261015;
  double dynamic_palm_bent_z = 0.07261015;
  double dynamic_palm_max_angle_deg = 65.0;
  double dynamic_palm_extra_curl_z_drop_m = 0.0;
  double dynamic_palm_extra_curl_trigger_ratio = 0.95;
  double dynamic_palm_extra_curl_full_ratio = 0.65;
  std::map<std::string, DynamicPalmFingerConfig> dynamic_palm_by_finger;
  std::map<std::string, std::array<double, 3>> mcp_joint_position;
  std::map<std::string, std::array<double, 3>> mcp90_reference_vector;
  std::map<std::string, std::array<double, 3>> mcp_motion_plane_normal;

  bool dynamic_thumb_adduction_enabled = false;
  std::string dynamic_thumb_adduction_driver_axis = "y";
  double dynamic_thumb_adduction_open_driver_value = 0.1062;
  double dynamic_thumb_adduction_close_driver_value = 0.0697;
  double dynamic_thumb_adduction_close_fade_width = 0.01;
  std::array<double, 3> dynamic_thumb_adduction_open_bias_local{0.0, 0.0, 0.0};
  std::array<double, 3> dynamic_thumb_adduction_close_bias_local{0.0, 0.0, 0.0};

  bool side_touch_enabled = false;
  std::vector<std::string> side_touch_fingers{"first", "middle", "ring", "little"};
  double side_touch_human_contact_threshold_m = 0.012;
  double side_touch_robot_clearance_m = 0.006;
  double side_touch_mcp_trigger_angle_deg = 30.0;
  std::array<double, 3> side_touch_thumb_contact_offset_local{0.0, 0.0, 0.0};
  std::map<std::string, SideTouchFingerConfig> side_touch_by_finger;
  std::map<std::string, SideTouchPlane> side_touch_planes;

  // Reads and checks tip_mapping.<side>.* and retargeting.finger_order; side is "left" or "right".
  static TipMappingParameters from_config(const Config& config, const std::string& side);
};

}  // namespace kelto::hand
