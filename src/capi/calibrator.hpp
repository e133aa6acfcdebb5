// The calibrator handle: the frames captured per calibration stage for one hand side, and the result of
// the last fit over them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "calibration/calibration_fit.hpp"
#include "calibration/calibration_profile.hpp"
#include "calibration/calibration_stage.hpp"
#include "config/config.hpp"
#include "kelto_hand.h"

namespace kelto::hand::detail {

// The fingertips of one captured glove frame, by finger name.
using CalibrationFingerFrames = std::map<std::string, CalibrationFingerFrame>;

}  // namespace kelto::hand::detail

struct kx_calibrator {
  std::string config_path;
  // The configuration the fit uses: the system configuration, replaced by the locked side's own one
  // when a bone configuration was given.
  std::unique_ptr<kelto::hand::Config> active_config;
  std::unique_ptr<kelto::hand::Config> left_config;   // only with a bone configuration that loaded
  std::unique_ptr<kelto::hand::Config> right_config;  // likewise
  bool has_bone_config = false;
  kx_hand_side locked_side = KX_HAND_RIGHT;
  bool side_locked = false;
  std::optional<double> fixed_scale;
  std::vector<std::string> finger_order;
  kelto::hand::CalibrationProfile profile;
  std::uint32_t finger_mask = 31;
  std::map<std::string, std::vector<kelto::hand::detail::CalibrationFingerFrames>> samples;
  std::optional<kelto::hand::ThreeStageCalibrationFit> fit;
  std::string result_yaml;
  std::string last_error;
};

namespace kelto::hand::detail {

// Reads the finger order (retargeting.finger_order, else the five fingers), its mask and the calibration
// profile from the calibrator's active configuration. Throws on a bad order or profile, leaving the
// calibrator as it was.
void read_calibrator_finger_data(kx_calibrator& calibrator);

// Sets a failure text into the calibrator (when there is one) and the calling thread; returns `status`.
kx_status calibrator_fail(kx_calibrator* calibrator, const std::string& message,
                          kx_status status = KX_STATUS_INVALID_ARGUMENT);

// Clears the calibrator's and the calling thread's texts; returns KX_STATUS_OK.
kx_status calibrator_succeed(kx_calibrator& calibrator);

}  // namespace kelto::hand::detail
