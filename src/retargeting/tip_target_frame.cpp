#include "retargeting/tip_target_frame.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

#include "kinematics/frame_math.hpp"
#include "kinematics/vec3.hpp"
#include "retargeting/map_lookup.hpp"
#include "retargeting/names.hpp"

namespace kelto::hand {
namespace {

using detail::contains_name;
using detail::kIdentity;

using detail::add;
using detail::column;
using detail::cross;
using detail::dot;
using detail::finger_at;
using detail::Mat3;
using detail::mul;
using detail::norm;
using detail::scaled;
using detail::sub;
using detail::Vec3;

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegPerRad = 180.0 / kPi;

// Pinch switch: close to 1 well inside epsilon1, 0.5 at epsilon1, close to 0 beyond.
double pinch_sigmoid(double distance, const TipMappingParameters& p) {
  const double c = std::clamp(p.pinch_switch_gain * (distance - p.pinch_epsilon1_m), -60.0, 60.0);
  return 1.0 / (1.0 + std::exp(c));
}

double side_touch_threshold(const TipMappingParameters& p, const std::string& finger) {
  const auto it = p.side_touch_by_finger.find(finger);
  if (it != p.side_touch_by_finger.end() && it->second.human_contact_threshold_m) {
    return *it->second.human_contact_threshold_m;
  }
  return p.side_touch_human_contact_threshold_m;
}

// The entry of `key` in `map`, made when missing from the node `spare` holds for that key (so that a
// frame rebuilt with the keys of its previous contents allocates nothing), else from a new node. A new
// entry starts value-initialised as with operator[]; a diagnostics entry is always written whole, so a
// reused one keeps its text buffer.
template <typename Map>
typename Map::mapped_type& put(Map& map, Map& spare, const std::string& key) {
  const auto found = map.find(key);
  if (found != map.end()) return found->second;
  const auto old = spare.find(key);
  if (old == spare.end()) return map.emplace(key, typename Map::mapped_type{}).first->second;
  auto node = spare.extract(old);
  if constexpr (!std::is_same_v<typename Map::mapped_type, DiagnosticValue>) node.mapped() = {};
  return map.insert(std::move(node)).position->second;
}

// Moves every map of `frame` into `spare`, leaving `frame`'s maps empty.
void take_maps(RetargetTargetFrame& frame, RetargetTargetFrame& spare) {
  spare.target_positions_world.swap(frame.target_positions_world);
  spare.target_rotations_world.swap(frame.target_rotations_world);
  spare.target_positions.swap(frame.target_positions);
  spare.target_rotations.swap(frame.target_rotations);
  spare.human_tip_positions.swap(frame.human_tip_positions);
  spare.shape_weights.swap(frame.shape_weights);
  spare.pinch_vectors.swap(frame.pinch_vectors);
  spare.pinch_weights.swap(frame.pinch_weights);
  spare.orientation_weights.swap(frame.orientation_weights);
  spare.reference_points.swap(frame.reference_points);
  spare.reference_weights.swap(frame.reference_weights);
  spare.diagnostics.swap(frame.diagnostics);
}

struct DynamicPalmDebug {
  double z = 0.0;
  double bend_deg = 0.0;
  double extra_curl_alpha = 0.0;
};

}  // namespace

double finger_bend_angle_deg(const std::string& finger, const std::map<std::string, Vec3>& tips,
                             const TipMappingParameters& params, double max_angle_deg) {
  const Vec3& b = finger_at(tips, finger);
  const double A = std::max(max_angle_deg, 1e-6);
  const auto mcp = params.mcp_joint_position.find(finger);
  const auto ref_it = params.mcp90_reference_vector.find(finger);
  if (mcp == params.mcp_joint_position.end() || ref_it == params.mcp90_reference_vector.end()) {
    const double n = norm(b);
    const double a = n > 1e-9 ? std::asin(std::min(std::abs(b[2]) / n, 1.0)) * kDegPerRad : 0.0;
    return std::min(A, std::max(a, 0.0));
  }
  const Vec3 v = sub(b, mcp->second);
  const Vec3& ref = ref_it->second;
  const double nv = norm(v);
  const double nr = norm(ref);
  double m = 0.0;
  const auto normal = params.mcp_motion_plane_normal.find(finger);
  if (normal == params.mcp_motion_plane_normal.end()) {
    double a = 0.0;
    if (nv > 1e-9 && nr > 1e-9) a = std::acos(std::clamp(dot(v, ref) / (nv * nr), -1.0, 1.0)) * kDegPerRad;
    m = a / A;
  } else {
    const double nn = norm(normal->second);
    if (nv > 1e-9 && nr > 1e-9 && nn > 1e-9) {
      const Vec3 v_hat = scaled(v, 1.0 / nv);
      const Vec3 r_hat = scaled(ref, 1.0 / nr);
      const Vec3 n_hat = scaled(normal->second, 1.0 / nn);
      const double a = std::atan2(dot(cross(r_hat, v_hat), n_hat), dot(r_hat, v_hat)) * kDegPerRad;
      m = a >= 0.0 ? a / A : (-a - A) / std::max(180.0 - A, 1e-6);
    }
  }
  return A * (1.0 - std::clamp(m, 0.0, 1.0));
}

RetargetTargetFrame build_tip_target_frame(const GloveFeatureFrame& glove, const Vec3& wrist_origin,
                                           const TipMappingParameters& params, const Mat3& wrist_rotation) {
  RetargetTargetFrame frame;
  build_tip_target_frame(glove, wrist_origin, params, wrist_rotation, frame);
  return frame;
}

void build_tip_target_frame(const GloveFeatureFrame& glove, const Vec3& wrist_origin,
                            const TipMappingParameters& params, const Mat3& wrist_rotation,
                            RetargetTargetFrame& frame) {
  RetargetTargetFrame spare;
  take_maps(frame, spare);
  std::string key_text;
  auto key = [&key_text](const char* prefix,
                         const std::string& suffix = std::string()) -> const std::string& {
    key_text.assign(prefix).append(suffix);
    return key_text;
  };
  frame.source = glove.source;
  frame.timestamp_s = glove.timestamp_s;
  frame.wrist_origin = wrist_origin;
  frame.wrist_rotation = wrist_rotation;

  const std::vector<std::string>& F = params.finger_order;
  const Mat3& M = params.rotation_matrix;
  const Mat3& B = params.input_base_rotation_offset;
  const Mat3 MB = mul(M, B);
  const double s = params.human_hand_scale;
  static const Vec3 kZero{0.0, 0.0, 0.0};
  // 1. Base mapping.
  std::map<std::string, Vec3> base_tips;
  for (const std::string& f : F) {
    const Pose& tip_pose = finger_at(glove.local_tips, f);
    const Vec3& o = detail::value_or(params.input_tip_offset_local, f, kZero);
    const Vec3 tip = add(mul(tip_pose.rotation, o), tip_pose.position);
    const Vec3 b = mul(B, tip);
    base_tips[f] = b;
    put(frame.human_tip_positions, spare.human_tip_positions, f) = mul(M, b);
    const Mat3 R =
        mul(tip_pose.rotation, detail::value_or(params.input_tip_rotation_offset_local, f, kIdentity));
    put(frame.target_rotations, spare.target_rotations, f) =
        build_rotation_from_xz(mul(MB, column(R, 0)), mul(MB, column(R, 2)));
  }
  auto& h = frame.human_tip_positions;

  // 2. Tripod pinch: the two tripod fingers close on their midpoint, the thumb follows it.
  double tripod_weight = 0.0;
  if (params.tripod_pinch_enabled && params.tripod_pinch_fingers.size() == 2) {
    const std::string& fa = params.tripod_pinch_fingers[0];
    const std::string& fb = params.tripod_pinch_fingers[1];
    Vec3& ha = finger_at(h, fa);
    Vec3& hb = finger_at(h, fb);
    Vec3& ht = finger_at(h, std::string("thumb"));
    const double w =
        std::min(pinch_sigmoid(norm(sub(ha, ht)), params), pinch_sigmoid(norm(sub(hb, ht)), params));
    if (w > 0.0) {
      const Vec3 m = scaled(add(ha, hb), 0.5);
      const Vec3 e = sub(hb, ha);
      const int k = params.tripod_pinch_alignment_axis;
      Vec3 qa = m;
      Vec3 qb = m;
      qa[k] -= e[k] / 2.0;
      qb[k] += e[k] / 2.0;
      ha = add(scaled(ha, 1.0 - w), scaled(qa, w));
      hb = add(scaled(hb, 1.0 - w), scaled(qb, w));
      ht = add(scaled(ht, 1.0 - w), scaled(m, w));
      tripod_weight = w;
    }
  }

  // 3. Positions with the (optionally dynamic) palm offset.
  std::map<std::string, DynamicPalmDebug> palm_debug;
  for (const std::string& f : F) {
    Vec3 P = params.palm_offset_local;
    if (params.dynamic_palm_enabled) {
      const auto entry = params.dynamic_palm_by_finger.find(f);
      const bool has_entry = entry != params.dynamic_palm_by_finger.end();
      bool takes_part = contains_name(params.dynamic_palm_fingers, f) || has_entry;
      if (has_entry && entry->second.enabled && !*entry->second.enabled) takes_part = false;
      if (takes_part) {
        DynamicPalmFingerConfig cfg = has_entry ? entry->second : DynamicPalmFingerConfig{};
        const double flat_z = cfg.flat_z.value_or(params.dynamic_palm_flat_z);
        const double bent_z = cfg.bent_z.value_or(params.dynamic_palm_bent_z);
        const double max_angle = cfg.max_angle_deg.value_or(params.dynamic_palm_max_angle_deg);
        const double drop = cfg.extra_curl_z_drop_m.value_or(params.dynamic_palm_extra_curl_z_drop_m);
        const double bend = finger_bend_angle_deg(f, base_tips, params, max_angle);
        const double r = std::clamp(bend / std::max(max_angle, 1e-6), 0.0, 1.0);
        double e = 0.0;
        const auto mcp = params.mcp_joint_position.find(f);
        const auto ref = params.mcp90_reference_vector.find(f);
        if (mcp != params.mcp_joint_position.end() && ref != params.mcp90_reference_vector.end()) {
          const Vec3 v = sub(finger_at(base_tips, f), mcp->second);
          const double nr = norm(ref->second);
          if (norm(v) > 1e-9 && nr > 1e-9) {
            const double q = dot(v, ref->second) / (nr * nr);
            const double trigger = params.dynamic_palm_extra_curl_trigger_ratio;
            const double full = params.dynamic_palm_extra_curl_full_ratio;
            e = r * std::clamp((trigger - q) / std::max(trigger - full, 1e-6), 0.0, 1.0);
          }
        }
        const double z = (1.0 - r) * flat_z + r * bent_z - e * drop;
        P[2] = z;
        palm_debug[f] = {z, bend, e};
      }
    }
    put(frame.target_positions, spare.target_positions, f) = add(P, scaled(finger_at(h, f), s));
  }

  // 4. Dynamic thumb adduction offset.
  bool adduction_applied = false;
  double adduction_alpha = 0.0;
  Vec3 adduction_bias{0.0, 0.0, 0.0};
  const auto thumb_base = base_tips.find("thumb");
  if (params.dynamic_thumb_adduction_enabled && thumb_base != base_tips.end()) {
    const std::string& axis = params.dynamic_thumb_adduction_driver_axis;
    const int k = axis == "x" ? 0 : (axis == "y" ? 1 : 2);
    const double v = thumb_base->second[k];
    const double open = params.dynamic_thumb_adduction_open_driver_value;
    const double close = params.dynamic_thumb_adduction_close_driver_value;
    const double span = std::abs(open - close);
    if (span > 1e-9) {
      double t = v - close;
      if (open - close <= 0.0) t = -t;
      if (t >= 0.0 && t <= span) {
        adduction_alpha = 1.0 - t / span;
        adduction_bias = add(scaled(params.dynamic_thumb_adduction_open_bias_local, 1.0 - adduction_alpha),
                             scaled(params.dynamic_thumb_adduction_close_bias_local, adduction_alpha));
        adduction_applied = true;
      } else if (t < 0.0) {
        const double fade = params.dynamic_thumb_adduction_close_fade_width;
        if (fade > 1e-9 && t >= -fade) {
          const double u = (t + fade) / fade;
          adduction_alpha = u * u * (3.0 - 2.0 * u);
          adduction_bias = scaled(params.dynamic_thumb_adduction_close_bias_local, adduction_alpha);
          adduction_applied = true;
        }
      }
    }
    if (adduction_applied) {
      Vec3& thumb = finger_at(frame.target_positions, std::string("thumb"));
      thumb = add(thumb, adduction_bias);
    }
  }

  // 5. Side-touch plane constraint: keeps the thumb at a clearance from the partner finger's side.
  bool side_touch_applied = false;
  std::string side_partner;
  double side_alpha = 0.0, side_d = 0.0, side_g = 0.0, side_thr = 0.0, side_bend = 0.0;
  Vec3 side_adjustment{0.0, 0.0, 0.0};
  if (params.side_touch_enabled && thumb_base != base_tips.end()) {
    const Vec3 c = add(thumb_base->second, params.side_touch_thumb_contact_offset_local);
    double best_ratio = std::numeric_limits<double>::infinity();
    for (const std::string& f : params.side_touch_fingers) {
      const auto plane = params.side_touch_planes.find(f);
      if (plane == params.side_touch_planes.end()) continue;
      double max_angle = params.dynamic_palm_max_angle_deg;
      const auto palm = params.dynamic_palm_by_finger.find(f);
      if (palm != params.dynamic_palm_by_finger.end() && palm->second.max_angle_deg) {
        max_angle = *palm->second.max_angle_deg;
      }
      const double bend = finger_bend_angle_deg(f, base_tips, params, max_angle);
      if (!(bend >= params.side_touch_mcp_trigger_angle_deg)) continue;
      const double nn = norm(plane->second.human_normal);
      if (!(nn > 1e-9)) continue;
      const double thr = std::max(side_touch_threshold(params, f), 1e-9);
      const double d = dot(sub(c, plane->second.human_point), scaled(plane->second.human_normal, 1.0 / nn));
      if (!(std::abs(d) <= thr)) continue;
      const double ratio = std::abs(d) / thr;
      if (side_partner.empty() || ratio < best_ratio) {
        best_ratio = ratio;
        side_partner = f;
        side_d = d;
        side_thr = thr;
        side_bend = bend;
      }
    }
    if (!side_partner.empty()) {
      const SideTouchPlane& plane = finger_at(params.side_touch_planes, side_partner);
      const double nr = norm(plane.robot_normal);
      if (nr > 1e-9) {
        const Vec3 n_hat = scaled(plane.robot_normal, 1.0 / nr);
        side_alpha = std::clamp((side_thr - std::abs(side_d)) / side_thr, 0.0, 1.0);
        double clearance = params.side_touch_robot_clearance_m;
        const auto by_finger = params.side_touch_by_finger.find(side_partner);
        if (by_finger != params.side_touch_by_finger.end() && by_finger->second.robot_clearance_m) {
          clearance = *by_finger->second.robot_clearance_m;
        }
        if (side_d < 0.0) clearance = -clearance;
        Vec3& thumb = finger_at(frame.target_positions, std::string("thumb"));
        side_g = dot(sub(thumb, plane.robot_point), n_hat);
        side_adjustment = scaled(n_hat, side_alpha * (clearance - side_g));
        thumb = add(thumb, side_adjustment);
        side_touch_applied = true;
      }
    }
  }

  // 6. Weights.
  const double orientation_default = glove.local_tips.empty() ? 0.0 : 1.0;
  for (const std::string& f : F) {
    put(frame.shape_weights, spare.shape_weights, f) = 1.0;
    put(frame.orientation_weights, spare.orientation_weights, f) = orientation_default;
  }

  // 7. Pinch model.
  std::string closest_partner, strongest_partner;
  double closest_distance = std::numeric_limits<double>::infinity();
  double strongest_weight = 0.0;
  std::map<std::string, double> pinch_distances;
  if (params.pinch_enabled) {
    const Vec3 thumb = finger_at(h, std::string("thumb"));
    for (const std::string& c : params.pinch_candidate_fingers) {
      if (c == "thumb" || !contains_name(F, c)) continue;
      const Vec3 v = sub(finger_at(h, c), thumb);
      const double d = norm(v);
      const Vec3 u = d > 1e-9 ? scaled(v, 1.0 / d) : Vec3{0.0, 0.0, 0.0};
      if (d < closest_distance) {
        closest_distance = d;
        closest_partner = c;
      }
      const double eps2 = detail::value_or(params.pinch_epsilon2_m_by_finger, c, params.pinch_epsilon2_m);
      const double eps1 = params.pinch_epsilon1_m;
      double reach = d;
      if (d < eps2) {
        reach = 0.0;
      } else if (d <= eps1) {
        reach = (d - eps2) * eps1 / std::max(eps1 - eps2, 1e-9);
      }
      put(frame.pinch_vectors, spare.pinch_vectors, c) =
          scaled(u, s * std::max(reach, params.pinch_contact_distance_m));
      const double w = pinch_sigmoid(d, params);
      put(frame.pinch_weights, spare.pinch_weights, c) = w;
      pinch_distances[c] = d;
      const double kf = detail::value_or(params.pinch_finger_compensation_weight_by_finger, c,
                                         params.pinch_finger_compensation_weight);
      put(frame.shape_weights, spare.shape_weights, c) = std::max(0.0, 1.0 - w * kf);
      double& thumb_shape = put(frame.shape_weights, spare.shape_weights, key("thumb"));
      thumb_shape = std::min(thumb_shape, std::max(0.0, 1.0 - w * params.pinch_thumb_compensation_weight));
      put(frame.orientation_weights, spare.orientation_weights, c) =
          std::max(0.0, 1.0 - w * params.pinch_finger_orientation_compensation_weight);
      double& thumb_orientation = put(frame.orientation_weights, spare.orientation_weights, key("thumb"));
      thumb_orientation = std::min(
          thumb_orientation, std::max(0.0, 1.0 - w * params.pinch_thumb_orientation_compensation_weight));
      if (w > strongest_weight) {
        strongest_weight = w;
        strongest_partner = c;
      }
    }
  }

  // 8. World targets.
  for (const std::string& f : F) {
    put(frame.target_positions_world, spare.target_positions_world, f) =
        local_point_to_world(finger_at(frame.target_positions, f), wrist_origin, wrist_rotation);
    put(frame.target_rotations_world, spare.target_rotations_world, f) =
        local_rotation_to_world(finger_at(frame.target_rotations, f), wrist_rotation);
  }

  // 9. Reference points.
  put(frame.reference_points, spare.reference_points, key("robot_palm_origin")) = wrist_origin;
  put(frame.reference_points, spare.reference_points, key("human_palm_origin")) =
      local_point_to_world(params.palm_offset_local, wrist_origin, wrist_rotation);
  put(frame.reference_weights, spare.reference_weights, key("robot_palm_origin")) = 1.0;
  put(frame.reference_weights, spare.reference_weights, key("human_palm_origin")) = 1.0;

  // 10. Diagnostics.
  auto flag = [](bool value) { return value ? 1.0 : 0.0; };
  put(frame.diagnostics, spare.diagnostics, key("pipeline")) = "pinocchio_generic_retargeting";
  put(frame.diagnostics, spare.diagnostics, key("human_hand_scale")) = s;
  put(frame.diagnostics, spare.diagnostics, key("pinch_enabled")) = flag(params.pinch_enabled);
  put(frame.diagnostics, spare.diagnostics, key("pinch_epsilon2_m")) = params.pinch_epsilon2_m;
  put(frame.diagnostics, spare.diagnostics, key("pinch_contact_distance_m")) =
      params.pinch_contact_distance_m;
  put(frame.diagnostics, spare.diagnostics, key("pinch_thumb_compensation_weight")) =
      params.pinch_thumb_compensation_weight;
  put(frame.diagnostics, spare.diagnostics, key("pinch_finger_compensation_weight")) =
      params.pinch_finger_compensation_weight;
  put(frame.diagnostics, spare.diagnostics, key("pinch_thumb_orientation_compensation_weight")) =
      params.pinch_thumb_orientation_compensation_weight;
  put(frame.diagnostics, spare.diagnostics, key("pinch_finger_orientation_compensation_weight")) =
      params.pinch_finger_orientation_compensation_weight;
  put(frame.diagnostics, spare.diagnostics, key("pinch_closest_partner")) = closest_partner;
  put(frame.diagnostics, spare.diagnostics, key("pinch_strongest_partner")) = strongest_partner;
  put(frame.diagnostics, spare.diagnostics, key("pinch_strongest_weight")) = strongest_weight;
  put(frame.diagnostics, spare.diagnostics, key("pinch_closest_distance_m")) =
      closest_partner.empty() ? -1.0 : closest_distance;
  put(frame.diagnostics, spare.diagnostics, key("tripod_pinch_enabled")) = flag(params.tripod_pinch_enabled);
  put(frame.diagnostics, spare.diagnostics, key("tripod_pinch_weight")) = tripod_weight;
  put(frame.diagnostics, spare.diagnostics, key("orientation_enabled")) = orientation_default;
  put(frame.diagnostics, spare.diagnostics, key("dynamic_palm_z_enabled")) =
      flag(params.dynamic_palm_enabled);
  put(frame.diagnostics, spare.diagnostics, key("dynamic_thumb_adduction_enabled")) =
      flag(params.dynamic_thumb_adduction_enabled);
  put(frame.diagnostics, spare.diagnostics, key("side_touch_plane_enabled")) =
      flag(params.side_touch_enabled);
  for (const std::string& f : F) {
    put(frame.diagnostics, spare.diagnostics, key("shape_weight_", f)) = finger_at(frame.shape_weights, f);
    put(frame.diagnostics, spare.diagnostics, key("pinch_finger_compensation_weight_", f)) = detail::value_or(
        params.pinch_finger_compensation_weight_by_finger, f, params.pinch_finger_compensation_weight);
    put(frame.diagnostics, spare.diagnostics, key("pinch_epsilon2_m_", f)) =
        detail::value_or(params.pinch_epsilon2_m_by_finger, f, params.pinch_epsilon2_m);
  }
  for (const auto& [f, debug] : palm_debug) {
    put(frame.diagnostics, spare.diagnostics, key("dynamic_palm_z_", f)) = debug.z;
    put(frame.diagnostics, spare.diagnostics, key("dynamic_palm_angle_deg_", f)) = debug.bend_deg;
    put(frame.diagnostics, spare.diagnostics, key("dynamic_palm_extra_curl_alpha_", f)) =
        debug.extra_curl_alpha;
  }
  for (const auto& [f, w] : frame.pinch_weights) {
    put(frame.diagnostics, spare.diagnostics, key("pinch_weight_", f)) = w;
    put(frame.diagnostics, spare.diagnostics, key("pinch_distance_m_", f)) = finger_at(pinch_distances, f);
  }
  if (adduction_applied) {
    put(frame.diagnostics, spare.diagnostics, key("dynamic_thumb_adduction_alpha")) = adduction_alpha;
    put(frame.diagnostics, spare.diagnostics, key("dynamic_thumb_adduction_bias_x")) = adduction_bias[0];
    put(frame.diagnostics, spare.diagnostics, key("dynamic_thumb_adduction_bias_y")) = adduction_bias[1];
    put(frame.diagnostics, spare.diagnostics, key("dynamic_thumb_adduction_bias_z")) = adduction_bias[2];
  }
  if (side_touch_applied) {
    put(frame.diagnostics, spare.diagnostics, key("side_touch_plane_partner")) = side_partner;
    put(frame.diagnostics, spare.diagnostics, key("side_touch_plane_alpha")) = side_alpha;
    put(frame.diagnostics, spare.diagnostics, key("side_touch_human_distance_m")) = side_d;
    put(frame.diagnostics, spare.diagnostics, key("side_touch_robot_distance_m")) = side_g;
    put(frame.diagnostics, spare.diagnostics, key("side_touch_human_threshold_m")) = side_thr;
    put(frame.diagnostics, spare.diagnostics, key("side_touch_mcp_angle_deg")) = side_bend;
    put(frame.diagnostics, spare.diagnostics, key("side_touch_mcp_trigger_angle_deg")) =
        params.side_touch_mcp_trigger_angle_deg;
    put(frame.diagnostics, spare.diagnostics, key("side_touch_adjustment_x")) = side_adjustment[0];
    put(frame.diagnostics, spare.diagnostics, key("side_touch_adjustment_y")) = side_adjustment[1];
    put(frame.diagnostics, spare.diagnostics, key("side_touch_adjustment_z")) = side_adjustment[2];
  }
}

}  // namespace kelto::hand
