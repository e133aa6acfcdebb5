#include "retargeting/tip_mapping_parameters.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>

#include "kinematics/vec3.hpp"
#include "retargeting/names.hpp"

namespace kelto::hand {
namespace {

using detail::contains_name;

using detail::column;
using detail::determinant;
using detail::dot;
using detail::kIdentity;
using detail::Mat3;
using detail::Vec3;

Vec3 vec3(const Config& config, const std::string& key, const Vec3& fallback) {
  if (!config.contains(key)) return fallback;
  const std::vector<double> values = config.numbers(key);
  if (values.size() != 3) throw std::runtime_error("Expected a 3D vector at: " + key);
  return {values[0], values[1], values[2]};
}

Mat3 matrix_or(const Config& config, const std::string& key, const Mat3& fallback) {
  return config.contains(key) ? config.matrix3(key) : fallback;
}

template <typename T>
void read_number(const Config& config, const std::string& key, T& target) {
  if (config.contains(key)) target = static_cast<T>(config.number(key));
}

void read_boolean(const Config& config, const std::string& key, bool& target) {
  if (config.contains(key)) target = config.boolean(key);
}

void read_strings(const Config& config, const std::string& key, std::vector<std::string>& target) {
  if (config.contains(key)) target = config.strings(key);
}

// Orthonormal columns and determinant +1, both within 1e-6; a NaN entry fails the first test.
void check_rotation(const Mat3& m, const std::string& key) {
  auto column_dot = [&m](int a, int b) { return dot(column(m, a), column(m, b)); };
  auto within = [](double value) { return std::abs(value) <= 1e-6; };
  const bool orthonormal = within(column_dot(0, 0) - 1.0) && within(column_dot(1, 0)) &&
                           within(column_dot(2, 0)) && within(column_dot(1, 1) - 1.0) &&
                           within(column_dot(2, 1)) && within(column_dot(2, 2) - 1.0);
  if (!orthonormal) throw std::runtime_error(key + " must be orthonormal");
  if (std::abs(determinant(m) - 1.0) > 1e-6) throw std::runtime_error(key + " must have determinant +1");
}

// A non-negative value, with anything that is not >= 0 (NaN included) taken as 0.
double non_negative(double value) {
  return value >= 0.0 ? value : 0.0;
}

}  // namespace

TipMappingParameters TipMappingParameters::from_config(const Config& config, const std::string& side) {
  if (side != "left" && side != "right") throw std::runtime_error("side must be left or right");
  TipMappingParameters p;

  p.finger_order = {"thumb", "first", "middle", "ring", "little"};
  read_strings(config, "retargeting.finger_order", p.finger_order);
  if (p.finger_order.empty()) throw std::runtime_error("retargeting.finger_order must not be empty");
  if (std::set<std::string>(p.finger_order.begin(), p.finger_order.end()).size() != p.finger_order.size()) {
    throw std::runtime_error("retargeting.finger_order contains duplicate names");
  }
  if (!contains_name(p.finger_order, "thumb")) {
    throw std::runtime_error("retargeting.finger_order must contain thumb");
  }

  const std::string P = "tip_mapping." + side;
  if (!config.contains(P)) throw std::runtime_error(P + " is required");

  p.rotation_matrix =
      matrix_or(config, P + ".rotation_matrix", {0.0, 0.0, -1.0, 0.0, 1.0, 0.0, 1.0, 0.0, 0.0});
  read_number(config, P + ".human_hand_scale", p.human_hand_scale);
  p.palm_offset_local = vec3(config, P + ".palm_offset_local", {0.0, 0.0, 0.0});
  {
    const std::string key = P + ".input_base_rotation_offset";
    p.input_base_rotation_offset = matrix_or(config, key, kIdentity);
    check_rotation(p.input_base_rotation_offset, key);
  }
  for (const std::string& f : p.finger_order) {
    p.input_tip_offset_local[f] = vec3(config, P + ".input_tip_offset_local." + f, {0.0, 0.0, 0.0});
    const std::string key = P + ".input_tip_rotation_offset_local." + f;
    const Mat3 rotation = matrix_or(config, key, kIdentity);
    check_rotation(rotation, key);
    p.input_tip_rotation_offset_local[f] = rotation;
  }

  // Pinch model.
  const std::string pinch = P + ".pinch_model";
  read_boolean(config, pinch + ".enabled", p.pinch_enabled);
  read_strings(config, pinch + ".candidate_fingers", p.pinch_candidate_fingers);
  read_number(config, pinch + ".epsilon1_m", p.pinch_epsilon1_m);
  read_number(config, pinch + ".epsilon2_m", p.pinch_epsilon2_m);
  read_number(config, pinch + ".switch_gain", p.pinch_switch_gain);
  read_number(config, pinch + ".thumb_compensation_weight", p.pinch_thumb_compensation_weight);
  read_number(config, pinch + ".finger_compensation_weight", p.pinch_finger_compensation_weight);
  read_number(config, pinch + ".thumb_orientation_compensation_weight",
              p.pinch_thumb_orientation_compensation_weight);
  read_number(config, pinch + ".finger_orientation_compensation_weight",
              p.pinch_finger_orientation_compensation_weight);
  if (config.contains(pinch + ".contact_distance_m")) {
    p.pinch_contact_distance_m = non_negative(config.number(pinch + ".contact_distance_m"));
  }
  for (const std::string& f : p.finger_order) {
    if (f == "thumb") continue;
    const std::string eps_key = pinch + ".epsilon2_m_by_finger." + f;
    if (config.contains(eps_key)) p.pinch_epsilon2_m_by_finger[f] = non_negative(config.number(eps_key));
    const std::string weight_key = pinch + ".finger_compensation_weight_by_finger." + f;
    if (config.contains(weight_key))
      p.pinch_finger_compensation_weight_by_finger[f] = config.number(weight_key);
  }

  // Tripod pinch: at most two distinct non-thumb fingers of the finger order.
  const std::string tripod = P + ".tripod_pinch";
  read_boolean(config, tripod + ".enabled", p.tripod_pinch_enabled);
  {
    std::vector<std::string> configured{"first", "middle"};
    read_strings(config, tripod + ".fingers", configured);
    p.tripod_pinch_fingers.clear();
    for (const std::string& name : configured) {
      if (name != "thumb" && contains_name(p.finger_order, name) &&
          !contains_name(p.tripod_pinch_fingers, name) && p.tripod_pinch_fingers.size() < 2) {
        p.tripod_pinch_fingers.push_back(name);
      }
    }
    std::string axis = "x";
    if (config.contains(tripod + ".alignment_axis")) axis = config.string(tripod + ".alignment_axis");
    if (axis == "x") {
      p.tripod_pinch_alignment_axis = 0;
    } else if (axis == "y") {
      p.tripod_pinch_alignment_axis = 1;
    } else if (axis == "z") {
      p.tripod_pinch_alignment_axis = 2;
    } else {
      throw std::runtime_error(tripod + ".alignment_axis must be x, y, or z");
    }
  }

  // Dynamic palm offset.
  const std::string D = P + ".dynamic_palm_offset_by_finger_plane";
  read_boolean(config, D + ".enabled", p.dynamic_palm_enabled);
  {
    std::vector<std::string> configured = p.dynamic_palm_fingers;
    read_strings(config, D + ".fingers", configured);
    p.dynamic_palm_fingers.clear();
    for (const std::string& name : configured) {
      if (contains_name(p.finger_order, name)) p.dynamic_palm_fingers.push_back(name);
    }
  }
  read_number(config, D + ".flat_z", p.dynamic_palm_flat_z);
  read_number(config, D + ".bent_z", p.dynamic_palm_bent_z);
  read_number(config, D + ".max_angle_deg", p.dynamic_palm_max_angle_deg);
  read_number(config, D + ".extra_curl_z_drop_m", p.dynamic_palm_extra_curl_z_drop_m);
  read_number(config, D + ".extra_curl_trigger_ratio", p.dynamic_palm_extra_curl_trigger_ratio);
  read_number(config, D + ".extra_curl_full_ratio", p.dynamic_palm_extra_curl_full_ratio);
  if (contains_name(p.finger_order, "thumb") && config.contains(D + ".by_finger.thumb")) {
    const std::string T = D + ".by_finger.thumb";
    DynamicPalmFingerConfig thumb;
    if (config.contains(T + ".enabled")) thumb.enabled = config.boolean(T + ".enabled");
    if (config.contains(T + ".flat_z")) thumb.flat_z = config.number(T + ".flat_z");
    if (config.contains(T + ".bent_z")) thumb.bent_z = config.number(T + ".bent_z");
    if (config.contains(T + ".max_angle_deg")) thumb.max_angle_deg = config.number(T + ".max_angle_deg");
    if (config.contains(T + ".extra_curl_z_drop_m")) {
      thumb.extra_curl_z_drop_m = config.number(T + ".extra_curl_z_drop_m");
    }
    p.dynamic_palm_by_finger["thumb"] = thumb;
  }
  for (const std::string& f : p.finger_order) {
    const std::pair<const char*, std::map<std::string, Vec3>*> tables[] = {
        {"mcp_joint_position", &p.mcp_joint_position},
        {"mcp90_reference_vector", &p.mcp90_reference_vector},
        {"mcp_motion_plane_normal", &p.mcp_motion_plane_normal},
    };
    for (const auto& [name, table] : tables) {
      const std::string key = D + "." + name + "." + f;
      if (config.contains(key)) (*table)[f] = vec3(config, key, {0.0, 0.0, 0.0});
    }
  }

  // Dynamic thumb adduction offset.
  const std::string A = P + ".dynamic_thumb_adduction_offset";
  read_boolean(config, A + ".enabled", p.dynamic_thumb_adduction_enabled);
  if (config.contains(A + ".driver_axis")) {
    p.dynamic_thumb_adduction_driver_axis = config.string(A + ".driver_axis");
  }
  if (p.dynamic_thumb_adduction_driver_axis != "x" && p.dynamic_thumb_adduction_driver_axis != "y" &&
      p.dynamic_thumb_adduction_driver_axis != "z") {
    throw std::runtime_error(A + ".driver_axis must be x, y, or z");
  }
  read_number(config, A + ".open_driver_value", p.dynamic_thumb_adduction_open_driver_value);
  read_number(config, A + ".close_driver_value", p.dynamic_thumb_adduction_close_driver_value);
  read_number(config, A + ".close_fade_width", p.dynamic_thumb_adduction_close_fade_width);
  if (p.dynamic_thumb_adduction_close_fade_width < 0.0) {
    throw std::runtime_error(A + ".close_fade_width must be >= 0");
  }
  p.dynamic_thumb_adduction_open_bias_local = vec3(config, A + ".open_bias_local", {0.0, 0.0, 0.0});
  p.dynamic_thumb_adduction_close_bias_local = vec3(config, A + ".close_bias_local", {0.0, 0.0, 0.0});

  // Side-touch plane constraint.
  const std::string S = P + ".side_touch_plane_constraint";
  read_boolean(config, S + ".enabled", p.side_touch_enabled);
  read_number(config, S + ".human_contact_threshold_m", p.side_touch_human_contact_threshold_m);
  read_number(config, S + ".robot_clearance_m", p.side_touch_robot_clearance_m);
  read_number(config, S + ".mcp_trigger_angle_deg", p.side_touch_mcp_trigger_angle_deg);
  p.side_touch_thumb_contact_offset_local = vec3(config, S + ".thumb_contact_offset_local", {0.0, 0.0, 0.0});
  {
    std::vector<std::string> configured = p.side_touch_fingers;
    read_strings(config, S + ".fingers", configured);
    p.side_touch_fingers.clear();
    for (const std::string& name : configured) {
      if (name != "thumb" && contains_name(p.finger_order, name)) p.side_touch_fingers.push_back(name);
    }
  }
  p.side_touch_by_finger["first"].human_contact_threshold_m = 3.0 * p.side_touch_human_contact_threshold_m;
  for (const std::string& f : p.finger_order) {
    if (f == "thumb") continue;
    const std::string by_finger = S + ".by_finger." + f;
    if (config.contains(by_finger)) {
      SideTouchFingerConfig& entry = p.side_touch_by_finger[f];
      if (config.contains(by_finger + ".human_contact_threshold_m")) {
        entry.human_contact_threshold_m = config.number(by_finger + ".human_contact_threshold_m");
      } else if (!entry.human_contact_threshold_m) {
        entry.human_contact_threshold_m = p.side_touch_human_contact_threshold_m;
      }
      if (config.contains(by_finger + ".robot_clearance_m")) {
        entry.robot_clearance_m = config.number(by_finger + ".robot_clearance_m");
      } else if (!entry.robot_clearance_m) {
        entry.robot_clearance_m = p.side_touch_robot_clearance_m;
      }
    }
    const std::string plane_key = S + ".planes." + f;
    if (config.contains(plane_key)) {
      SideTouchPlane plane;
      plane.human_point = vec3(config, plane_key + ".human_point", {0.0, 0.0, 0.0});
      plane.human_normal = vec3(config, plane_key + ".human_normal", {0.0, 0.0, 1.0});
      plane.robot_point = vec3(config, plane_key + ".robot_point", {0.0, 0.0, 0.0});
      plane.robot_normal = vec3(config, plane_key + ".robot_normal", {0.0, 0.0, 1.0});
      p.side_touch_planes[f] = plane;
    }
  }
  return p;
}

}  // namespace kelto::hand
