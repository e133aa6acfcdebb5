#include "calibration/calibration_stage.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "calibration/calibration_math.hpp"

namespace kelto::hand {
namespace {

double median(std::vector<double> values) {
  if (values.empty()) throw std::runtime_error("Calibration median requires at least one value");
  std::sort(values.begin(), values.end(), detail::calmath::nan_last_less);
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

}  // namespace

std::array<double, 9> project_rotation_matrix(const std::array<double, 9>& m) {
  // A matrix with a non-finite entry has no nearest rotation; the result says so in every entry.
  for (double value : m) {
    if (!std::isfinite(value)) {
      std::array<double, 9> invalid;
      invalid.fill(std::numeric_limits<double>::quiet_NaN());
      return invalid;
    }
  }
  Eigen::Matrix3d a;
  a << m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8];
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(a, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Eigen::Matrix3d u = svd.matrixU();
  const Eigen::Matrix3d& v = svd.matrixV();
  Eigen::Matrix3d r = u * v.transpose();
  if (r.determinant() < 0.0) {
    u.col(2) = -u.col(2);
    r = u * v.transpose();
  }
  return {r(0, 0), r(0, 1), r(0, 2), r(1, 0), r(1, 1), r(1, 2), r(2, 0), r(2, 1), r(2, 2)};
}

AggregatedCalibrationStage aggregate_calibration_stage(
    const std::vector<std::map<std::string, CalibrationFingerFrame>>& frames,
    const std::vector<std::string>& fingers) {
  if (frames.empty()) throw std::runtime_error("Calibration stage requires at least one frame");
  AggregatedCalibrationStage out;
  for (const std::string& finger : fingers) {
    std::array<std::vector<double>, 3> axes;
    std::array<double, 9> sum{};
    for (const auto& frame : frames) {
      const auto it = frame.find(finger);
      if (it == frame.end()) throw std::runtime_error("Calibration frame is missing finger: " + finger);
      for (int k = 0; k < 3; ++k) axes[k].push_back(it->second.position[k]);
      for (int k = 0; k < 9; ++k) sum[k] += it->second.rotation[k];
    }
    out.positions[finger] = {median(axes[0]), median(axes[1]), median(axes[2])};
    const double count = static_cast<double>(frames.size());
    for (double& value : sum) value /= count;
    out.rotations[finger] = project_rotation_matrix(sum);
  }
  return out;
}

const CalibrationStageSample* sample_by_stage(const std::vector<CalibrationStageSample>& samples,
                                              const std::string& stage_id) {
  const bool bent = stage_id == "mcp90";
  for (const CalibrationStageSample& sample : samples) {
    if (sample.stage_id == stage_id) return &sample;
    if (bent && (sample.stage_id == "fist" || sample.stage_id == "mcp90_pip90")) return &sample;
  }
  return nullptr;
}

std::map<std::string, std::array<double, 3>> robot_reference_targets_local(
    PinocchioHandKinematics& kinematics, const std::string& pose_name,
    const std::vector<std::string>& fingers) {
  const std::vector<double> q = kinematics.pose_active(pose_name);
  const HandKinematicsState state = kinematics.state_from_active(q);
  std::map<std::string, std::array<double, 3>> targets;
  for (const std::string& finger : fingers) {
    const auto it = state.tip_positions_wrist.find(finger);
    if (it == state.tip_positions_wrist.end()) {
      throw std::runtime_error("Robot reference pose is missing finger: " + finger);
    }
    targets[finger] = it->second;
  }
  return targets;
}

}  // namespace kelto::hand
