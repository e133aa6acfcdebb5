// Fit of the dynamic palm offset: the palm heights for a flat and a fully bent finger, the bend angle at
// which the bent height is reached and, per finger, the MCP joint circle through the close, open and
// mcp90 fingertips.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "calibration/calibration_stage.hpp"

namespace kelto::hand {

struct DynamicPalmFit {
  std::array<double, 3> palm_offset_local{0.0, 0.0, 0.0};  // base fit's x and y, z = flat_z - 0.01
  std::vector<std::string> fingers;                        // the finger order without the thumb
  double flat_z = 0.0;
  double bent_z = 0.0;
  double max_angle_deg = 65.0;
  std::map<std::string, std::array<double, 3>> mcp_joint_position;       // glove frame, base-rotated
  std::map<std::string, std::array<double, 3>> mcp90_reference_vector;   // mcp90 tip minus joint centre
  std::map<std::string, std::array<double, 3>> mcp_motion_plane_normal;  // unit normals
};

// `samples` are already turned by the base rotation offset; `mapping_rotation` is the tip mapping's
// rotation matrix and `scale` and `base_palm_offset` come from the base fit. None without flat or bent
// stages.
std::optional<DynamicPalmFit> fit_dynamic_palm_offset(
    const std::vector<CalibrationStageSample>& samples, const std::vector<std::string>& fingers,
    const std::array<double, 9>& mapping_rotation,
    const std::map<std::string, std::array<double, 3>>& tip_offsets, double scale,
    const std::array<double, 3>& base_palm_offset);

namespace detail {

// The sample's fingertip moved by the finger's tip offset (in the tip frame when the sample has the
// finger's rotation, else as given). Throws std::out_of_range when the sample has no position.
std::array<double, 3> corrected_source_tip(const CalibrationStageSample& sample, const std::string& finger,
                                           const std::map<std::string, std::array<double, 3>>& tip_offsets);

// Mean of the values sorted ascending after dropping floor(0.2 n) values at each end (none when that
// would drop everything); 0 for no values.
double trimmed_mean(std::vector<double> values);

}  // namespace detail

}  // namespace kelto::hand
