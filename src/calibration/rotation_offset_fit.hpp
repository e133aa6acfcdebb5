// Rotation offsets of the glove fitted from the held flat stages: the base rotation that levels the
// glove's flat-hand plane, and the yaw of each glove fingertip frame about its own z axis.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "calibration/calibration_stage.hpp"

namespace kelto::hand {

// The rotation that turns the normal of the plane through the glove origin and the open and close
// fingertips (thumb excluded) onto +z. None without both stages, with fewer than three fingers, with
// non-finite positions or with a degenerate (point- or line-like) tip set.
std::optional<std::array<double, 9>> fit_input_base_rotation_offset_from_open_close(
    const std::vector<CalibrationStageSample>& samples, const std::vector<std::string>& fingers);

// Per non-thumb finger, the rotation about z that turns the close-stage fingertip frame (after the base
// rotation offset `base_rotation`) so that its x axis follows the glove's x axis. Fingers the stage does
// not hold keep their current offset (identity when none). None when no finger could be fitted.
std::optional<std::map<std::string, std::array<double, 9>>> fit_input_tip_rotation_offsets_from_close(
    const AggregatedCalibrationStage& close, const std::vector<std::string>& fingers,
    const std::map<std::string, std::array<double, 9>>& current_offsets,
    const std::array<double, 9>& base_rotation);

}  // namespace kelto::hand
