#include "calibration/rotation_offset_fit.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>

#include "calibration/calibration_math.hpp"

namespace kelto::hand {

namespace cm = detail::calmath;

std::optional<std::array<double, 9>> fit_input_base_rotation_offset_from_open_close(
    const std::vector<CalibrationStageSample>& samples, const std::vector<std::string>& fingers) {
  const CalibrationStageSample* close = sample_by_stage(samples, "close");
  const CalibrationStageSample* open = sample_by_stage(samples, "open");
  if (close == nullptr || open == nullptr) return std::nullopt;

  std::vector<std::string> used;
  for (const std::string& f : fingers) {
    if (f != "thumb" && open->positions.count(f) && close->positions.count(f)) used.push_back(f);
  }
  if (used.size() < 3) return std::nullopt;

  const Eigen::Index n = static_cast<Eigen::Index>(used.size());
  Eigen::MatrixXd points(2 * n, 3);
  for (Eigen::Index i = 0; i < n; ++i) {
    const cm::Vec3& p_open = open->positions.at(used[i]);
    const cm::Vec3& p_close = close->positions.at(used[i]);
    for (int k = 0; k < 3; ++k) {
      points(i, k) = p_open[k];
      points(n + i, k) = p_close[k];
    }
  }
  if (!points.allFinite()) return std::nullopt;

  const Eigen::JacobiSVD<Eigen::MatrixXd> svd(points, Eigen::ComputeFullV);
  const Eigen::Vector3d s = svd.singularValues();
  if (s(0) <= 1e-8 || s(1) / s(0) < 0.1) return std::nullopt;

  Eigen::Vector3d normal = svd.matrixV().col(2);
  if (normal.z() < 0.0) normal = -normal;
  const cm::Vec3 a{normal.y(), -normal.x(), 0.0};
  const double a_norm = cm::norm(a);
  if (a_norm <= 1e-12) return cm::kIdentity;

  const double c = std::clamp(normal.z(), -1.0, 1.0);
  const cm::Mat3 k{0.0, -a[2], a[1], a[2], 0.0, -a[0], -a[1], a[0], 0.0};
  const cm::Mat3 k2 = cm::mul(k, k);
  const double factor = (1.0 - c) / (a_norm * a_norm);
  cm::Mat3 r{};
  for (int i = 0; i < 9; ++i) r[i] = cm::kIdentity[i] + k[i] + k2[i] * factor;
  return project_rotation_matrix(r);
}

std::optional<std::map<std::string, std::array<double, 9>>> fit_input_tip_rotation_offsets_from_close(
    const AggregatedCalibrationStage& close, const std::vector<std::string>& fingers,
    const std::map<std::string, std::array<double, 9>>& current_offsets,
    const std::array<double, 9>& base_rotation) {
  std::map<std::string, std::array<double, 9>> offsets;
  bool fitted = false;
  for (const std::string& f : fingers) {
    if (f == "thumb") continue;
    const auto current = current_offsets.find(f);
    offsets[f] = current == current_offsets.end() ? cm::kIdentity : current->second;

    const auto measured = close.rotations.find(f);
    if (measured == close.rotations.end()) continue;
    const cm::Mat3 r = project_rotation_matrix(cm::mul(base_rotation, measured->second));
    const cm::Vec3 z = cm::column(r, 2);
    const cm::Vec3 v = cm::sub({1.0, 0.0, 0.0}, cm::scaled(z, z[0]));
    const double v_norm = cm::norm(v);
    if (v_norm <= 1e-6) continue;
    const cm::Vec3 v_hat = cm::scaled(v, 1.0 / v_norm);
    const double theta = std::atan2(cm::dot(v_hat, cm::column(r, 1)), cm::dot(v_hat, cm::column(r, 0)));
    const double ct = std::cos(theta), st = std::sin(theta);
    offsets[f] = {ct, -st, 0.0, st, ct, 0.0, 0.0, 0.0, 1.0};
    fitted = true;
  }
  if (!fitted) return std::nullopt;
  return offsets;
}

}  // namespace kelto::hand
