// The calibration stages of a hand: which held gestures to capture, what to tell the user, how many
// samples to take and how much each stage weighs, read from the `calibration` section of the hand's pose
// library (or made from its poses when the section is absent).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "config/config.hpp"

namespace kelto::hand {

struct CalibrationStageProfile {
  std::string id;            // unique within a profile ("close", "open", "mcp90", "pinch_first" ...)
  std::string role;          // "flat_reference", "bent_reference" or "tip_offset"
  std::string gesture_kind;  // "close", "open", "mcp90", "pinch" ...
  std::string prompt;        // UTF-8 text shown to the user
  std::optional<std::string> reference_pose;  // pose of the library that the stage imitates
  std::vector<std::string> fingers;           // fingers captured by the stage (may be empty)
  std::optional<std::string> partner_finger;  // the finger that meets the thumb in a pinch stage
  std::size_t sample_count = 0;               // frames to capture; never 0 in a loaded profile
  double weight = 0.0;                        // finite and not negative
};

struct CalibrationProfile {
  std::vector<CalibrationStageProfile> stages;  // in file order
  std::vector<std::string> basic_stage_ids;
  std::vector<std::string> enhanced_stage_ids;  // holds every basic id

  // The first stage with this id; throws std::out_of_range "unknown calibration stage: <id>".
  const CalibrationStageProfile& stage(const std::string& id) const;
  // The enhanced or the basic stage ids.
  const std::vector<std::string>& stage_ids(bool enhanced) const;
};

// Finds the pose library of the configured hand (beside the configuration file, else under
// kelto_hand/resources/hands/<hand.type>/ in the configuration directory or one of its ancestors) and
// reads its calibration profile. Stage fingers must come from `finger_order`. Throws std::runtime_error
// on a missing library or an invalid profile.
CalibrationProfile load_calibration_profile(const Config& config,
                                            const std::vector<std::string>& finger_order);

}  // namespace kelto::hand
