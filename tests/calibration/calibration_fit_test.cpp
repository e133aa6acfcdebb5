// The per-side calibration fit on the bundled hand: what it writes into the calibrated configuration,
// what it leaves alone, and a synthetic user whose hand and glove differ from the model.
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "calibration/calibration_fit.hpp"
#include "calibration_test_support.hpp"
#include "synthetic_user.hpp"

namespace kelto::hand {
namespace {

using test::error_text;
using test::mul;
using test::rot;

const std::vector<std::string> kBasicStages{"close", "open", "mcp90"};
const std::vector<std::string> kAllStages{"close",        "open",       "mcp90",       "pinch_first",
                                          "pinch_middle", "pinch_ring", "pinch_little"};
const std::vector<std::string> kUserPoses{"open",         "five_close",  "mcp90",
                                          "fist",         "mcp90_pip90", "pinch_first",
                                          "pinch_middle", "pinch_ring",  "pinch_little"};

Config bundled_config() {
  return Config::load(test::bundled_hand_config(), "", "right");
}

// The user: a hand 15 % larger than the model (so the mapping needs scale 0.87) wearing a glove whose
// base is tilted by about 20 degrees.
TipMappingParameters user_truth(const Config& config) {
  TipMappingParameters truth = TipMappingParameters::from_config(config, "right");
  truth.human_hand_scale = 0.87;
  truth.input_base_rotation_offset = test::transpose(mul(rot(0, 0.28), rot(1, -0.2)));
  return truth;
}

// A YAML node at a dotted path, or an invalid node.
YAML::Node at(YAML::Node node, const std::string& path) {
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t dot = std::min(path.find('.', start), path.size());
    node = node[path.substr(start, dot - start)];
    if (!node) return node;
    start = dot + 1;
  }
  return node;
}

std::array<double, 3> vec3(const YAML::Node& node) {
  return node.as<std::array<double, 3>>();
}
std::array<double, 9> mat3(const YAML::Node& node) {
  std::array<double, 9> m{};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) m[3 * r + c] = node[r][c].as<double>();
  return m;
}

TEST(CalibrationFit, RejectsBadArguments) {
  const Config config = bundled_config();
  const auto stages = test::capture_stages(config, "right", user_truth(config), {"close"}, 1, 0.0);
  EXPECT_EQ(error_text([&] { fit_calibration(config, "both", stages, std::nullopt); }),
            "Calibration side must be left or right");
  EXPECT_EQ(error_text([&] { fit_calibration(config, "right", {}, std::nullopt); }),
            "Three-stage calibration requires stage samples");
  // A stage that lists fingers needs a reference pose for their robot targets.
  auto no_reference = stages;
  no_reference[0].reference_pose.clear();
  EXPECT_THROW(fit_calibration(config, "right", no_reference, std::nullopt), std::out_of_range);
  // Only stages without observed fingers: nothing for the base fit.
  auto unobserved = stages;
  unobserved[0].fingers.clear();
  EXPECT_EQ(error_text([&] { fit_calibration(config, "right", unobserved, std::nullopt); }),
            "Base calibration requires at least one observation");
  auto empty = stages;
  empty[0].frames.clear();
  EXPECT_EQ(error_text([&] { fit_three_stage_calibration(config, "right", empty, std::nullopt); }),
            "Calibration stage requires at least one frame");
}

TEST(CalibrationFit, WritesTheFittedKeysAndKeepsTheRest) {
  Config config = bundled_config();
  const std::string S = "tip_mapping.right";
  // Stale entries that the fit must replace; the dynamic palm fit runs when its switch is absent.
  config.set_matrix3(S + ".input_tip_rotation_offset_local.extra", rot(2, 0.1));
  config.remove(S + ".dynamic_palm_offset_by_finger_plane.enabled");
  config.set_number(S + ".dynamic_palm_offset_by_finger_plane.extra_curl_z_drop_m", 0.004);
  const std::string before = config.dump_yaml();

  const auto stages = test::capture_stages(config, "right", user_truth(config), kBasicStages, 3, 0.0);
  const ThreeStageCalibrationFit fit = fit_calibration(config, "right", stages, std::nullopt);
  EXPECT_EQ(config.dump_yaml(), before);  // the input is not changed

  ASSERT_TRUE(fit.dynamic_palm.has_value());
  ASSERT_TRUE(fit.input_tip_rotation_offset_local.has_value());
  EXPECT_FALSE(fit.input_tip_offset_local.has_value());  // no pinch stages
  EXPECT_EQ(fit.base.palm_offset_local, fit.dynamic_palm->palm_offset_local);

  const YAML::Node out = YAML::Load(fit.yaml);
  const YAML::Node side = at(out, S);
  EXPECT_DOUBLE_EQ(side["human_hand_scale"].as<double>(), fit.base.human_hand_scale);
  EXPECT_EQ(vec3(side["palm_offset_local"]), fit.base.palm_offset_local);
  EXPECT_EQ(mat3(side["input_base_rotation_offset"]), fit.input_base_rotation_offset);
  std::set<std::string> rotation_fingers;
  for (const auto& entry : side["input_tip_rotation_offset_local"]) {
    const std::string finger = entry.first.as<std::string>();
    rotation_fingers.insert(finger);
    EXPECT_EQ(mat3(entry.second), fit.input_tip_rotation_offset_local->at(finger)) << finger;
  }
  EXPECT_EQ(rotation_fingers, (std::set<std::string>{"first", "middle", "ring", "little"}));

  const YAML::Node dynamic = side["dynamic_palm_offset_by_finger_plane"];
  EXPECT_TRUE(dynamic["enabled"].as<bool>());
  EXPECT_EQ(dynamic["fingers"].as<std::vector<std::string>>(),
            (std::vector<std::string>{"first", "middle", "ring", "little"}));
  EXPECT_DOUBLE_EQ(dynamic["flat_z"].as<double>(), fit.dynamic_palm->flat_z);
  EXPECT_DOUBLE_EQ(dynamic["bent_z"].as<double>(), fit.dynamic_palm->bent_z);
  EXPECT_DOUBLE_EQ(dynamic["max_angle_deg"].as<double>(), 90.0);
  EXPECT_FALSE(dynamic["extra_curl_z_drop_m"]);  // the old section is replaced whole
  for (const char* table : {"mcp_joint_position", "mcp90_reference_vector", "mcp_motion_plane_normal"}) {
    EXPECT_EQ(dynamic[table].size(), 4u) << table;
  }
  EXPECT_EQ(vec3(dynamic["mcp_joint_position"]["ring"]), fit.dynamic_palm->mcp_joint_position.at("ring"));

  // Everything else is the input tree, less the reserved file keys.
  const char* const fitted_keys[] = {"human_hand_scale", "palm_offset_local", "input_base_rotation_offset",
                                     "input_tip_rotation_offset_local",
                                     "dynamic_palm_offset_by_finger_plane"};
  Config expected = config;
  for (const char* key : fitted_keys) expected.remove(S + "." + key);
  for (const char* key : {"__config_path__", "__config_dir__", "__bone_config_stem__"}) expected.remove(key);
  YAML::Node rest = YAML::Load(fit.yaml);
  for (const char* key : fitted_keys) rest["tip_mapping"]["right"].remove(key);
  EXPECT_EQ(YAML::Dump(rest), YAML::Dump(YAML::Load(expected.dump_yaml())));
  for (const char* key : {"__config_path__", "__config_dir__", "__bone_config_stem__"}) {
    EXPECT_EQ(fit.yaml.find(key), std::string::npos) << key;
  }
  EXPECT_NE(fit.yaml.find("__resource_root__"), std::string::npos);
}

TEST(CalibrationFit, SwitchedOffDynamicPalmAndFixedScale) {
  const Config config = bundled_config();  // the bundled hand switches the dynamic palm offset off
  const auto stages = test::capture_stages(config, "right", user_truth(config), kBasicStages, 1, 0.0);
  const ThreeStageCalibrationFit free = fit_calibration(config, "right", stages, std::nullopt);
  const ThreeStageCalibrationFit fixed = fit_calibration(config, "right", stages, 1.3);
  Config dynamic_on = config;
  dynamic_on.set_boolean("tip_mapping.right.dynamic_palm_offset_by_finger_plane.enabled", true);
  const ThreeStageCalibrationFit dynamic = fit_calibration(dynamic_on, "right", stages, std::nullopt);

  // Off: no dynamic fit, and the palm offset is the base fit's (the dynamic fit keeps its x and y).
  EXPECT_FALSE(free.dynamic_palm.has_value());
  ASSERT_TRUE(dynamic.dynamic_palm.has_value());
  EXPECT_EQ(free.base.palm_offset_local[0], dynamic.base.palm_offset_local[0]);
  EXPECT_EQ(free.base.palm_offset_local[1], dynamic.base.palm_offset_local[1]);
  EXPECT_NE(free.base.palm_offset_local[2], dynamic.base.palm_offset_local[2]);
  EXPECT_DOUBLE_EQ(dynamic.base.palm_offset_local[2], dynamic.dynamic_palm->flat_z - 0.01);

  // With a fixed scale the slope is still reported and the written scale is the fixed one.
  EXPECT_DOUBLE_EQ(fixed.base.scale_delta, free.base.scale_delta);
  EXPECT_DOUBLE_EQ(fixed.base.human_hand_scale, 1.3);
  EXPECT_DOUBLE_EQ(free.base.human_hand_scale, free.base.scale_delta + 0.1);
  const YAML::Node side = at(YAML::Load(fixed.yaml), "tip_mapping.right");
  EXPECT_DOUBLE_EQ(side["human_hand_scale"].as<double>(), 1.3);
  EXPECT_EQ(vec3(side["palm_offset_local"]), fixed.base.palm_offset_local);
  // The configured dynamic palm section and tip offsets stay as they were.
  const YAML::Node section = side["dynamic_palm_offset_by_finger_plane"];
  EXPECT_FALSE(section["enabled"].as<bool>());
  EXPECT_DOUBLE_EQ(section["flat_z"].as<double>(), 0.11261015);
  EXPECT_FALSE(section["mcp_joint_position"]);
  EXPECT_EQ(vec3(side["input_tip_offset_local"]["thumb"]), (std::array<double, 3>{0, 0, 0}));
}

// Fits a user on a hand configuration, then retargets the user's poses with the configuration before and
// after calibration.
struct EndToEnd {
  ThreeStageCalibrationFit fit;
  test::RetargetError before, after;
};

EndToEnd run_synthetic_user(const Config& config, const TipMappingParameters& truth,
                            const std::vector<std::string>& stage_ids) {
  const auto stages = test::capture_stages(config, "right", truth, stage_ids, 5, 0.0003);
  EndToEnd out{fit_calibration(config, "right", stages, std::nullopt), {}, {}};
  test::TempDir tmp;
  const Config calibrated =
      Config::load(test::write_file(tmp / "calibrated.yaml", out.fit.yaml), "", "right");
  out.before = test::retarget_error(config, "right", truth, kUserPoses);
  out.after = test::retarget_error(calibrated, "right", truth, kUserPoses);
  std::printf(
      "[calibration] %zu stages: scale_delta=%.4f human_hand_scale=%.4f (user %.2f); mean fingertip "
      "error of the user's poses: targets %.2f -> %.2f mm, solved %.2f -> %.2f mm\n",
      stage_ids.size(), out.fit.base.scale_delta, out.fit.base.human_hand_scale, truth.human_hand_scale,
      out.before.target_mm, out.after.target_mm, out.before.solved_mm, out.after.solved_mm);
  return out;
}

TEST(CalibrationFit, SyntheticUserEndToEnd) {
  Config config = bundled_config();
  // The first finger's offset may move only along y; unknown words are ignored.
  config.set_strings("calibration.input_tip_offset_local.frozen_axes_by_side.right.first", {"X", "z", "w"});
  const TipMappingParameters truth = user_truth(config);

  const EndToEnd basic = run_synthetic_user(config, truth, kBasicStages);
  // The fitted slope is the user's scale; the written scale adds the scale base 0.1.
  EXPECT_NEAR(basic.fit.base.scale_delta, truth.human_hand_scale, 0.03 * truth.human_hand_scale);
  EXPECT_DOUBLE_EQ(basic.fit.base.human_hand_scale, basic.fit.base.scale_delta + 0.1);
  // The glove base is levelled again: the fitted base rotation differs from the true one by a turn about z.
  const auto residual =
      mul(basic.fit.input_base_rotation_offset, test::transpose(truth.input_base_rotation_offset));
  EXPECT_GT(residual[8], std::cos(0.03));
  EXPECT_FALSE(basic.fit.input_tip_offset_local.has_value());
  EXPECT_LT(basic.after.target_mm, 0.5 * basic.before.target_mm);
  EXPECT_LT(basic.after.solved_mm, 0.5 * basic.before.solved_mm);

  // The enhanced stages add the pinch fit, which trades some accuracy elsewhere for closed pinches.
  const EndToEnd enhanced = run_synthetic_user(config, truth, kAllStages);
  EXPECT_NEAR(enhanced.fit.base.scale_delta, truth.human_hand_scale, 0.03 * truth.human_hand_scale);
  EXPECT_LT(enhanced.after.target_mm, 0.75 * enhanced.before.target_mm);
  EXPECT_LT(enhanced.after.solved_mm, 0.75 * enhanced.before.solved_mm);
  ASSERT_TRUE(enhanced.fit.input_tip_offset_local.has_value());
  const auto& offsets = *enhanced.fit.input_tip_offset_local;
  EXPECT_EQ(offsets.size(), 5u);
  EXPECT_EQ(offsets.at("first")[0], 0.0);
  EXPECT_EQ(offsets.at("first")[2], 0.0);
  EXPECT_NE(offsets.at("thumb"), (std::array<double, 3>{0, 0, 0}));
  for (const auto& [finger, offset] : offsets) {
    EXPECT_LE(std::abs(offset[0]), 0.025 + 1e-15) << finger;
    EXPECT_LE(std::abs(offset[1]), 0.01 + 1e-15) << finger;
    EXPECT_LE(std::abs(offset[2]), 0.025 + 1e-15) << finger;
  }
  const YAML::Node written = at(YAML::Load(enhanced.fit.yaml), "tip_mapping.right.input_tip_offset_local");
  EXPECT_EQ(written.size(), 5u);
  EXPECT_EQ(vec3(written["thumb"]), offsets.at("thumb"));
}

}  // namespace
}  // namespace kelto::hand
