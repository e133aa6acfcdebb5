#include "retargeting/tip_target_frame.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kinematics/frame_math.hpp"
#include "kinematics/vec3.hpp"
#include "retargeting/map_lookup.hpp"
#include "retargeting/names.hpp"
#include "retargeting/small_list.hpp"

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

// Bend of a finger from its base-rotated glove tip position `b`.
double bend_angle_deg(const std::string& finger, const Vec3& b, const TipMappingParameters& params,
                      double max_angle_deg) {
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

// How `key` compares with the text prefix + suffix, in the order of the maps' keys.
int compare_key(const std::string& key, std::string_view prefix, std::string_view suffix) {
  const std::string_view text(key);
  const int head = text.substr(0, prefix.size()).compare(prefix);
  if (head != 0) return head;
  return text.substr(prefix.size()).compare(suffix);
}

// Whether the `n` characters at `a` and `b` agree. Compared inline, eight at a time: the frame's keys are
// short, and nearly every comparison of a rebuild is one of equal keys.
bool same_chars(const char* a, const char* b, std::size_t n) {
  for (; n >= 8; a += 8, b += 8, n -= 8) {
    std::uint64_t x = 0, y = 0;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    if (x != y) return false;
  }
  for (; n > 0; ++a, ++b, --n) {
    if (*a != *b) return false;
  }
  return true;
}

// Whether `key` reads prefix + suffix.
bool key_equals(std::string_view key, std::string_view prefix, std::string_view suffix = {}) {
  return key.size() == prefix.size() + suffix.size() &&
         same_chars(key.data(), prefix.data(), prefix.size()) &&
         same_chars(key.data() + prefix.size(), suffix.data(), suffix.size());
}

// Writes a map's entries in ascending key order over its previous contents: an entry whose key is there
// already is assigned in place, a missing one is inserted, and the previous entries passed over (and, at
// `finish`, those after the last one written) are erased. So a map that gets the keys it had is rewritten
// without allocating. Entries written out of order still end up right, only with fresh insertions.
template <typename Map>
struct SortedWriter {
  Map& map;
  std::string& key_text;  // the key of an entry to insert
  typename Map::iterator next;

  // The entry of key prefix + suffix; a new one is value-initialised.
  typename Map::mapped_type& at(std::string_view prefix, std::string_view suffix = {}) {
    if (next != map.end() && key_equals(next->first, prefix, suffix)) return (next++)->second;
    // The same key twice in a row (a finger diagnostic that spells a fixed one) finds the last entry.
    if (next != map.begin() && key_equals(std::prev(next)->first, prefix, suffix))
      return std::prev(next)->second;
    for (; next != map.end(); next = map.erase(next)) {
      const int order = compare_key(next->first, prefix, suffix);
      if (order == 0) return (next++)->second;
      if (order > 0) break;
    }
    key_text.assign(prefix).append(suffix);
    return map.try_emplace(next, key_text)->second;
  }
  void finish() { map.erase(next, map.end()); }
};

template <typename Map>
SortedWriter<Map> sorted_writer(Map& map, std::string& key_text) {
  return {map, key_text, map.begin()};
}

// Lookups in a finger-keyed map for fingers taken in ascending name order, each once: each lookup walks
// on from where the one before stopped.
template <typename Map>
struct SortedLookup {
  typename Map::const_iterator next, end;

  const typename Map::mapped_type* find(const std::string& key) {
    if (next != end && key_equals(next->first, key)) return &(next++)->second;
    for (; next != end; ++next) {
      const int order = next->first.compare(key);
      if (order == 0) return &(next++)->second;
      if (order > 0) break;
    }
    return nullptr;
  }
  typename Map::mapped_type value_or(const std::string& key, const typename Map::mapped_type& fallback) {
    const typename Map::mapped_type* value = find(key);
    return value ? *value : fallback;
  }
};

template <typename Map>
SortedLookup<Map> sorted_lookup(const Map& map) {
  return {map.begin(), map.end()};
}

// A text diagnostic, assigned only when its text changed.
void assign_text(DiagnosticValue& value, std::string_view text) {
  if (std::string* current = std::get_if<std::string>(&value)) {
    if (std::string_view(*current) != text) current->assign(text.data(), text.size());
  } else {
    value = std::string(text);
  }
}

// The name behind an optional name pointer; none reads as the empty name.
std::string_view name_of(const std::string* name) {
  return name ? std::string_view(*name) : std::string_view();
}

}  // namespace

double finger_bend_angle_deg(const std::string& finger, const std::map<std::string, Vec3>& tips,
                             const TipMappingParameters& params, double max_angle_deg) {
  return bend_angle_deg(finger, finger_at(tips, finger), params, max_angle_deg);
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
  const std::string* partner = nullptr;
  const SideTouchPlane* plane = nullptr;  // the partner's
  double alpha = 0.0, d = 0.0, g = 0.0, thr = 0.0, bend = 0.0;
  Vec3 adjustment{0.0, 0.0, 0.0};
};

struct PinchSummary {
  const std::string* closest_partner = nullptr;
  const std::string* strongest_partner = nullptr;
  double closest_distance = std::numeric_limits<double>::infinity();
  double strongest_weight = 0.0;
};

// What the build works out for one finger of the finger order before it writes the frame's maps.
struct FingerWork {
  const std::string* name = nullptr;
  Vec3 base{};      // the glove tip with its offset, base-rotated
  Vec3 human{};     // the human tip position in the robot's axes
  Mat3 rotation{};  // target rotation, wrist frame
  Vec3 position{};  // target position, wrist frame
  double shape_weight = 0.0;
  double orientation_weight = 0.0;
  double epsilon2 = 0.0;  // the finger's pinch settings
  double compensation = 0.0;
  std::optional<DynamicPalmDebug> palm;
  bool pinch = false;  // whether it is a pinch candidate, with the values below
  Vec3 pinch_vector{};
  double pinch_weight = 0.0;
  double pinch_distance = 0.0;
};

// The work and the sorted names of this many fingers stay off the heap; a longer finger order spills
// over onto it.
constexpr std::size_t kFingersInPlace = 8;

// One build of a target frame: its inputs, the frame being written, and the fingers' work by ascending
// name (the order of the frame's maps), each finger once.
struct FrameBuild {
  const GloveFeatureFrame& glove;
  const Vec3& wrist_origin;
  const TipMappingParameters& params;
  const Mat3& wrist_rotation;
  RetargetTargetFrame& frame;
  detail::SmallList<FingerWork, kFingersInPlace> fingers;
  std::string key_text;
};

const Vec3 kZero{0.0, 0.0, 0.0};

FingerWork* find_finger(FrameBuild& b, std::string_view name) {
  for (FingerWork& w : b.fingers) {
    if (key_equals(*w.name, name)) return &w;
  }
  return nullptr;
}

// The work of a finger the step cannot do without; throws as the strict map lookups do when it is not in
// the finger order.
FingerWork& finger_work(FrameBuild& b, std::string_view name) {
  if (FingerWork* w = find_finger(b, name)) return *w;
  detail::throw_missing_finger();
}

// 0. The fingers of the finger order by name, with their pinch settings.
void collect_fingers(FrameBuild& b) {
  const TipMappingParameters& params = b.params;
  detail::SmallList<const std::string*, kFingersInPlace> names;
  for (const std::string& f : params.finger_order) names.push_back(&f);
  std::sort(names.begin(), names.end(), [](const std::string* x, const std::string* y) { return *x < *y; });
  const auto last = std::unique(names.begin(), names.end(),
                                [](const std::string* x, const std::string* y) { return *x == *y; });
  names.resize(static_cast<std::size_t>(last - names.begin()));
  b.fingers.resize(names.size());
  auto epsilon2 = sorted_lookup(params.pinch_epsilon2_m_by_finger);
  auto compensation = sorted_lookup(params.pinch_finger_compensation_weight_by_finger);
  for (std::size_t i = 0; i < names.size(); ++i) {
    FingerWork& w = b.fingers[i];
    w.name = names[i];
    w.epsilon2 = epsilon2.value_or(*w.name, params.pinch_epsilon2_m);
    w.compensation = compensation.value_or(*w.name, params.pinch_finger_compensation_weight);
  }
}

// 1. Base mapping: the glove tips with their offsets, base-rotated, then into the robot's axes.
void map_base_tips(FrameBuild& b) {
  const TipMappingParameters& params = b.params;
  const Mat3& M = params.rotation_matrix;
  const Mat3& B = params.input_base_rotation_offset;
  const Mat3 MB = mul(M, B);
  auto tips = sorted_lookup(b.glove.local_tips);
  auto offsets = sorted_lookup(params.input_tip_offset_local);
  auto rotation_offsets = sorted_lookup(params.input_tip_rotation_offset_local);
  for (FingerWork& w : b.fingers) {
    const Pose* tip_pose = tips.find(*w.name);
    if (!tip_pose) tip_pose = &finger_at(b.glove.local_tips, *w.name);  // throws: no tip pose
    const Vec3& o = offsets.value_or(*w.name, kZero);
    const Vec3 tip = add(mul(tip_pose->rotation, o), tip_pose->position);
    w.base = mul(B, tip);
    w.human = mul(M, w.base);
    const Mat3 R = mul(tip_pose->rotation, rotation_offsets.value_or(*w.name, kIdentity));
    w.rotation = build_rotation_from_xz(mul(MB, column(R, 0)), mul(MB, column(R, 2)));
  }
}

// 2. Tripod pinch: the two tripod fingers close on their midpoint, the thumb follows it. Returns the
// weight applied.
double apply_tripod_pinch(FrameBuild& b) {
  const TipMappingParameters& params = b.params;
  if (!params.tripod_pinch_enabled || params.tripod_pinch_fingers.size() != 2) return 0.0;
  Vec3& ha = finger_work(b, params.tripod_pinch_fingers[0]).human;
  Vec3& hb = finger_work(b, params.tripod_pinch_fingers[1]).human;
  Vec3& ht = finger_work(b, "thumb").human;
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
DynamicPalmDebug dynamic_palm_z(const FrameBuild& b, const FingerWork& w,
                                const DynamicPalmFingerConfig& cfg) {
  const TipMappingParameters& params = b.params;
  const double flat_z = cfg.flat_z.value_or(params.dynamic_palm_flat_z);
  const double bent_z = cfg.bent_z.value_or(params.dynamic_palm_bent_z);
  const double max_angle = cfg.max_angle_deg.value_or(params.dynamic_palm_max_angle_deg);
  const double drop = cfg.extra_curl_z_drop_m.value_or(params.dynamic_palm_extra_curl_z_drop_m);
  const double bend = bend_angle_deg(*w.name, w.base, params, max_angle);
  const double r = std::clamp(bend / std::max(max_angle, 1e-6), 0.0, 1.0);
  const double e = extra_curl_alpha(params, *w.name, w.base, r);
  const double z = (1.0 - r) * flat_z + r * bent_z - e * drop;
  return {z, bend, e};
}

// 3. Positions with the (optionally dynamic) palm offset.
void place_tip_targets(FrameBuild& b) {
  const TipMappingParameters& params = b.params;
  for (FingerWork& w : b.fingers) {
    Vec3 P = params.palm_offset_local;
    if (params.dynamic_palm_enabled) {
      if (const std::optional<DynamicPalmFingerConfig> cfg = dynamic_palm_settings(params, *w.name)) {
        w.palm = dynamic_palm_z(b, w, *cfg);
        P[2] = w.palm->z;
      }
    }
    w.position = add(P, scaled(w.human, params.human_hand_scale));
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
  FingerWork* thumb = find_finger(b, "thumb");
  if (!params.dynamic_thumb_adduction_enabled || !thumb) return {};
  const std::string& axis = params.dynamic_thumb_adduction_driver_axis;
  const int k = axis == "x" ? 0 : (axis == "y" ? 1 : 2);
  const ThumbAdduction result = thumb_adduction(params, thumb->base[k]);
  if (result.applied) thumb->position = add(thumb->position, result.bias);
  return result;
}

// The side-touch partner: among the bent side-touch fingers whose plane the thumb's contact point is
// within the threshold of, the one it is relatively closest to (first wins on ties).
SideTouch find_side_touch_partner(FrameBuild& b, const Vec3& thumb_base) {
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
    const double bend = bend_angle_deg(f, finger_work(b, f).base, params, max_angle);
    if (!(bend >= params.side_touch_mcp_trigger_angle_deg)) continue;
    const double nn = norm(plane->second.human_normal);
    if (!(nn > 1e-9)) continue;
    const double thr = std::max(side_touch_threshold(params, f), 1e-9);
    const double d = dot(sub(c, plane->second.human_point), scaled(plane->second.human_normal, 1.0 / nn));
    if (!(std::abs(d) <= thr)) continue;
    const double ratio = std::abs(d) / thr;
    if (name_of(best.partner).empty() || ratio < best_ratio) {
      best_ratio = ratio;
      best.partner = &f;
      best.plane = &plane->second;
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
  FingerWork* thumb = find_finger(b, "thumb");
  if (!params.side_touch_enabled || !thumb) return {};
  SideTouch side = find_side_touch_partner(b, thumb->base);
  if (name_of(side.partner).empty()) return side;
  const SideTouchPlane& plane = *side.plane;
  const double nr = norm(plane.robot_normal);
  if (!(nr > 1e-9)) return side;
  const Vec3 n_hat = scaled(plane.robot_normal, 1.0 / nr);
  side.alpha = std::clamp((side.thr - std::abs(side.d)) / side.thr, 0.0, 1.0);
  double clearance = params.side_touch_robot_clearance_m;
  const auto by_finger = params.side_touch_by_finger.find(*side.partner);
  if (by_finger != params.side_touch_by_finger.end() && by_finger->second.robot_clearance_m) {
    clearance = *by_finger->second.robot_clearance_m;
  }
  if (side.d < 0.0) clearance = -clearance;
  side.g = dot(sub(thumb->position, plane.robot_point), n_hat);
  side.adjustment = scaled(n_hat, side.alpha * (clearance - side.g));
  thumb->position = add(thumb->position, side.adjustment);
  side.applied = true;
  return side;
}

// 6. Weights.
void set_default_weights(FrameBuild& b, double orientation_default) {
  for (FingerWork& w : b.fingers) {
    w.shape_weight = 1.0;
    w.orientation_weight = orientation_default;
  }
}

// Length of the pinch vector before scaling: 0 inside epsilon2, stretched to epsilon1 between them.
double pinch_reach(const TipMappingParameters& params, const FingerWork& c, double d) {
  const double eps2 = c.epsilon2;
  const double eps1 = params.pinch_epsilon1_m;
  if (d < eps2) return 0.0;
  if (d <= eps1) return (d - eps2) * eps1 / std::max(eps1 - eps2, 1e-9);
  return d;
}

// The pinch vector, weight and lowered shape and orientation weights for candidate `c` at distance `d`
// and direction `v` from the thumb. Returns the pinch weight.
double pinch_candidate(FrameBuild& b, FingerWork& c, FingerWork& thumb, const Vec3& v, double d) {
  const TipMappingParameters& params = b.params;
  const Vec3 u = d > 1e-9 ? scaled(v, 1.0 / d) : Vec3{0.0, 0.0, 0.0};
  c.pinch = true;
  c.pinch_vector = scaled(
      u, params.human_hand_scale * std::max(pinch_reach(params, c, d), params.pinch_contact_distance_m));
  const double w = pinch_sigmoid(d, params);
  c.pinch_weight = w;
  c.pinch_distance = d;
  c.shape_weight = std::max(0.0, 1.0 - w * c.compensation);
  thumb.shape_weight =
      std::min(thumb.shape_weight, std::max(0.0, 1.0 - w * params.pinch_thumb_compensation_weight));
  c.orientation_weight = std::max(0.0, 1.0 - w * params.pinch_finger_orientation_compensation_weight);
  thumb.orientation_weight = std::min(
      thumb.orientation_weight, std::max(0.0, 1.0 - w * params.pinch_thumb_orientation_compensation_weight));
  return w;
}

// 7. Pinch model.
PinchSummary apply_pinch_model(FrameBuild& b) {
  const TipMappingParameters& params = b.params;
  PinchSummary summary;
  if (!params.pinch_enabled) return summary;
  FingerWork& thumb_work = finger_work(b, "thumb");
  const Vec3 thumb = thumb_work.human;
  for (const std::string& c : params.pinch_candidate_fingers) {
    FingerWork* candidate = key_equals(c, "thumb") ? nullptr : find_finger(b, c);
    if (!candidate) continue;
    const Vec3 v = sub(candidate->human, thumb);
    const double d = norm(v);
    if (d < summary.closest_distance) {
      summary.closest_distance = d;
      summary.closest_partner = &c;
    }
    const double w = pinch_candidate(b, *candidate, thumb_work, v, d);
    if (w > summary.strongest_weight) {
      summary.strongest_weight = w;
      summary.strongest_partner = &c;
    }
  }
  return summary;
}

// 8. The fingers' targets (the world targets among them) and weights.
void write_finger_targets(FrameBuild& b) {
  RetargetTargetFrame& t = b.frame;
  auto positions = sorted_writer(t.target_positions, b.key_text);
  auto rotations = sorted_writer(t.target_rotations, b.key_text);
  auto positions_world = sorted_writer(t.target_positions_world, b.key_text);
  auto rotations_world = sorted_writer(t.target_rotations_world, b.key_text);
  auto human = sorted_writer(t.human_tip_positions, b.key_text);
  auto shape = sorted_writer(t.shape_weights, b.key_text);
  auto orientation = sorted_writer(t.orientation_weights, b.key_text);
  for (const FingerWork& w : b.fingers) {
    const std::string& f = *w.name;
    positions.at(f) = w.position;
    rotations.at(f) = w.rotation;
    positions_world.at(f) = local_point_to_world(w.position, b.wrist_origin, b.wrist_rotation);
    rotations_world.at(f) = local_rotation_to_world(w.rotation, b.wrist_rotation);
    human.at(f) = w.human;
    shape.at(f) = w.shape_weight;
    orientation.at(f) = w.orientation_weight;
  }
  positions.finish();
  rotations.finish();
  positions_world.finish();
  rotations_world.finish();
  human.finish();
  shape.finish();
  orientation.finish();
}

// 8b. The pinch candidates' vectors and weights.
void write_pinch_targets(FrameBuild& b) {
  auto vectors = sorted_writer(b.frame.pinch_vectors, b.key_text);
  auto weights = sorted_writer(b.frame.pinch_weights, b.key_text);
  for (const FingerWork& w : b.fingers) {
    if (!w.pinch) continue;
    vectors.at(*w.name) = w.pinch_vector;
    weights.at(*w.name) = w.pinch_weight;
  }
  vectors.finish();
  weights.finish();
}

// 9. Reference points.
void set_reference_points(FrameBuild& b) {
  auto points = sorted_writer(b.frame.reference_points, b.key_text);
  auto weights = sorted_writer(b.frame.reference_weights, b.key_text);
  points.at("human_palm_origin") =
      local_point_to_world(b.params.palm_offset_local, b.wrist_origin, b.wrist_rotation);
  points.at("robot_palm_origin") = b.wrist_origin;
  weights.at("human_palm_origin") = 1.0;
  weights.at("robot_palm_origin") = 1.0;
  points.finish();
  weights.finish();
}

double flag(bool value) {
  return value ? 1.0 : 0.0;
}

// The frame's diagnostics, written in ascending key order: each step below writes one range of keys, and
// within a step the keys come in that order too.
struct Diagnostics {
  SortedWriter<std::map<std::string, DiagnosticValue>> out;

  void number(std::string_view key, double value) { out.at(key) = value; }
  void number(std::string_view prefix, const std::string& finger, double value) {
    out.at(prefix, finger) = value;
  }
  void text(std::string_view key, std::string_view value) { assign_text(out.at(key), value); }
};

// 10a. The dynamic palm offsets by finger. A finger's "dynamic_palm_z_" key sorts before or after the
// switch's "dynamic_palm_z_enabled" by the finger's name against "enabled".
void write_palm_diagnostics(const FrameBuild& b, Diagnostics& d) {
  for (const FingerWork& w : b.fingers) {
    if (w.palm) d.number("dynamic_palm_angle_deg_", *w.name, w.palm->bend_deg);
  }
  for (const FingerWork& w : b.fingers) {
    if (w.palm) d.number("dynamic_palm_extra_curl_alpha_", *w.name, w.palm->extra_curl_alpha);
  }
  for (const FingerWork& w : b.fingers) {
    if (w.palm && *w.name < "enabled") d.number("dynamic_palm_z_", *w.name, w.palm->z);
  }
  d.number("dynamic_palm_z_enabled", flag(b.params.dynamic_palm_enabled));
  for (const FingerWork& w : b.fingers) {
    if (w.palm && !(*w.name < "enabled")) d.number("dynamic_palm_z_", *w.name, w.palm->z);
  }
}

// 10b. The thumb adduction offset, its blend when applied.
void write_thumb_adduction_diagnostics(const FrameBuild& b, const ThumbAdduction& adduction, Diagnostics& d) {
  if (adduction.applied) {
    d.number("dynamic_thumb_adduction_alpha", adduction.alpha);
    d.number("dynamic_thumb_adduction_bias_x", adduction.bias[0]);
    d.number("dynamic_thumb_adduction_bias_y", adduction.bias[1]);
    d.number("dynamic_thumb_adduction_bias_z", adduction.bias[2]);
  }
  d.number("dynamic_thumb_adduction_enabled", flag(b.params.dynamic_thumb_adduction_enabled));
}

// 10c. The pinch model's settings, the per-finger pinch values and the summary.
void write_pinch_diagnostics(const FrameBuild& b, const PinchSummary& pinch, Diagnostics& d) {
  const TipMappingParameters& params = b.params;
  const std::string_view closest = name_of(pinch.closest_partner);
  d.number("pinch_closest_distance_m", closest.empty() ? -1.0 : pinch.closest_distance);
  d.text("pinch_closest_partner", closest);
  d.number("pinch_contact_distance_m", params.pinch_contact_distance_m);
  for (const FingerWork& w : b.fingers) {
    if (w.pinch) d.number("pinch_distance_m_", *w.name, w.pinch_distance);
  }
  d.number("pinch_enabled", flag(params.pinch_enabled));
  d.number("pinch_epsilon2_m", params.pinch_epsilon2_m);
  for (const FingerWork& w : b.fingers) d.number("pinch_epsilon2_m_", *w.name, w.epsilon2);
  d.number("pinch_finger_compensation_weight", params.pinch_finger_compensation_weight);
  for (const FingerWork& w : b.fingers)
    d.number("pinch_finger_compensation_weight_", *w.name, w.compensation);
  d.number("pinch_finger_orientation_compensation_weight",
           params.pinch_finger_orientation_compensation_weight);
  d.text("pinch_strongest_partner", name_of(pinch.strongest_partner));
  d.number("pinch_strongest_weight", pinch.strongest_weight);
  d.number("pinch_thumb_compensation_weight", params.pinch_thumb_compensation_weight);
  d.number("pinch_thumb_orientation_compensation_weight", params.pinch_thumb_orientation_compensation_weight);
  for (const FingerWork& w : b.fingers) {
    if (w.pinch) d.number("pinch_weight_", *w.name, w.pinch_weight);
  }
}

// 10d. The side-touch constraint, its values when applied.
void write_side_touch_diagnostics(const FrameBuild& b, const SideTouch& side, Diagnostics& d) {
  if (side.applied) {
    d.number("side_touch_adjustment_x", side.adjustment[0]);
    d.number("side_touch_adjustment_y", side.adjustment[1]);
    d.number("side_touch_adjustment_z", side.adjustment[2]);
    d.number("side_touch_human_distance_m", side.d);
    d.number("side_touch_human_threshold_m", side.thr);
    d.number("side_touch_mcp_angle_deg", side.bend);
    d.number("side_touch_mcp_trigger_angle_deg", b.params.side_touch_mcp_trigger_angle_deg);
    d.number("side_touch_plane_alpha", side.alpha);
  }
  d.number("side_touch_plane_enabled", flag(b.params.side_touch_enabled));
  if (side.applied) {
    d.text("side_touch_plane_partner", name_of(side.partner));
    d.number("side_touch_robot_distance_m", side.g);
  }
}

// 10. Diagnostics: the pipeline's settings, the per-finger weights, palm offsets and pinch values, and the
// thumb offsets when applied.
void write_diagnostics(FrameBuild& b, const PinchSummary& pinch, double tripod_weight,
                       double orientation_default, const ThumbAdduction& adduction, const SideTouch& side) {
  Diagnostics d{sorted_writer(b.frame.diagnostics, b.key_text)};
  write_palm_diagnostics(b, d);
  write_thumb_adduction_diagnostics(b, adduction, d);
  d.number("human_hand_scale", b.params.human_hand_scale);
  d.number("orientation_enabled", orientation_default);
  write_pinch_diagnostics(b, pinch, d);
  d.text("pipeline", "pinocchio_generic_retargeting");
  for (const FingerWork& w : b.fingers) d.number("shape_weight_", *w.name, w.shape_weight);
  write_side_touch_diagnostics(b, side, d);
  d.number("tripod_pinch_enabled", flag(b.params.tripod_pinch_enabled));
  d.number("tripod_pinch_weight", tripod_weight);
  d.out.finish();
}

}  // namespace

void build_tip_target_frame(const GloveFeatureFrame& glove, const Vec3& wrist_origin,
                            const TipMappingParameters& params, const Mat3& wrist_rotation,
                            RetargetTargetFrame& frame) {
  FrameBuild b{glove, wrist_origin, params, wrist_rotation, frame, {}, {}};
  frame.source = glove.source;
  frame.timestamp_s = glove.timestamp_s;
  frame.wrist_origin = wrist_origin;
  frame.wrist_rotation = wrist_rotation;

  collect_fingers(b);
  map_base_tips(b);
  const double tripod_weight = apply_tripod_pinch(b);
  place_tip_targets(b);
  const ThumbAdduction adduction = apply_thumb_adduction(b);
  const SideTouch side = apply_side_touch(b);
  const double orientation_default = glove.local_tips.empty() ? 0.0 : 1.0;
  set_default_weights(b, orientation_default);
  const PinchSummary pinch = apply_pinch_model(b);
  write_finger_targets(b);
  write_pinch_targets(b);
  set_reference_points(b);
  write_diagnostics(b, pinch, tripod_weight, orientation_default, adduction, side);
}

}  // namespace kelto::hand
