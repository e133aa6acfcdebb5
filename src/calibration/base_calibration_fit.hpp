// Weighted least-squares fit of the hand scale and palm offset that carry mapped glove fingertips onto
// the robot's reference fingertips.
#pragma once

#include <array>
#include <optional>
#include <vector>

namespace kelto::hand {

// One glove fingertip paired with the robot fingertip it should meet; 19 doubles without padding, laid
// out like the C observation record.
struct CalibrationObservation {
  std::array<double, 3> source_position{0.0, 0.0, 0.0};  // glove fingertip, local frame
  std::array<double, 9> source_rotation{1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};  // row-major
  std::array<double, 3> input_tip_offset_local{0.0, 0.0, 0.0};  // in the glove tip frame
  std::array<double, 3> robot_target{0.0, 0.0, 0.0};            // robot fingertip, wrist frame
  double weight = 0.0;
};
static_assert(sizeof(CalibrationObservation) == 19 * sizeof(double), "observation must be 19 packed doubles");

struct BaseCalibrationFit {
  double scale_delta = 0.0;  // the fitted slope
  double human_hand_scale = 0.0;
  std::array<double, 3> palm_offset_local{0.0, 0.0, 0.0};
};
static_assert(sizeof(BaseCalibrationFit) == 5 * sizeof(double), "base fit must be 5 packed doubles");

// Fits robot_target ~ scale * M * (position + rotation * offset) + palm over the weighted observations.
// The scale is `scale_base` + slope, or `fixed_scale` when given (the slope is still reported). Throws
// std::runtime_error without observations.
BaseCalibrationFit fit_base_calibration(const std::vector<CalibrationObservation>& observations,
                                        const std::array<double, 9>& mapping_rotation, double scale_base,
                                        std::optional<double> fixed_scale);

}  // namespace kelto::hand
