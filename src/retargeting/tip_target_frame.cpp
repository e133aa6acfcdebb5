#include "retargeting/tip_target_frame.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
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

namespace {

struct DynamicPalmDebug {
  double z = 0.0;
  double bend_deg = 0.0;
  double extra_curl_alpha = 0.0;
};

struct ThumbAdduction {
  bool applied = false;
  double alpha = 0.0;
  Vec3 bias{0.0, 0.0, 0.0};
};

struct SideTouch {
  bool applied = false;
  std::string partner;
  double alpha = 0.0, d = 0.0, g = 0.0, thr = 0.0, bend = 0.0;
  Vec3 adjustment{0.0, 0.0, 0.0};
};

struct PinchSummary {
  std::string closest_partner, strongest_partner;
  double closest_distance = std::numeric_limits<double>::infinity();
  double strongest_weight = 0.0;
};

// One build of a target frame: its inputs, the frame being written with the spare entries of its previous
// contents, and what the steps hand on to later ones.
struct FrameBuild {
  const GloveFeatureFrame& glove;
  const Vec3& wrist_origin;
  const TipMappingParameters& params;
  const Mat3& wrist_rotation;
  RetargetTargetFrame& frame;
  RetargetTargetFrame spare;
  std::string key_text;
  std::map<std::string, Vec3> base_tips;
  std::map<std::string, DynamicPalmDebug> palm_debug;
  std::map<std::string, double> pinch_distances;

  // The entry of `key` in the frame's map `member`.
  template <typename Map>
  typename Map::mapped_type& put(Map RetargetTargetFrame::*member, const std::string& key) {
    return kelto::hand::put(frame.*member, spare.*member, key);
  }
  // A key made of a prefix and a suffix, in a buffer that the build reuses.
  const std::string& key(const char* prefix, const std::string& suffix = std::string()) {
    key_text.assign(prefix).append(suffix);
    return key_text;
  }
  // Diagnostics are assigned from the value itself, so that a reused text entry keeps its buffer.
  template <typename T>
  void diagnostic(const char* name, T&& value) {
    put(&RetargetTargetFrame::diagnostics, key(name)) = std::forward<T>(value);
  }
  template <typename T>
  void finger_diagnostic(const char* prefix, const std::string& finger, T&& value) {
    put(&RetargetTargetFrame::diagnostics, key(prefix, finger)) = std::forward<T>(value);
  }
};

const Vec3 kZero{0.0, 0.0, 0.0};

// 1. Base mapping: the glove tips with their offsets, base-rotated, then into the robot's axes.
void map_base_tips(FrameBuild& b) {
  const TipMappingParameters& params = b.params;
  const Mat3& M = params.rotation_matrix;
  const Mat3& B = params.input_base_rotation_offset;
  const Mat3 MB = mul(M, B);
  for (const std::string& f : params.finger_order) {
    const Pose& tip_pose = finger_at(b.glove.local_tips, f);
    const Vec3& o = detail::value_or(params.input_tip_offset_local, f, kZero);
    const Vec3 tip = add(mul(tip_pose.rotation, o), tip_pose.position);
    const Vec3 base = mul(B, tip);
    b.base_tips[f] = base;
    b.put(&RetargetTargetFrame::human_tip_positions, f) = mul(M, base);
    const Mat3 R =
        mul(tip_pose.rotation, detail::value_or(params.input_tip_rotation_offset_local, f, kIdentity));
    b.put(&RetargetTargetFrame::target_rotations, f) =
        build_rotation_from_xz(mul(MB, column(R, 0)), mul(MB, column(R, 2)));
  }
}

// 2. Tripod pinch: the two tripod fingers close on their midpoint, the thumb follows it. Returns the
// weight applied.
double apply_tripod_pinch(FrameBuild& b) {
  const TipMappingParameters& params = b.params;
  if (!params.tripod_pinch_enabled || params.tripod_pinch_fingers.size() != 2) return 0.0;
  auto& h = b.frame.human_tip_positions;
  Vec3& ha = finger_at(h, params.tripod_pinch_fingers[0]);
  Vec3& hb = finger_at(h, params.tripod_pinch_fingers[1]);
  Vec3& ht = finger_at(h, std::string("thumb"));
  const double w =
      std::min(pinch_sigmoid(norm(sub(ha, ht)), params), pinch_sigmoid(norm(sub(hb, ht)), params));
  if (!(w > 0.0)) return 0.0;
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
  return w;
}

// Whether finger `f` takes part in the dynamic palm offset, and its settings when it does.
std::optional<DynamicPalmFingerConfig> dynamic_palm_settings(const TipMappingParameters& params,
                                                             const std::string& f) {
  const auto entry = params.dynamic_palm_by_finger.find(f);
  const bool has_entry = entry != params.dynamic_palm_by_finger.end();
  bool takes_part = contains_name(params.dynamic_palm_fingers, f) || has_entry;
  if (has_entry && entry->second.enabled && !*entry->second.enabled) takes_part = false;
  if (!takes_part) return std::nullopt;
  return has_entry ? entry->second : DynamicPalmFingerConfig{};
}

// Share of the extra curl drop, from how far the tip has curled past the MCP joint's 90-degree reference.
double extra_curl_alpha(const TipMappingParameters& params, const std::string& f, const Vec3& base_tip,
                        double r) {
  const auto mcp = params.mcp_joint_position.find(f);
  const auto ref = params.mcp90_reference_vector.find(f);
  if (mcp == params.mcp_joint_position.end() || ref == params.mcp90_reference_vector.end()) return 0.0;
  const Vec3 v = sub(base_tip, mcp->second);
  const double nr = norm(ref->second);
  if (!(norm(v) > 1e-9 && nr > 1e-9)) return 0.0;
  const double q = dot(v, ref->second) / (nr * nr);
  const double trigger = params.dynamic_palm_extra_curl_trigger_ratio;
  const double full = params.dynamic_palm_extra_curl_full_ratio;
  return r * std::clamp((trigger - q) / std::max(trigger - full, 1e-6), 0.0, 1.0);
}

// The palm offset's z for a finger that takes part in the dynamic palm offset.
DynamicPalmDebug dynamic_palm_z(const FrameBuild& b, const std::string& f,
                                const DynamicPalmFingerConfig& cfg) {
  const TipMappingParameters& params = b.params;
  const double flat_z = cfg.flat_z.value_or(params.dynamic_palm_flat_z);
  const double bent_z = cfg.bent_z.value_or(params.dynamic_palm_bent_z);
  const double max_angle = cfg.max_angle_deg.value_or(params.dynamic_palm_max_angle_deg);
  const double drop = cfg.extra_curl_z_drop_m.value_or(params.dynamic_palm_extra_curl_z_drop_m);
  const double bend = finger_bend_angle_deg(f, b.base_tips, params, max_angle);
  const double r = std::clamp(bend / std::max(max_angle, 1e-6), 0.0, 1.0);
  const double e = extra_curl_alpha(params, f, finger_at(b.base_tips, f), r);
  const double z = (1.0 - r) * flat_z + r * bent_z - e * drop;
  return {z, bend, e};
}

// 3. Positions with the (optionally dynamic) palm offset.
void place_tip_targets(FrameBuild& b) {
  const TipMappingParameters& params = b.params;
  for (const std::string& f : params.finger_order) {
    Vec3 P = params.palm_offset_local;
    if (params.dynamic_palm_enabled) {
      if (const std::optional<DynamicPalmFingerConfig> cfg = dynamic_palm_settings(params, f)) {
        const DynamicPalmDebug debug = dynamic_palm_z(b, f, *cfg);
        P[2] = debug.z;
        b.palm_debug[f] = debug;
      }
    }
    b.put(&RetargetTargetFrame::target_positions, f) =
        add(P, scaled(finger_at(b.frame.human_tip_positions, f), params.human_hand_scale));
  }
}

// The thumb adduction blend for driver value `v`: between the open and close biases inside the span,
// fading out below the close value.
ThumbAdduction thumb_adduction(const TipMappingParameters& params, double v) {
  ThumbAdduction result;
  const double open = params.dynamic_thumb_adduction_open_driver_value;
  const double close = params.dynamic_thumb_adduction_close_driver_value;
  const double span = std::abs(open - close);
  if (!(span > 1e-9)) return result;
  double t = v - close;
  if (open - close <= 0.0) t = -t;
  if (t >= 0.0 && t <= span) {
    result.alpha = 1.0 - t / span;
    result.bias = add(scaled(params.dynamic_thumb_adduction_open_bias_local, 1.0 - result.alpha),
                      scaled(params.dynamic_thumb_adduction_close_bias_local, result.alpha));
    result.applied = true;
  } else if (t < 0.0) {
    const double fade = params.dynamic_thumb_adduction_close_fade_width;
    if (fade > 1e-9 && t >= -fade) {
      const double u = (t + fade) / fade;
      result.alpha = u * u * (3.0 - 2.0 * u);
      result.bias = scaled(params.dynamic_thumb_adduction_close_bias_local, result.alpha);
      result.applied = true;
    }
  }
  return result;
}

// 4. Dynamic thumb adduction offset.
ThumbAdduction apply_thumb_adduction(FrameBuild& b) {
  const TipMappingParameters& params = b.params;
  const auto thumb_base = b.base_tips.find("thumb");
  if (!params.dynamic_thumb_adduction_enabled || thumb_base == b.base_tips.end()) return {};
  const std::string& axis = params.dynamic_thumb_adduction_driver_axis;
  const int k = axis == "x" ? 0 : (axis == "y" ? 1 : 2);
  const ThumbAdduction result = thumb_adduction(params, thumb_base->second[k]);
  if (result.applied) {
    Vec3& thumb = finger_at(b.frame.target_positions, std::string("thumb"));
    thumb = add(thumb, result.bias);
  }
  return result;
}

// The side-touch partner: among the bent side-touch fingers whose plane the thumb's contact point is
// within the threshold of, the one it is relatively closest to (first wins on ties).
SideTouch find_side_touch_partner(const FrameBuild& b, const Vec3& thumb_base) {
  const TipMappingParameters& params = b.params;
  SideTouch best;
  const Vec3 c = add(thumb_base, params.side_touch_thumb_contact_offset_local);
  double best_ratio = std::numeric_limits<double>::infinity();
  for (const std::string& f : params.side_touch_fingers) {
    const auto plane = params.side_touch_planes.find(f);
    if (plane == params.side_touch_planes.end()) continue;
    double max_angle = params.dynamic_palm_max_angle_deg;
    const auto palm = params.dynamic_palm_by_finger.find(f);
    if (palm != params.dynamic_palm_by_finger.end() && palm->second.max_angle_deg) {
      max_angle = *palm->second.max_angle_deg;
    }
    const double bend = finger_bend_angle_deg(f, b.base_tips, params, max_angle);
    if (!(bend >= params.side_touch_mcp_trigger_angle_deg)) continue;
    const double nn = norm(plane->second.human_normal);
    if (!(nn > 1e-9)) continue;
    const double thr = std::max(side_touch_threshold(params, f), 1e-9);
    const double d = dot(sub(c, plane->second.human_point), scaled(plane->second.human_normal, 1.0 / nn));
    if (!(std::abs(d) <= thr)) continue;
    const double ratio = std::abs(d) / thr;
    if (best.partner.empty() || ratio < best_ratio) {
      best_ratio = ratio;
      best.partner = f;
      best.d = d;
      best.thr = thr;
      best.bend = bend;
    }
  }
  return best;
}

// 5. Side-touch plane constraint: keeps the thumb at a clearance from the partner finger's side.
SideTouch apply_side_touch(FrameBuild& b) {
  const TipMappingParameters& params = b.params;
  const auto thumb_base = b.base_tips.find("thumb");
  if (!params.side_touch_enabled || thumb_base == b.base_tips.end()) return {};
  SideTouch side = find_side_touch_partner(b, thumb_base->second);
  if (side.partner.empty()) return side;
  const SideTouchPlane& plane = finger_at(params.side_touch_planes, side.partner);
  const double nr = norm(plane.robot_normal);
  if (!(nr > 1e-9)) return side;
  const Vec3 n_hat = scaled(plane.robot_normal, 1.0 / nr);
  side.alpha = std::clamp((side.thr - std::abs(side.d)) / side.thr, 0.0, 1.0);
  double clearance = params.side_touch_robot_clearance_m;
  const auto by_finger = params.side_touch_by_finger.find(side.partner);
  if (by_finger != params.side_touch_by_finger.end() && by_finger->second.robot_clearance_m) {
    clearance = *by_finger->second.robot_clearance_m;
  }
  if (side.d < 0.0) clearance = -clearance;
  Vec3& thumb = finger_at(b.frame.target_positions, std::string("thumb"));
  side.g = dot(sub(thumb, plane.robot_point), n_hat);
  side.adjustment = scaled(n_hat, side.alpha * (clearance - side.g));
  thumb = add(thumb, side.adjustment);
  side.applied = true;
  return side;
}

// 6. Weights.
void set_default_weights(FrameBuild& b, double orientation_default) {
  for (const std::string& f : b.params.finger_order) {
    b.put(&RetargetTargetFrame::shape_weights, f) = 1.0;
    b.put(&RetargetTargetFrame::orientation_weights, f) = orientation_default;
  }
}

// Length of the pinch vector before scaling: 0 inside epsilon2, stretched to epsilon1 between them.
double pinch_reach(const TipMappingParameters& params, const std::string& c, double d) {
  const double eps2 = detail::value_or(params.pinch_epsilon2_m_by_finger, c, params.pinch_epsilon2_m);
  const double eps1 = params.pinch_epsilon1_m;
  if (d < eps2) return 0.0;
  if (d <= eps1) return (d - eps2) * eps1 / std::max(eps1 - eps2, 1e-9);
  return d;
}

// The pinch vector, weight and lowered shape and orientation weights for candidate `c` at distance `d`
// and direction `v` from the thumb. Returns the pinch weight.
double pinch_candidate(FrameBuild& b, const std::string& c, const Vec3& v, double d) {
  const TipMappingParameters& params = b.params;
  const Vec3 u = d > 1e-9 ? scaled(v, 1.0 / d) : Vec3{0.0, 0.0, 0.0};
  b.put(&RetargetTargetFrame::pinch_vectors, c) = scaled(
      u, params.human_hand_scale * std::max(pinch_reach(params, c, d), params.pinch_contact_distance_m));
  const double w = pinch_sigmoid(d, params);
  b.put(&RetargetTargetFrame::pinch_weights, c) = w;
  b.pinch_distances[c] = d;
  const double kf = detail::value_or(params.pinch_finger_compensation_weight_by_finger, c,
                                     params.pinch_finger_compensation_weight);
  b.put(&RetargetTargetFrame::shape_weights, c) = std::max(0.0, 1.0 - w * kf);
  double& thumb_shape = b.put(&RetargetTargetFrame::shape_weights, b.key("thumb"));
  thumb_shape = std::min(thumb_shape, std::max(0.0, 1.0 - w * params.pinch_thumb_compensation_weight));
  b.put(&RetargetTargetFrame::orientation_weights, c) =
      std::max(0.0, 1.0 - w * params.pinch_finger_orientation_compensation_weight);
  double& thumb_orientation = b.put(&RetargetTargetFrame::orientation_weights, b.key("thumb"));
  thumb_orientation = std::min(thumb_orientation,
                               std::max(0.0, 1.0 - w * params.pinch_thumb_orientation_compensation_weight));
  return w;
}

// 7. Pinch model.
PinchSummary apply_pinch_model(FrameBuild& b) {
  const TipMappingParameters& params = b.params;
  PinchSummary summary;
  if (!params.pinch_enabled) return summary;
  const auto& h = b.frame.human_tip_positions;
  const Vec3 thumb = finger_at(h, std::string("thumb"));
  for (const std::string& c : params.pinch_candidate_fingers) {
    if (c == "thumb" || !contains_name(params.finger_order, c)) continue;
    const Vec3 v = sub(finger_at(h, c), thumb);
    const double d = norm(v);
    if (d < summary.closest_distance) {
      summary.closest_distance = d;
      summary.closest_partner = c;
    }
    const double w = pinch_candidate(b, c, v, d);
    if (w > summary.strongest_weight) {
      summary.strongest_weight = w;
      summary.strongest_partner = c;
    }
  }
  return summary;
}

// 8. World targets.
void place_world_targets(FrameBuild& b) {
  for (const std::string& f : b.params.finger_order) {
    b.put(&RetargetTargetFrame::target_positions_world, f) =
        local_point_to_world(finger_at(b.frame.target_positions, f), b.wrist_origin, b.wrist_rotation);
    b.put(&RetargetTargetFrame::target_rotations_world, f) =
        local_rotation_to_world(finger_at(b.frame.target_rotations, f), b.wrist_rotation);
  }
}

// 9. Reference points.
void set_reference_points(FrameBuild& b) {
  b.put(&RetargetTargetFrame::reference_points, b.key("robot_palm_origin")) = b.wrist_origin;
  b.put(&RetargetTargetFrame::reference_points, b.key("human_palm_origin")) =
      local_point_to_world(b.params.palm_offset_local, b.wrist_origin, b.wrist_rotation);
  b.put(&RetargetTargetFrame::reference_weights, b.key("robot_palm_origin")) = 1.0;
  b.put(&RetargetTargetFrame::reference_weights, b.key("human_palm_origin")) = 1.0;
}

double flag(bool value) {
  return value ? 1.0 : 0.0;
}

// 10a. The pipeline's settings and the pinch summary.
void write_setting_diagnostics(FrameBuild& b, const PinchSummary& pinch, double tripod_weight,
                               double orientation_default) {
  const TipMappingParameters& params = b.params;
  b.diagnostic("pipeline", "pinocchio_generic_retargeting");
  b.diagnostic("human_hand_scale", params.human_hand_scale);
  b.diagnostic("pinch_enabled", flag(params.pinch_enabled));
  b.diagnostic("pinch_epsilon2_m", params.pinch_epsilon2_m);
  b.diagnostic("pinch_contact_distance_m", params.pinch_contact_distance_m);
  b.diagnostic("pinch_thumb_compensation_weight", params.pinch_thumb_compensation_weight);
  b.diagnostic("pinch_finger_compensation_weight", params.pinch_finger_compensation_weight);
  b.diagnostic("pinch_thumb_orientation_compensation_weight",
               params.pinch_thumb_orientation_compensation_weight);
  b.diagnostic("pinch_finger_orientation_compensation_weight",
               params.pinch_finger_orientation_compensation_weight);
  b.diagnostic("pinch_closest_partner", pinch.closest_partner);
  b.diagnostic("pinch_strongest_partner", pinch.strongest_partner);
  b.diagnostic("pinch_strongest_weight", pinch.strongest_weight);
  b.diagnostic("pinch_closest_distance_m", pinch.closest_partner.empty() ? -1.0 : pinch.closest_distance);
  b.diagnostic("tripod_pinch_enabled", flag(params.tripod_pinch_enabled));
  b.diagnostic("tripod_pinch_weight", tripod_weight);
  b.diagnostic("orientation_enabled", orientation_default);
  b.diagnostic("dynamic_palm_z_enabled", flag(params.dynamic_palm_enabled));
  b.diagnostic("dynamic_thumb_adduction_enabled", flag(params.dynamic_thumb_adduction_enabled));
  b.diagnostic("side_touch_plane_enabled", flag(params.side_touch_enabled));
}

// 10b. Per-finger weights, palm offsets and pinch values.
void write_finger_diagnostics(FrameBuild& b) {
  const TipMappingParameters& params = b.params;
  for (const std::string& f : params.finger_order) {
    b.finger_diagnostic("shape_weight_", f, finger_at(b.frame.shape_weights, f));
    b.finger_diagnostic("pinch_finger_compensation_weight_", f,
                        detail::value_or(params.pinch_finger_compensation_weight_by_finger, f,
                                         params.pinch_finger_compensation_weight));
    b.finger_diagnostic("pinch_epsilon2_m_", f,
                        detail::value_or(params.pinch_epsilon2_m_by_finger, f, params.pinch_epsilon2_m));
  }
  for (const auto& [f, debug] : b.palm_debug) {
    b.finger_diagnostic("dynamic_palm_z_", f, debug.z);
    b.finger_diagnostic("dynamic_palm_angle_deg_", f, debug.bend_deg);
    b.finger_diagnostic("dynamic_palm_extra_curl_alpha_", f, debug.extra_curl_alpha);
  }
  for (const auto& [f, w] : b.frame.pinch_weights) {
    b.finger_diagnostic("pinch_weight_", f, w);
    b.finger_diagnostic("pinch_distance_m_", f, finger_at(b.pinch_distances, f));
  }
}

// 10c. The thumb offsets, when applied.
void write_thumb_offset_diagnostics(FrameBuild& b, const ThumbAdduction& adduction, const SideTouch& side) {
  if (adduction.applied) {
    b.diagnostic("dynamic_thumb_adduction_alpha", adduction.alpha);
    b.diagnostic("dynamic_thumb_adduction_bias_x", adduction.bias[0]);
    b.diagnostic("dynamic_thumb_adduction_bias_y", adduction.bias[1]);
    b.diagnostic("dynamic_thumb_adduction_bias_z", adduction.bias[2]);
  }
  if (side.applied) {
    b.diagnostic("side_touch_plane_partner", side.partner);
    b.diagnostic("side_touch_plane_alpha", side.alpha);
    b.diagnostic("side_touch_human_distance_m", side.d);
    b.diagnostic("side_touch_robot_distance_m", side.g);
    b.diagnostic("side_touch_human_threshold_m", side.thr);
    b.diagnostic("side_touch_mcp_angle_deg", side.bend);
    b.diagnostic("side_touch_mcp_trigger_angle_deg", b.params.side_touch_mcp_trigger_angle_deg);
    b.diagnostic("side_touch_adjustment_x", side.adjustment[0]);
    b.diagnostic("side_touch_adjustment_y", side.adjustment[1]);
    b.diagnostic("side_touch_adjustment_z", side.adjustment[2]);
  }
}

}  // namespace

void build_tip_target_frame(const GloveFeatureFrame& glove, const Vec3& wrist_origin,
                            const TipMappingParameters& params, const Mat3& wrist_rotation,
                            RetargetTargetFrame& frame) {
  FrameBuild b{glove, wrist_origin, params, wrist_rotation, frame, {}, {}, {}, {}, {}};
  take_maps(frame, b.spare);
  frame.source = glove.source;
  frame.timestamp_s = glove.timestamp_s;
  frame.wrist_origin = wrist_origin;
  frame.wrist_rotation = wrist_rotation;

  map_base_tips(b);
  const double tripod_weight = apply_tripod_pinch(b);
  place_tip_targets(b);
  const ThumbAdduction adduction = apply_thumb_adduction(b);
  const SideTouch side = apply_side_touch(b);
  const double orientation_default = glove.local_tips.empty() ? 0.0 : 1.0;
  set_default_weights(b, orientation_default);
  const PinchSummary pinch = apply_pinch_model(b);
  place_world_targets(b);
  set_reference_points(b);
  write_setting_diagnostics(b, pinch, tripod_weight, orientation_default);
  write_finger_diagnostics(b);
  write_thumb_offset_diagnostics(b, adduction, side);
}

}  // namespace kelto::hand
