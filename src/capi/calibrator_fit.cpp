// Feeding a calibrator glove frames per stage, fitting over them and handing out the result.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capi/calibrator.hpp"
#include "capi/fingers.hpp"
#include "capi/last_error.hpp"
#include "capi/records.hpp"

namespace kelto::hand::detail {
namespace {

// Hands a failure text to the calibrator and the thread.
auto report_to(kx_calibrator* calibrator) {
  return [calibrator](const std::string& text) { calibrator_fail(calibrator, text); };
}

// The text of a failure caught at the calibrator boundary goes to the calibrator and the thread.
template <typename Body>
kx_status guard_calibrator(kx_calibrator* calibrator, const char* unknown_text, Body&& body) {
  return guard(unknown_text, std::forward<Body>(body), report_to(calibrator));
}

// Locks the calibrator to the side of its first acceptable frame. With a bone configuration the side
// needs its own configuration, which then becomes the active one.
kx_status lock_side(kx_calibrator& calibrator, kx_hand_side side) {
  if (calibrator.has_bone_config) {
    const std::unique_ptr<Config>& side_config =
        side == KX_HAND_LEFT ? calibrator.left_config : calibrator.right_config;
    if (!side_config) {
      return calibrator_fail(&calibrator, side == KX_HAND_LEFT
                                              ? "calibration bone_config has no left-hand data"
                                              : "calibration bone_config has no right-hand data");
    }
    calibrator.locked_side = side;
    calibrator.side_locked = true;
    calibrator.active_config = std::make_unique<Config>(*side_config);
  } else {
    calibrator.locked_side = side;
    calibrator.side_locked = true;
  }
  read_calibrator_finger_data(calibrator);
  return KX_STATUS_OK;
}

// True when the enhanced stage list is wanted: some stage of it beyond the basic ones has frames.
bool wants_enhanced_stages(const kx_calibrator& calibrator) {
  const CalibrationProfile& profile = calibrator.profile;
  for (const std::string& id : profile.enhanced_stage_ids) {
    bool basic = false;
    for (const std::string& basic_id : profile.basic_stage_ids) basic = basic || basic_id == id;
    if (basic) continue;
    const auto captured = calibrator.samples.find(id);
    if (captured != calibrator.samples.end() && !captured->second.empty()) return true;
  }
  return false;
}

}  // namespace
}  // namespace kelto::hand::detail

using kelto::hand::detail::calibrator_fail;
using kelto::hand::detail::calibrator_succeed;

extern "C" {

kx_status kx_calibrator_add_frame(kx_calibrator* calibrator, kx_string_view stage_id,
                                  const kx_engine_input* frame) {
  return kelto::hand::detail::guard_calibrator(
      calibrator, "unknown native calibration exception", [&]() -> kx_status {
        if (calibrator == nullptr || frame == nullptr)
          return calibrator_fail(calibrator, "calibrator and glove frame are required");
        if (const kx_status header = kelto::hand::detail::check_record_header(
                {"calibration glove frame struct_size is invalid",
                 "calibration glove frame ABI version does not match"},
                kelto::hand::detail::report_to(calibrator), frame);
            header != KX_STATUS_OK)
          return header;
        if (!kelto::hand::detail::hand_side_is_valid(frame->hand_side))
          return calibrator_fail(calibrator, "calibration glove frame hand side is invalid");
        const auto side = static_cast<kx_hand_side>(frame->hand_side);
        if (!calibrator->side_locked) {
          const kx_status locked = kelto::hand::detail::lock_side(*calibrator, side);
          if (locked != KX_STATUS_OK) return locked;
        }
        if (side != calibrator->locked_side)
          return calibrator_fail(calibrator, "calibration contains mixed hand sides");

        const std::string id = kelto::hand::detail::view_text(stage_id);
        bool known_stage = false;
        for (const kelto::hand::CalibrationStageProfile& stage : calibrator->profile.stages)
          known_stage = known_stage || stage.id == id;
        if (!known_stage) return calibrator_fail(calibrator, "native calibration stage is invalid: " + id);
        if ((frame->local_tip_mask & calibrator->finger_mask) != calibrator->finger_mask)
          return calibrator_fail(calibrator,
                                 "calibration glove frame requires all configured local fingertips");

        kelto::hand::detail::CalibrationFingerFrames fingers;
        for (const std::string& finger : calibrator->finger_order) {
          const kx_pose& pose = frame->local_tips[kelto::hand::detail::finger_index(finger)];
          if (!kelto::hand::detail::pose_is_finite(pose))
            return calibrator_fail(calibrator, "calibration glove frame contains non-finite fingertip data");
          kelto::hand::CalibrationFingerFrame& tip = fingers[finger];
          for (int i = 0; i < 3; ++i) tip.position[i] = pose.position[i];
          for (int i = 0; i < 9; ++i) tip.rotation[i] = pose.rotation[i];
        }
        calibrator->samples[id].push_back(std::move(fingers));
        calibrator->fit.reset();
        calibrator->result_yaml.clear();
        return calibrator_succeed(*calibrator);
      });
}

kx_status kx_calibrator_fit(kx_calibrator* calibrator) {
  if (calibrator == nullptr) {
    kelto::hand::detail::fail("calibrator is required");
    return KX_STATUS_INVALID_ARGUMENT;
  }
  return kelto::hand::detail::guard_calibrator(
      calibrator, "unknown native calibration exception", [&]() -> kx_status {
        const bool enhanced = kelto::hand::detail::wants_enhanced_stages(*calibrator);
        const std::vector<std::string>& ids = calibrator->profile.stage_ids(enhanced);
        for (const std::string& id : ids) {
          const auto captured = calibrator->samples.find(id);
          if (captured == calibrator->samples.end() || captured->second.empty())
            return calibrator_fail(calibrator, "native calibration is missing stage: " + id);
        }
        std::vector<kelto::hand::CalibrationStageFrames> stages;
        for (const std::string& id : ids) {
          const kelto::hand::CalibrationStageProfile& stage = calibrator->profile.stage(id);
          kelto::hand::CalibrationStageFrames frames;
          frames.stage_id = stage.id;
          frames.reference_pose = stage.reference_pose.value_or("");
          frames.fingers = stage.fingers;
          frames.weight = stage.weight;
          frames.frames = calibrator->samples.at(id);
          stages.push_back(std::move(frames));
        }
        const std::string side = kelto::hand::detail::side_word(calibrator->locked_side);
        kelto::hand::Config config = *calibrator->active_config;
        config.set_string("hand.side", side);
        kelto::hand::ThreeStageCalibrationFit fit =
            kelto::hand::fit_calibration(config, side, stages, calibrator->fixed_scale);
        std::string yaml = fit.yaml;
        calibrator->fit = std::move(fit);
        calibrator->result_yaml = std::move(yaml);
        return calibrator_succeed(*calibrator);
      });
}

kx_status kx_calibrator_get_result(kx_calibrator* calibrator, kx_calibration_result* result) {
  return kelto::hand::detail::guard_calibrator(
      calibrator, "unknown native calibration exception", [&]() -> kx_status {
        if (calibrator == nullptr || result == nullptr)
          return calibrator_fail(calibrator, "calibrator and result output are required");
        if (const kx_status header = kelto::hand::detail::check_record_header(
                {"calibrator result struct_size is invalid", "calibrator result ABI version does not match"},
                kelto::hand::detail::report_to(calibrator), result);
            header != KX_STATUS_OK)
          return header;
        if (!calibrator->fit) return calibrator_fail(calibrator, "calibrator has no fitted result");
        const kelto::hand::BaseCalibrationFit& base = calibrator->fit->base;
        result->struct_size = sizeof(kx_calibration_result);
        result->abi_version = KX_ABI_VERSION_MAJOR;
        result->scale_delta = base.scale_delta;
        result->human_hand_scale = base.human_hand_scale;
        for (int i = 0; i < 3; ++i) result->palm_offset_local[i] = base.palm_offset_local[i];
        return calibrator_succeed(*calibrator);
      });
}

kx_status kx_calibrator_result_yaml(kx_calibrator* calibrator, kx_string_view* out_yaml) {
  return kelto::hand::detail::guard_calibrator(
      calibrator, "unknown native calibration exception", [&]() -> kx_status {
        if (calibrator == nullptr || out_yaml == nullptr)
          return calibrator_fail(calibrator, "calibrator and YAML output are required");
        if (calibrator->result_yaml.empty())
          return calibrator_fail(calibrator, "calibrator has no fitted YAML result");
        *out_yaml = kelto::hand::detail::text_view(calibrator->result_yaml);
        return calibrator_succeed(*calibrator);
      });
}

}  // extern "C"
