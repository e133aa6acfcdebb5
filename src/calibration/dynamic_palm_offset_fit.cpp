#include "calibration/dynamic_palm_offset_fit.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "calibration/calibration_math.hpp"
#include "retargeting/map_lookup.hpp"

namespace kelto::hand {
namespace {

namespace cm = detail::calmath;
using detail::finger_at;

constexpr double kDegPerRad = 57.29577951308232;

bool is_flat_stage(const std::string& id) {
  return id == "open" || id == "close";
}
bool is_bent_stage(const std::string& id) {
  return id == "mcp90" || id == "fist" || id == "mcp90_pip90";
}

bool lists(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

double weighted_mean(const std::vector<double>& values, const std::vector<double>& weights) {
  if (values.size() != weights.size() || values.empty()) {
    throw std::runtime_error("Dynamic palm weighted mean input is invalid");
  }
  double weight_sum = 0.0, weighted = 0.0, plain = 0.0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double w = std::max(weights[i], 0.0);
    weight_sum += w;
    weighted += w * values[i];
    plain += values[i];
  }
  if (weight_sum <= 1e-9) return plain / static_cast<double>(values.size());
  return weighted / weight_sum;
}

// Centre of the circle through a, b and c, or their centroid when they do not span a circle.
cm::Vec3 circle_centre(const cm::Vec3& a, const cm::Vec3& b, const cm::Vec3& c) {
  const cm::Vec3 u = cm::sub(b, a);
  const cm::Vec3 w = cm::sub(c, a);
  const cm::Vec3 n = cm::cross(u, w);
  const cm::Vec3 centroid = cm::scaled(cm::add(cm::add(a, b), c), 1.0 / 3.0);
  const double n_norm = cm::norm(n), u_norm = cm::norm(u);
  if (n_norm <= 1e-9 || u_norm <= 1e-9) return centroid;
  const cm::Vec3 e1 = cm::scaled(u, 1.0 / u_norm);
  const cm::Vec3 e2 = cm::cross(cm::scaled(n, 1.0 / n_norm), e1);
  const double bx = cm::dot(u, e1), by = cm::dot(u, e2);
  const double cx = cm::dot(w, e1), cy = cm::dot(w, e2);
  const double d = bx * cy - by * cx;
  if (std::abs(d) <= 1e-12) return centroid;
  const double kb = 0.5 * (bx * bx + by * by), kc = 0.5 * (cx * cx + cy * cy);
  const double x = (kb * cy - kc * by) / d;
  const double y = (kc * bx - kb * cx) / d;
  return cm::add(a, cm::add(cm::scaled(e1, x), cm::scaled(e2, y)));
}

}  // namespace

namespace detail {

std::array<double, 3> corrected_source_tip(const CalibrationStageSample& sample, const std::string& finger,
                                           const std::map<std::string, std::array<double, 3>>& tip_offsets) {
  const cm::Vec3& position = finger_at(sample.positions, finger);
  const auto offset = tip_offsets.find(finger);
  if (offset == tip_offsets.end()) return position;
  const auto rotation = sample.rotations.find(finger);
  if (rotation == sample.rotations.end()) return cm::add(position, offset->second);
  return cm::add(position, cm::mul(rotation->second, offset->second));
}

double trimmed_mean(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end(), cm::nan_last_less);
  const std::size_t n = values.size();
  std::size_t k = static_cast<std::size_t>(std::floor(0.2 * static_cast<double>(n)));
  if (2 * k >= n) k = 0;
  double sum = 0.0;
  for (std::size_t i = k; i < n - k; ++i) sum += values[i];
  return sum / static_cast<double>(n - 2 * k);
}

}  // namespace detail

std::optional<DynamicPalmFit> fit_dynamic_palm_offset(
    const std::vector<CalibrationStageSample>& samples, const std::vector<std::string>& fingers,
    const std::array<double, 9>& mapping_rotation,
    const std::map<std::string, std::array<double, 3>>& tip_offsets, double scale,
    const std::array<double, 3>& base_palm_offset) {
  if (samples.empty()) return std::nullopt;
  std::vector<std::string> fitted;
  for (const std::string& f : fingers) {
    if (f != "thumb") fitted.push_back(f);
  }
  const cm::Vec3 mapping_z_row{mapping_rotation[6], mapping_rotation[7], mapping_rotation[8]};

  std::vector<double> flat_z, flat_w, flat_angles, bent_z, bent_w, bent_angles;
  for (const CalibrationStageSample& sample : samples) {
    const bool flat = is_flat_stage(sample.stage_id);
    if (!flat && !is_bent_stage(sample.stage_id)) continue;
    for (const std::string& f : fitted) {
      if (!lists(sample.fingers, f)) continue;
      const cm::Vec3 tip = detail::corrected_source_tip(sample, f, tip_offsets);
      const double z = finger_at(sample.robot_targets, f)[2] - scale * cm::dot(mapping_z_row, tip);
      const double tip_norm = cm::norm(tip);
      const double angle =
          tip_norm > 1e-9 ? std::asin(std::min(1.0, std::abs(tip[2]) / tip_norm)) * kDegPerRad : 0.0;
      (flat ? flat_z : bent_z).push_back(z);
      (flat ? flat_w : bent_w).push_back(sample.weight);
      (flat ? flat_angles : bent_angles).push_back(angle);
    }
  }
  if (flat_z.empty() || bent_z.empty()) return std::nullopt;

  DynamicPalmFit fit;
  fit.flat_z = weighted_mean(flat_z, flat_w) + 0.014;
  fit.bent_z = std::max(weighted_mean(bent_z, bent_w) - 0.024, fit.flat_z - 0.025);

  const CalibrationStageSample* close = sample_by_stage(samples, "close");
  const CalibrationStageSample* open = sample_by_stage(samples, "open");
  const CalibrationStageSample* mcp90 = sample_by_stage(samples, "mcp90");
  if (close != nullptr && open != nullptr && mcp90 != nullptr) {
    for (const std::string& f : close->fingers) {
      if (f == "thumb" || !lists(open->fingers, f) || !lists(mcp90->fingers, f)) continue;
      fit.mcp_joint_position[f] = circle_centre(detail::corrected_source_tip(*close, f, tip_offsets),
                                                detail::corrected_source_tip(*open, f, tip_offsets),
                                                detail::corrected_source_tip(*mcp90, f, tip_offsets));
    }
    for (const auto& [f, joint] : fit.mcp_joint_position) {
      const cm::Vec3 a = cm::sub(detail::corrected_source_tip(*mcp90, f, tip_offsets), joint);
      const cm::Vec3 mid = cm::scaled(cm::add(detail::corrected_source_tip(*close, f, tip_offsets),
                                              detail::corrected_source_tip(*open, f, tip_offsets)),
                                      0.5);
      const cm::Vec3 n = cm::cross(a, cm::sub(mid, joint));
      const double n_norm = cm::norm(n);
      if (n_norm > 1e-9) fit.mcp_motion_plane_normal[f] = cm::scaled(n, 1.0 / n_norm);
    }
  }

  if (!fit.mcp_joint_position.empty()) {
    fit.max_angle_deg = 90.0;
  } else {
    const double x = detail::trimmed_mean(flat_angles);
    const double y = detail::trimmed_mean(bent_angles);
    fit.max_angle_deg = y > x + 5.0 ? std::clamp(std::max(0.85 * y, x + 20.0), 20.0, 75.0) : 65.0;
  }
  fit.palm_offset_local = {base_palm_offset[0], base_palm_offset[1], fit.flat_z - 0.01};
  if (mcp90 != nullptr) {
    for (const auto& [f, joint] : fit.mcp_joint_position) {
      fit.mcp90_reference_vector[f] = cm::sub(detail::corrected_source_tip(*mcp90, f, tip_offsets), joint);
    }
  }
  fit.fingers = fitted;
  return fit;
}

}  // namespace kelto::hand
