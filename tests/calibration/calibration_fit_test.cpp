// The per-side calibration fit on the bundled hand: the calibrated configuration it writes, and synthetic
// users whose hand and glove differ from the model, retargeted before and after calibration.
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "calibration/calibration_fit.hpp"
#include "synthetic_user.hpp"

namespace kelto::hand {
namespace {

using test::mul;
using test::rot;

const std::vector<std::string> kBasicStages{"close", "open", "mcp90"};
const std::vector<std::string> kAllStages{"close",        "open",       "mcp90",       "pinch_first",
                                          "pinch_middle", "pinch_ring", "pinch_little"};
const std::vector<std::string> kUserPoses{"open",         "five_close",  "mcp90",
                                          "fist",         "mcp90_pip90", "pinch_first",
                                          "pinch_middle", "pinch_ring",  "pinch_little"};

Config bundled_config(const std::string& side = "right") {
  return Config::load(test::bundled_hand_config(), "", side);
}

// A user whose hand is 15 % larger than the model's (mapping scale 0.87), with the glove base tilted by
// `tilt` (about 20 degrees by default).
TipMappingParameters user(const Config& config, const std::string& side = "right",
                          const test::Mat3& tilt = mul(rot(0, 0.28), rot(1, -0.2))) {
  TipMappingParameters truth = TipMappingParameters::from_config(config, side);
  truth.human_hand_scale = 0.87;
  truth.input_base_rotation_offset = test::transpose(tilt);
  return truth;
}

std::array<double, 3> vec3(const YAML::Node& node) {
  return node.as<std::array<double, 3>>();
}
std::array<double, 9> mat3(const YAML::Node& node) {
  std::array<double, 9> m{};
  for (int k = 0; k < 9; ++k) m[k] = node[k / 3][k % 3].as<double>();
  return m;
}

// Angle of a rotation matrix in radians.
double angle(const std::array<double, 9>& r) {
  return std::acos(std::clamp((r[0] + r[4] + r[8] - 1.0) / 2.0, -1.0, 1.0));
}

TEST(CalibrationFit, WritesTheFittedKeysAndKeepsTheRest) {
  const Config bundled = bundled_config();  // it switches the dynamic palm offset off
  Config config = bundled;
  const std::string S = "tip_mapping.right";
  // Stale entries the fit must replace; the dynamic palm fit runs when its switch is absent.
  config.set_matrix3(S + ".input_tip_rotation_offset_local.extra", rot(2, 0.1));
  config.remove(S + ".dynamic_palm_offset_by_finger_plane.enabled");
  config.set_number(S + ".dynamic_palm_offset_by_finger_plane.extra_curl_z_drop_m", 0.004);
  const std::string before = config.dump_yaml();
  const auto stages = test::capture_stages(config, "right", user(config), kBasicStages, 3, 0.0);
  const ThreeStageCalibrationFit fit = fit_calibration(config, "right", stages, std::nullopt);
  EXPECT_EQ(config.dump_yaml(), before);  // the input is not changed
  ASSERT_TRUE(fit.dynamic_palm.has_value());
  ASSERT_TRUE(fit.input_tip_rotation_offset_local.has_value());
  EXPECT_FALSE(fit.input_tip_offset_local.has_value());  // no pinch stages

  YAML::Node out = YAML::Load(fit.yaml);
  const YAML::Node side = out["tip_mapping"]["right"];
  EXPECT_DOUBLE_EQ(side["human_hand_scale"].as<double>(), fit.base.scale_delta + 0.1);
  EXPECT_EQ(vec3(side["palm_offset_local"]), fit.dynamic_palm->palm_offset_local);
  EXPECT_EQ(mat3(side["input_base_rotation_offset"]), fit.input_base_rotation_offset);
  EXPECT_EQ(side["input_tip_rotation_offset_local"].size(), 4u);  // "extra" and the thumb are gone
  EXPECT_EQ(mat3(side["input_tip_rotation_offset_local"]["ring"]),
            fit.input_tip_rotation_offset_local->at("ring"));
  const YAML::Node dynamic = side["dynamic_palm_offset_by_finger_plane"];
  EXPECT_DOUBLE_EQ(dynamic["bent_z"].as<double>(), fit.dynamic_palm->bent_z);
  EXPECT_FALSE(dynamic["extra_curl_z_drop_m"]);  // the old section is replaced whole
  EXPECT_EQ(vec3(dynamic["mcp_joint_position"]["ring"]), fit.dynamic_palm->mcp_joint_position.at("ring"));
  // Everything else is the input tree, less the reserved file keys.
  const char* const fitted[] = {"human_hand_scale", "palm_offset_local", "input_base_rotation_offset",
                                "input_tip_rotation_offset_local", "dynamic_palm_offset_by_finger_plane"};
  Config expected = config;
  for (const char* key : fitted) expected.remove(S + "." + key);
  for (const char* key : {"__config_path__", "__config_dir__", "__bone_config_stem__"}) expected.remove(key);
  for (const char* key : fitted) out["tip_mapping"]["right"].remove(key);
  EXPECT_EQ(YAML::Dump(out), YAML::Dump(YAML::Load(expected.dump_yaml())));

  // Switched off, the section stays as configured and the palm offset is the base fit's, which shares x
  // and y with the dynamic one (its z lies 1 cm below the flat height). A fixed scale is written as given.
  const ThreeStageCalibrationFit off = fit_calibration(bundled, "right", stages, std::nullopt);
  const ThreeStageCalibrationFit fixed = fit_calibration(bundled, "right", stages, 1.3);
  EXPECT_FALSE(off.dynamic_palm.has_value());
  EXPECT_EQ(off.base.palm_offset_local[0], fit.base.palm_offset_local[0]);
  EXPECT_EQ(off.base.palm_offset_local[1], fit.base.palm_offset_local[1]);
  EXPECT_DOUBLE_EQ(fit.base.palm_offset_local[2], fit.dynamic_palm->flat_z - 0.01);
  EXPECT_DOUBLE_EQ(fixed.base.scale_delta, off.base.scale_delta);
  const YAML::Node written = YAML::Load(fixed.yaml)["tip_mapping"]["right"];
  EXPECT_DOUBLE_EQ(written["human_hand_scale"].as<double>(), 1.3);
  EXPECT_FALSE(written["dynamic_palm_offset_by_finger_plane"]["enabled"].as<bool>());
  EXPECT_FALSE(written["dynamic_palm_offset_by_finger_plane"]["mcp_joint_position"]);
}

struct Calibrated {
  ThreeStageCalibrationFit fit;
  test::RetargetError before, after;
};

// Fits `truth` from `stage_ids` and retargets the user's poses before and after calibration.
Calibrated calibrate(const Config& config, const std::string& side, const TipMappingParameters& truth,
                     const std::vector<std::string>& stage_ids, std::optional<double> fixed_scale = {}) {
  const auto stages = test::capture_stages(config, side, truth, stage_ids, 5, 0.0003);
  Calibrated out{fit_calibration(config, side, stages, fixed_scale), {}, {}};
  test::TempDir tmp;
  const Config calibrated = Config::load(test::write_file(tmp / "calibrated.yaml", out.fit.yaml), "", side);
  out.before = test::retarget_error(config, side, truth, kUserPoses);
  out.after = test::retarget_error(calibrated, side, truth, kUserPoses);
  std::printf(
      "[calibration] %s, %zu stages%s: scale_delta %.4f (user %.2f); mean fingertip error of the "
      "user's poses: targets %.2f -> %.2f mm, solved %.2f -> %.2f mm\n",
      side.c_str(), stage_ids.size(), fixed_scale ? ", fixed scale" : "", out.fit.base.scale_delta,
      truth.human_hand_scale, out.before.target_mm, out.after.target_mm, out.before.solved_mm,
      out.after.solved_mm);
  return out;
}

// The 15 % larger user with a tilted glove: calibration must clearly lower the fingertip error.
TEST(CalibrationFit, SyntheticUserEndToEnd) {
  Config config = bundled_config();
  // The first finger's pinch offset may move only along y; unknown words are ignored.
  config.set_strings("calibration.input_tip_offset_local.frozen_axes_by_side.right.first", {"X", "z", "w"});
  const TipMappingParameters truth = user(config);

  const Calibrated basic = calibrate(config, "right", truth, kBasicStages);
  EXPECT_NEAR(basic.fit.base.scale_delta, 0.87, 0.03 * 0.87);
  // The glove base is levelled again: the fitted rotation differs from the true one by a turn about z.
  EXPECT_GT(mul(basic.fit.input_base_rotation_offset, test::transpose(truth.input_base_rotation_offset))[8],
            std::cos(0.03));
  EXPECT_LT(basic.after.target_mm, 0.5 * basic.before.target_mm);
  EXPECT_LT(basic.after.solved_mm, 0.5 * basic.before.solved_mm);

  // The enhanced stages add the pinch fit, which trades some accuracy elsewhere for closed pinches.
  const Calibrated enhanced = calibrate(config, "right", truth, kAllStages);
  EXPECT_NEAR(enhanced.fit.base.scale_delta, 0.87, 0.03 * 0.87);
  EXPECT_LT(enhanced.after.target_mm, 0.75 * enhanced.before.target_mm);
  EXPECT_LT(enhanced.after.solved_mm, 0.75 * enhanced.before.solved_mm);
  ASSERT_TRUE(enhanced.fit.input_tip_offset_local.has_value());
  const auto& offsets = *enhanced.fit.input_tip_offset_local;
  EXPECT_EQ(offsets.size(), 5u);
  EXPECT_EQ(offsets.at("first")[0], 0.0);
  EXPECT_EQ(offsets.at("first")[2], 0.0);
  EXPECT_NE(offsets.at("thumb"), (std::array<double, 3>{0, 0, 0}));
  for (const auto& [finger, offset] : offsets)
    EXPECT_TRUE(test::near(offset, {0, 0, 0}, 0.025 + 1e-15) && std::abs(offset[1]) <= 0.01 + 1e-15)
        << finger;
  const YAML::Node written = YAML::Load(enhanced.fit.yaml)["tip_mapping"]["right"]["input_tip_offset_local"];
  EXPECT_EQ(vec3(written["thumb"]), offsets.at("thumb"));
}

// The bundled glove frame sits level on the model's flat hand: the model's own glove calibrates to no
// base rotation and slope 1 on both sides.
TEST(CalibrationFit, BundledGloveFrameOnBothSides) {
  for (const std::string side : {"right", "left"}) {
    SCOPED_TRACE(side);
    const Config config = bundled_config(side);
    const TipMappingParameters model = TipMappingParameters::from_config(config, side);
    const ThreeStageCalibrationFit own = fit_calibration(
        config, side, test::capture_stages(config, side, model, kBasicStages, 1, 0.0), std::nullopt);
    EXPECT_LT(angle(own.input_base_rotation_offset), 1e-9);
    EXPECT_NEAR(own.base.scale_delta, 1.0, 1e-9);

    // A user who differs only in size: with the user's scale given, the calibrated mapping meets the
    // user's fingertips.
    const Calibrated fixed = calibrate(config, side, user(config, side, rot(2, 0.0)), kBasicStages, 0.87);
    EXPECT_LT(angle(fixed.fit.input_base_rotation_offset), 0.01);
    EXPECT_NEAR(fixed.fit.base.scale_delta, 0.87, 0.01 * 0.87);
    EXPECT_LT(fixed.after.target_mm, 0.5);
    EXPECT_LT(fixed.after.solved_mm, fixed.before.solved_mm);
  }
}

}  // namespace
}  // namespace kelto::hand
