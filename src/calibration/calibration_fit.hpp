// The whole per-user calibration of one hand side: stage aggregation, base rotation offset, hand scale
// and palm offset, fingertip yaw offsets, dynamic palm offset and pinch fingertip offsets, written into
// a calibrated copy of the side's configuration.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "calibration/base_calibration_fit.hpp"
#include "calibration/calibration_stage.hpp"
#include "calibration/dynamic_palm_offset_fit.hpp"
#include "config/config.hpp"

namespace kelto::hand {

struct ThreeStageCalibrationFit {
  // Scale and palm offset; the palm offset is the dynamic palm fit's when that fit gave a result.
  BaseCalibrationFit base;
  std::optional<DynamicPalmFit> dynamic_palm;
  std::optional<std::map<std::string, std::array<double, 3>>> input_tip_offset_local;
  std::optional<std::map<std::string, std::array<double, 9>>> input_tip_rotation_offset_local;
  std::array<double, 9> input_base_rotation_offset{1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
  std::string yaml;  // the calibrated configuration
};

// Fits the calibration of `side` ("left" or "right") from the captured stages. Fits that find too little
// data leave the configured values in force. `config` is not changed. Throws std::runtime_error on a bad
// side, no stages or failing model and fit steps.
ThreeStageCalibrationFit fit_calibration(const Config& config, const std::string& side,
                                         const std::vector<CalibrationStageFrames>& stages,
                                         std::optional<double> fixed_scale);

// The same as fit_calibration.
ThreeStageCalibrationFit fit_three_stage_calibration(const Config& config, const std::string& side,
                                                     const std::vector<CalibrationStageFrames>& stages,
                                                     std::optional<double> fixed_scale);

}  // namespace kelto::hand
