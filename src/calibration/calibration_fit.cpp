#include "calibration/calibration_fit.hpp"

#include <cctype>
#include <stdexcept>

#include "calibration/calibration_math.hpp"
#include "calibration/pinch_offset_fit.hpp"
#include "calibration/rotation_offset_fit.hpp"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "retargeting/map_lookup.hpp"
#include "retargeting/tip_mapping_parameters.hpp"

namespace kelto::hand {
namespace {

namespace cm = detail::calmath;
using detail::finger_at;

std::vector<CalibrationStageSample> stage_samples(const std::vector<CalibrationStageFrames>& stages,
                                                  const std::vector<std::string>& finger_order,
                                                  PinocchioHandKinematics& kinematics) {
  std::vector<CalibrationStageSample> samples;
  for (const CalibrationStageFrames& stage : stages) {
    AggregatedCalibrationStage aggregated = aggregate_calibration_stage(stage.frames, finger_order);
    CalibrationStageSample sample;
    sample.stage_id = stage.stage_id;
    sample.positions = std::move(aggregated.positions);
    sample.rotations = std::move(aggregated.rotations);
    if (!stage.reference_pose.empty()) {
      sample.robot_targets = robot_reference_targets_local(kinematics, stage.reference_pose, stage.fingers);
    }
    sample.fingers = stage.fingers;
    sample.weight = stage.weight;
    samples.push_back(std::move(sample));
  }
  return samples;
}

// Every position and rotation premultiplied by the base rotation offset.
std::vector<CalibrationStageSample> turned_samples(std::vector<CalibrationStageSample> samples,
                                                   const cm::Mat3& base_rotation) {
  for (CalibrationStageSample& sample : samples) {
    for (auto& [finger, position] : sample.positions) position = cm::mul(base_rotation, position);
    for (auto& [finger, rotation] : sample.rotations) rotation = cm::mul(base_rotation, rotation);
  }
  return samples;
}

std::vector<CalibrationObservation> observations_of(const std::vector<CalibrationStageSample>& samples,
                                                    const TipMappingParameters& params) {
  std::vector<CalibrationObservation> observations;
  for (const CalibrationStageSample& sample : samples) {
    for (const std::string& finger : sample.fingers) {
      CalibrationObservation o;
      o.source_position = finger_at(sample.positions, finger);
      o.source_rotation = finger_at(sample.rotations, finger);
      o.input_tip_offset_local =
          detail::value_or(params.input_tip_offset_local, finger, cm::Vec3{0.0, 0.0, 0.0});
      o.robot_target = finger_at(sample.robot_targets, finger);
      o.weight = sample.weight;
      observations.push_back(o);
    }
  }
  return observations;
}

void write_dynamic_palm(Config& cfg, const std::string& prefix, const DynamicPalmFit& dynamic) {
  const std::string d = prefix + ".dynamic_palm_offset_by_finger_plane";
  cfg.remove(d);
  cfg.set_boolean(d + ".enabled", true);
  cfg.set_strings(d + ".fingers", dynamic.fingers);
  cfg.set_number(d + ".flat_z", dynamic.flat_z);
  cfg.set_number(d + ".bent_z", dynamic.bent_z);
  cfg.set_number(d + ".max_angle_deg", dynamic.max_angle_deg);
  for (const auto& [finger, value] : dynamic.mcp_joint_position)
    cfg.set_vec3(d + ".mcp_joint_position." + finger, value);
  for (const auto& [finger, value] : dynamic.mcp90_reference_vector) {
    cfg.set_vec3(d + ".mcp90_reference_vector." + finger, value);
  }
  for (const auto& [finger, value] : dynamic.mcp_motion_plane_normal) {
    cfg.set_vec3(d + ".mcp_motion_plane_normal." + finger, value);
  }
}

detail::FrozenAxes frozen_axes_of(const Config& cfg, const std::string& side) {
  detail::FrozenAxes frozen;
  for (const char* finger : {"thumb", "first", "middle", "ring", "little"}) {
    const std::string key = "calibration.input_tip_offset_local.frozen_axes_by_side." + side + "." + finger;
    if (!cfg.contains(key)) continue;
    for (std::string word : cfg.strings(key)) {
      for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (word == "x") frozen[finger].insert(0);
      if (word == "y") frozen[finger].insert(1);
      if (word == "z") frozen[finger].insert(2);
    }
  }
  return frozen;
}

}  // namespace

ThreeStageCalibrationFit fit_calibration(const Config& config, const std::string& side,
                                         const std::vector<CalibrationStageFrames>& stages,
                                         std::optional<double> fixed_scale) {
  if (side != "left" && side != "right") throw std::runtime_error("Calibration side must be left or right");
  if (stages.empty()) throw std::runtime_error("Three-stage calibration requires stage samples");

  const TipMappingParameters params = TipMappingParameters::from_config(config, side);
  PinocchioHandKinematics kinematics(config, side);
  const std::vector<CalibrationStageSample> samples = stage_samples(stages, params.finger_order, kinematics);
  if (samples.empty()) throw std::runtime_error("Three-stage calibration has no active reference stages");

  const cm::Mat3 base_rotation = fit_input_base_rotation_offset_from_open_close(samples, params.finger_order)
                                     .value_or(params.input_base_rotation_offset);
  const cm::Mat3 mapping = cm::mul(params.rotation_matrix, base_rotation);
  const std::vector<CalibrationStageSample> turned = turned_samples(samples, base_rotation);

  const BaseCalibrationFit base =
      fit_base_calibration(observations_of(samples, params), mapping, 0.1, fixed_scale);

  std::optional<std::map<std::string, std::array<double, 9>>> rotation_offsets;
  if (const CalibrationStageSample* close = sample_by_stage(samples, "close")) {
    rotation_offsets = fit_input_tip_rotation_offsets_from_close(
        AggregatedCalibrationStage{close->positions, close->rotations}, params.finger_order,
        params.input_tip_rotation_offset_local, base_rotation);
  }

  const std::string prefix = "tip_mapping." + side;
  const std::string enabled_key = prefix + ".dynamic_palm_offset_by_finger_plane.enabled";
  std::optional<DynamicPalmFit> dynamic;
  if (!config.contains(enabled_key) || config.boolean(enabled_key)) {
    dynamic =
        fit_dynamic_palm_offset(turned, params.finger_order, params.rotation_matrix,
                                params.input_tip_offset_local, base.human_hand_scale, base.palm_offset_local);
  }
  const cm::Vec3 palm = dynamic ? dynamic->palm_offset_local : base.palm_offset_local;

  Config cfg = config;
  cfg.set_number(prefix + ".human_hand_scale", base.human_hand_scale);
  cfg.set_vec3(prefix + ".palm_offset_local", palm);
  cfg.set_matrix3(prefix + ".input_base_rotation_offset", base_rotation);
  if (rotation_offsets) {
    // Entries the fit does not produce (the thumb's) are kept: it cannot reproduce them.
    const std::string key = prefix + ".input_tip_rotation_offset_local";
    for (const auto& [finger, rotation] : *rotation_offsets) cfg.set_matrix3(key + "." + finger, rotation);
  }
  if (dynamic) write_dynamic_palm(cfg, prefix, *dynamic);

  const std::optional<std::map<std::string, std::array<double, 3>>> tip_offsets =
      detail::fit_input_tip_offsets_from_pinch(cfg, samples, side, params.input_tip_offset_local,
                                               params.finger_order, frozen_axes_of(cfg, side));
  if (tip_offsets) {
    const std::string key = prefix + ".input_tip_offset_local";
    cfg.remove(key);
    for (const auto& [finger, offset] : *tip_offsets) cfg.set_vec3(key + "." + finger, offset);
  }
  for (const char* reserved : {"__config_path__", "__config_dir__", "__bone_config_stem__"})
    cfg.remove(reserved);

  ThreeStageCalibrationFit result;
  result.base = base;
  result.base.palm_offset_local = palm;
  result.dynamic_palm = std::move(dynamic);
  result.input_tip_offset_local = tip_offsets;
  result.input_tip_rotation_offset_local = std::move(rotation_offsets);
  result.input_base_rotation_offset = base_rotation;
  result.yaml = cfg.dump_yaml();
  return result;
}

ThreeStageCalibrationFit fit_three_stage_calibration(const Config& config, const std::string& side,
                                                     const std::vector<CalibrationStageFrames>& stages,
                                                     std::optional<double> fixed_scale) {
  return fit_calibration(config, side, stages, fixed_scale);
}

}  // namespace kelto::hand
