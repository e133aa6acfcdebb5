// Fit of the per-finger glove tip offsets from the pinch stages, in which the user holds the thumb pad
// against one finger pad. Candidate offsets are judged by the real retargeting pipeline: fingertip
// targets of the captured pinches and, for the thumb, the solved hand.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "calibration/calibration_stage.hpp"
#include "config/config.hpp"
#include "retargeting/glove_feature_frame.hpp"
#include "retargeting/tip_target_frame.hpp"

namespace kelto::hand::detail {

// The pinch stages and the finger that meets the thumb in each, in fitting order.
inline constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kPinchStages{{
    {"pinch_first", "first"},
    {"pinch_middle", "middle"},
    {"pinch_ring", "ring"},
    {"pinch_little", "little"},
}};

struct PinchRuntimeMetrics {
  double target_gap_mm = 0.0;  // thumb-to-partner distance of the fingertip targets
  double solved_gap_mm = 0.0;  // the same in the solved hand
  double abs_diff_mm = 0.0;    // |solved - target|
};

using PinchFrame = std::map<std::string, CalibrationFingerFrame>;
using PinchFramesByStage = std::map<std::string, PinchFrame>;
using FrozenAxes = std::map<std::string, std::set<int>>;  // finger -> axis indices 0 (x), 1 (y), 2 (z)

// Starting offsets with the thumb and the pinch partners refitted, each within its starting value
// +- (0.025, 0.01, 0.025) m; none when the pinch stages of the finger order are not all captured.
// `samples` are the aggregated stages as captured (not turned by the base rotation offset).
std::optional<std::map<std::string, std::array<double, 3>>> fit_input_tip_offsets_from_pinch(
    const Config& config, const std::vector<CalibrationStageSample>& samples, const std::string& side,
    const std::map<std::string, std::array<double, 3>>& starting_offsets,
    const std::vector<std::string>& finger_order, const FrozenAxes& frozen_axes);

// A copy of the configuration whose tip_mapping.<side>.input_tip_offset_local holds exactly `offsets`.
Config config_with_input_tip_offsets(const Config& config, const std::string& side,
                                     const std::map<std::string, std::array<double, 3>>& offsets);

// A copy of the configuration with the joint smoother, the stall hold and the pinch model switched off.
Config prepared_runtime_config(const Config& config, const std::string& side);

// One captured pinch as a glove frame at the identity root.
GloveFeatureFrame pinch_feature_frame(const std::string& side, const std::string& stage_id,
                                      const PinchFrame& frames);

// The fingertip targets of a captured pinch with the hand at its rest pose.
RetargetTargetFrame runtime_target_for_pinch_pose(const Config& config, const std::string& side,
                                                  const std::string& stage_id, const PinchFrame& frames);

// Target and solved thumb-to-partner gaps of every captured pinch stage, in stage table order.
std::vector<PinchRuntimeMetrics> runtime_metrics_for_pinch_samples(const Config& config,
                                                                   const std::string& side,
                                                                   const PinchFramesByStage& frames_by_stage);

// The move of the partner's target `partner` that brings its gap to the thumb's target `thumb` to 75 % of
// its length, but not below 0.01 m (zero when the two coincide).
std::array<double, 3> pinch_gap_residual(const std::array<double, 3>& thumb,
                                         const std::array<double, 3>& partner);

// Score of the thumb offset (lower is better); 0 for no metrics.
double thumb_runtime_objective(const std::vector<PinchRuntimeMetrics>& metrics);

}  // namespace kelto::hand::detail
