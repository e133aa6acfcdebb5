// The per-side calibration fit on the bundled hand: the calibrated configuration it writes, the model's
// own glove on both sides, and a synthetic user whose hand and glove differ from the model, retargeted
// before and after calibration.
#include "calibration/calibration_fit.hpp"

#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <cstdio>

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
// about 20 degrees.
TipMappingParameters user(const Config& config) {
  TipMappingParameters truth = TipMappingParameters::from_config(config, "right");
  truth.human_hand_scale = 0.87;
  truth.input_base_rotation_offset = test::transpose(mul(rot(0, 0.28), rot(1, -0.2)));
  return truth;
}

std::array<double, 9> mat3(const YAML::Node& node) {
  std::array<double, 9> m{};
  for (int k = 0; k < 9; ++k) m[k] = node[k / 3][k % 3].as<double>();
  return m;
}

TEST(CalibrationFit, WritesTheFittedKeysAndKeepsTheRest) {
  Config config = bundled_config();
  const std::string S = "tip_mapping.right";
  // A rotation offset the fit does not produce (the thumb's) and one it replaces; the old dynamic palm
  // section is replaced, and its fit runs when its switch is absent.
  config.set_matrix3(S + ".input_tip_rotation_offset_local.thumb", rot(2, 0.1));
  config.set_matrix3(S + ".input_tip_rotation_offset_local.ring", rot(0, 0.2));
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
  EXPECT_EQ(side["palm_offset_local"].as<test::Vec3>(), fit.dynamic_palm->palm_offset_local);
  EXPECT_EQ(mat3(side["input_base_rotation_offset"]), fit.input_base_rotation_offset);
  EXPECT_EQ(side["input_tip_rotation_offset_local"].size(), 5u);
  EXPECT_EQ(mat3(side["input_tip_rotation_offset_local"]["ring"]),
            fit.input_tip_rotation_offset_local->at("ring"));
  EXPECT_EQ(mat3(side["input_tip_rotation_offset_local"]["thumb"]), rot(2, 0.1));  // kept as configured
  const YAML::Node dynamic = side["dynamic_palm_offset_by_finger_plane"];
  EXPECT_DOUBLE_EQ(dynamic["bent_z"].as<double>(), fit.dynamic_palm->bent_z);
  EXPECT_FALSE(dynamic["extra_curl_z_drop_m"]);  // the old section is replaced whole
  // Everything else is the input tree, less the reserved file keys.
  const char* const fitted[] = {"human_hand_scale", "palm_offset_local", "input_base_rotation_offset",
                                "input_tip_rotation_offset_local", "dynamic_palm_offset_by_finger_plane"};
  Config expected = config;
  for (const char* key : fitted) expected.remove(S + "." + key);
  for (const char* key : {"__config_path__", "__config_dir__", "__bone_config_stem__"}) expected.remove(key);
  for (const char* key : fitted) out["tip_mapping"]["right"].remove(key);
  EXPECT_EQ(YAML::Dump(out), YAML::Dump(YAML::Load(expected.dump_yaml())));

  // A fixed scale is written as given.
  const ThreeStageCalibrationFit fixed = fit_calibration(config, "right", stages, 1.3);
  EXPECT_DOUBLE_EQ(YAML::Load(fixed.yaml)["tip_mapping"]["right"]["human_hand_scale"].as<double>(), 1.3);
}

// The bundled glove frame sits level on the model's flat hand: the model's own glove calibrates to no
// base rotation and slope 1 on both sides.
TEST(CalibrationFit, BundledGloveFrameOnBothSides) {
  for (const std::string side : {"right", "left"}) {
    const Config config = bundled_config(side);
    const ThreeStageCalibrationFit own =
        fit_calibration(config, side,
                        test::capture_stages(config, side, TipMappingParameters::from_config(config, side),
                                             kBasicStages, 1, 0.0),
                        std::nullopt);
    EXPECT_TRUE(test::near(own.input_base_rotation_offset, test::kIdentity, 1e-9)) << side;
    EXPECT_NEAR(own.base.scale_delta, 1.0, 1e-9) << side;
  }
}

// Fits `truth` from `stage_ids` and retargets the user's poses before and after calibration.
std::pair<ThreeStageCalibrationFit, std::array<test::RetargetError, 2>> calibrate(
    const Config& config, const TipMappingParameters& truth, const std::vector<std::string>& stage_ids) {
  const auto stages = test::capture_stages(config, "right", truth, stage_ids, 5, 0.0003);
  const ThreeStageCalibrationFit fit = fit_calibration(config, "right", stages, std::nullopt);
  test::TempDir tmp;
  const Config calibrated = Config::load(test::write_file(tmp / "calibrated.yaml", fit.yaml), "", "right");
  const test::RetargetError before = test::retarget_error(config, "right", truth, kUserPoses),
                            after = test::retarget_error(calibrated, "right", truth, kUserPoses);
  std::printf(
      "[calibration] %zu stages: scale_delta %.4f (user %.2f); mean fingertip error of the user's poses: "
      "targets %.2f -> %.2f mm, solved %.2f -> %.2f mm\n",
      stage_ids.size(), fit.base.scale_delta, truth.human_hand_scale, before.target_mm, after.target_mm,
      before.solved_mm, after.solved_mm);
  EXPECT_NEAR(fit.base.scale_delta, 0.87, 0.03 * 0.87);
  return {fit, {before, after}};
}

// The 15 % larger user with a tilted glove: calibration must clearly lower the fingertip error.
TEST(CalibrationFit, SyntheticUserEndToEnd) {
  Config config = bundled_config();
  // The first finger's pinch offset may move only along y; unknown words are ignored.
  config.set_strings("calibration.input_tip_offset_local.frozen_axes_by_side.right.first", {"X", "z", "w"});
  const TipMappingParameters truth = user(config);

  const auto [basic, basic_error] = calibrate(config, truth, kBasicStages);
  // The glove base is levelled again: the fitted rotation differs from the true one by a turn about z.
  EXPECT_GT(mul(basic.input_base_rotation_offset, test::transpose(truth.input_base_rotation_offset))[8],
            std::cos(0.03));
  EXPECT_LT(basic_error[1].target_mm, 0.5 * basic_error[0].target_mm);
  EXPECT_LT(basic_error[1].solved_mm, 0.5 * basic_error[0].solved_mm);

  // All stages add the pinch fit, which trades some accuracy elsewhere for closed pinches.
  const auto [all, all_error] = calibrate(config, truth, kAllStages);
  EXPECT_LT(all_error[1].target_mm, 0.75 * all_error[0].target_mm);
  EXPECT_LT(all_error[1].solved_mm, 0.75 * all_error[0].solved_mm);
  ASSERT_TRUE(all.input_tip_offset_local.has_value());
  const auto& offsets = *all.input_tip_offset_local;
  EXPECT_EQ(offsets.size(), 5u);
  EXPECT_EQ(std::make_pair(offsets.at("first")[0], offsets.at("first")[2]), std::make_pair(0.0, 0.0));
  EXPECT_NE(offsets.at("thumb"), (test::Vec3{0, 0, 0}));
  for (const auto& [finger, offset] : offsets)
    EXPECT_TRUE(test::near(offset, {0, 0, 0}, 0.025 + 1e-15) && std::abs(offset[1]) <= 0.01 + 1e-15)
        << finger;
  EXPECT_EQ(YAML::Load(all.yaml)["tip_mapping"]["right"]["input_tip_offset_local"]["thumb"].as<test::Vec3>(),
            offsets.at("thumb"));
}

}  // namespace
}  // namespace kelto::hand
