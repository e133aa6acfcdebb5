// Calibrators and the stateless base fit through the shared library: record checks and their texts, the
// side lock, the stage sets of the fit, and a synthetic user calibrated through the C calibrator (the SDK
// front door is tested with the engine's, in interface_test.cpp).
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "calibration/calibration_stage.hpp"  // before the synthetic user, which uses it
#include "calibration/synthetic_user.hpp"
#include "capi/engine_support.hpp"

namespace kelto::test {
namespace {

kx_calibrator_options calibrator_options(const std::string& config_path, const std::string& bone = "") {
  return kx_calibrator_options{sizeof(kx_calibrator_options), 2, view_of(config_path), view_of(bone), 0, 0.0};
}

Owned<kx_calibrator> create_calibrator(const kx_calibrator_options& options) {
  kx_calibrator* calibrator = nullptr;
  EXPECT_EQ(KX(kx_calibrator_create)(&options, &calibrator), KX_STATUS_OK) << KX(kx_last_error)();
  return {calibrator, KX(kx_calibrator_destroy)};
}

kx_calibration_result result_record(uint32_t size = 48, uint32_t abi = 2) {
  return {size, abi, 0, 0, {}};
}

// A calibration stage's glove frame holds the stage's reference pose (five_close for close).
kx_engine_input stage_frame(BundledGlove& glove, const std::string& stage) {
  return glove.pose(stage == "close" ? "five_close" : stage);
}

class CalibratorTest : public CapiSuite {
 protected:
  static kx_status add(kx_calibrator* calibrator, const std::string& stage, const kx_engine_input& input) {
    return KX(kx_calibrator_add_frame)(calibrator, view_of(stage), &input);
  }
  static kx_status add(kx_calibrator* calibrator, const std::string& stage) {
    return add(calibrator, stage, stage_frame(*right_, stage));
  }
  static std::string text(kx_calibrator* calibrator) { return KX(kx_calibrator_last_error)(calibrator); }
};

TEST_F(CalibratorTest, CreateAndNullHandleTexts) {
  const std::string useless = write_file(dir_ / "useless.yaml", "size: 3\n").string();
  const struct {
    void (*change)(kx_calibrator_options&);
    std::string path, bone;
    kx_status status;
    std::string text;  // the start of the thread's text
  } cases[] = {
      {[](auto& o) { o.struct_size = 55, o.abi_version = 3; }, kHandConfig, "", KX_STATUS_INVALID_ARGUMENT,
       "calibrator options are invalid"},
      {[](auto& o) { o.abi_version = 3; }, kHandConfig, "", KX_STATUS_ABI_MISMATCH,
       "calibrator ABI version does not match"},
      {[](auto& o) { o.use_fixed_scale = -1, o.fixed_scale = -INFINITY; }, kHandConfig, "",
       KX_STATUS_INVALID_ARGUMENT, "calibrator fixed scale must be finite"},
      {[](auto& o) { o.config_path.data = nullptr; }, kHandConfig, "", KX_STATUS_INVALID_ARGUMENT,
       "calibrator config path is required"},
      {[](auto&) {}, kHandConfig, useless, KX_STATUS_INTERNAL_ERROR,
       "bone_config contains no usable left/right calibration data; left: "},
  };
  for (const auto& c : cases) {
    kx_calibrator_options options = calibrator_options(c.path, c.bone);
    c.change(options);
    kx_calibrator* calibrator = not_written<kx_calibrator>();
    EXPECT_EQ(KX(kx_calibrator_create)(&options, &calibrator), c.status) << c.text;
    EXPECT_EQ(calibrator, nullptr);
    EXPECT_EQ(std::string(KX(kx_last_error)()).rfind(c.text, 0), 0u) << KX(kx_last_error)();
  }
  EXPECT_NE(std::string(KX(kx_last_error)()).find("; right: "), std::string::npos);
  kx_calibrator_options good = calibrator_options(kHandConfig);
  EXPECT_EQ(KX(kx_calibrator_create)(&good, nullptr), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "calibrator output pointer is required");

  const auto null_handle = [](kx_status status, const char* text) {
    EXPECT_EQ(status, KX_STATUS_INVALID_ARGUMENT) << text;
    EXPECT_STREQ(KX(kx_last_error)(), text);
  };
  kx_calibration_result result = result_record();
  kx_string_view yaml{};
  null_handle(KX(kx_calibrator_fit)(nullptr), "calibrator is required");
  null_handle(add(nullptr, "close"), "calibrator and glove frame are required");
  null_handle(KX(kx_calibrator_get_result)(nullptr, &result), "calibrator and result output are required");
  null_handle(KX(kx_calibrator_result_yaml)(nullptr, &yaml), "calibrator and YAML output are required");
  EXPECT_STREQ(KX(kx_calibrator_last_error)(nullptr), "calibrator is null");
  KX(kx_calibrator_destroy)(nullptr);

  // A NaN fixed scale is only looked at when asked for; success clears the thread's text.
  good.fixed_scale = kNaN;
  const Owned<kx_calibrator> created = create_calibrator(good);
  ASSERT_NE(created, nullptr);
  EXPECT_STREQ(KX(kx_last_error)(), "");
  EXPECT_EQ(text(created.get()), "");
}

TEST_F(CalibratorTest, AddFrameChecksAndTheSideLock) {
  const Owned<kx_calibrator> calibrator = create_calibrator(calibrator_options(kHandConfig));
  ASSERT_NE(calibrator, nullptr);
  const struct {
    const char* stage;
    void (*change)(kx_engine_input&);
    kx_status status;
    std::string text;
  } cases[] = {
      {"close", [](auto& f) { f.struct_size = 1103, f.abi_version = 9; }, KX_STATUS_INVALID_ARGUMENT,
       "calibration glove frame struct_size is invalid"},
      {"close", [](auto& f) { f.abi_version = 1; }, KX_STATUS_ABI_MISMATCH,
       "calibration glove frame ABI version does not match"},
      {"close", [](auto& f) { f.hand_side = -1; }, KX_STATUS_INVALID_ARGUMENT,
       "calibration glove frame hand side is invalid"},
      // The first frame to pass the side checks locks the side even though it fails later.
      {"fist", [](auto&) {}, KX_STATUS_INVALID_ARGUMENT, "native calibration stage is invalid: fist"},
      {"close", [](auto& f) { f.hand_side = KX_HAND_LEFT; }, KX_STATUS_INVALID_ARGUMENT,
       "calibration contains mixed hand sides"},
      {"close", [](auto& f) { f.local_tip_mask = 0x1d; }, KX_STATUS_INVALID_ARGUMENT,
       "calibration glove frame requires all configured local fingertips"},
      {"close", [](auto& f) { f.local_tips[4].rotation[8] = kNaN; }, KX_STATUS_INVALID_ARGUMENT,
       "calibration glove frame contains non-finite fingertip data"},
  };
  const kx_engine_input close = stage_frame(*right_, "close");
  for (const auto& c : cases) {
    kx_engine_input input = close;
    c.change(input);
    EXPECT_EQ(add(calibrator.get(), c.stage, input), c.status) << c.text;
    EXPECT_EQ(text(calibrator.get()), c.text);
    EXPECT_EQ(KX(kx_last_error)(), c.text);
  }
  // None of the rejected frames was kept.
  EXPECT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(text(calibrator.get()), "native calibration is missing stage: close");
  // Fields the calibrator does not read play no part; success clears both texts.
  kx_engine_input loose = close;
  loose.root.position[0] = kNaN;
  loose.world_tips[1].position[0] = INFINITY;
  loose.world_tip_mask = 2;
  loose.local_tip_mask |= 0xffffffe0u;
  EXPECT_EQ(add(calibrator.get(), "close", loose), KX_STATUS_OK) << KX(kx_last_error)();
  EXPECT_EQ(text(calibrator.get()), "");
  EXPECT_STREQ(KX(kx_last_error)(), "");

  // With a bone configuration each side loads on its own; a side that did not load locks nothing.
  const std::string right_only =
      write_file(dir_ / "right.yaml", "left: broken\nright:\n  anthropometry:\n    enabled: false\n")
          .string();
  const Owned<kx_calibrator> one_side = create_calibrator(calibrator_options(kHandConfig, right_only));
  ASSERT_NE(one_side, nullptr);
  kx_engine_input left = close;
  left.hand_side = KX_HAND_LEFT;
  EXPECT_EQ(add(one_side.get(), "close", left), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(text(one_side.get()), "calibration bone_config has no left-hand data");
  EXPECT_EQ(add(one_side.get(), "close"), KX_STATUS_OK) << KX(kx_last_error)();
  EXPECT_EQ(add(one_side.get(), "close", left), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(text(one_side.get()), "calibration contains mixed hand sides");
}

TEST_F(CalibratorTest, FitChoosesTheStageSetAndNewFramesDropTheResult) {
  kx_calibrator_options fixed = calibrator_options(kHandConfig);
  fixed.use_fixed_scale = 1;
  fixed.fixed_scale = 1.25;
  const Owned<kx_calibrator> calibrator = create_calibrator(calibrator_options(kHandConfig));
  const Owned<kx_calibrator> fixed_scale = create_calibrator(fixed);
  ASSERT_TRUE(calibrator != nullptr && fixed_scale != nullptr);
  kx_calibration_result result = result_record();
  kx_string_view yaml{};
  EXPECT_EQ(KX(kx_calibrator_get_result)(calibrator.get(), &result), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(text(calibrator.get()), "calibrator has no fitted result");
  EXPECT_EQ(KX(kx_calibrator_result_yaml)(calibrator.get(), &yaml), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(text(calibrator.get()), "calibrator has no fitted YAML result");

  for (const char* stage : {"close", "open"}) ASSERT_EQ(add(calibrator.get(), stage), KX_STATUS_OK);
  EXPECT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(text(calibrator.get()), "native calibration is missing stage: mcp90");
  ASSERT_EQ(add(calibrator.get(), "mcp90"), KX_STATUS_OK);
  for (const char* stage : {"close", "open", "mcp90"}) ASSERT_EQ(add(fixed_scale.get(), stage), KX_STATUS_OK);
  ASSERT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_OK) << KX(kx_last_error)();
  ASSERT_EQ(KX(kx_calibrator_fit)(fixed_scale.get()), KX_STATUS_OK) << KX(kx_last_error)();

  // The result record is checked like every record, then written whole.
  kx_calibration_result bad = result_record(48, 3);
  EXPECT_EQ(KX(kx_calibrator_get_result)(calibrator.get(), &bad), KX_STATUS_ABI_MISMATCH);
  EXPECT_EQ(bad.scale_delta, 0.0);
  EXPECT_EQ(text(calibrator.get()), "calibrator result ABI version does not match");
  result.struct_size = 4096;
  ASSERT_EQ(KX(kx_calibrator_get_result)(calibrator.get(), &result), KX_STATUS_OK);
  EXPECT_EQ(result.struct_size, sizeof(kx_calibration_result));
  EXPECT_EQ(text(calibrator.get()), "");
  // The glove follows the hand's own mapping: the slope is near one and the palm lies inside the hand.
  EXPECT_NEAR(result.scale_delta, 1.0, 0.05);
  EXPECT_DOUBLE_EQ(result.human_hand_scale, result.scale_delta + 0.1);
  EXPECT_LT(std::hypot(result.palm_offset_local[0], result.palm_offset_local[1], result.palm_offset_local[2]),
            0.2);
  ASSERT_EQ(KX(kx_calibrator_result_yaml)(calibrator.get(), &yaml), KX_STATUS_OK);
  EXPECT_NE(std::string(yaml.data, yaml.size).find("human_hand_scale"), std::string::npos);
  kx_calibration_result fixed_result = result_record();
  ASSERT_EQ(KX(kx_calibrator_get_result)(fixed_scale.get(), &fixed_result), KX_STATUS_OK);
  EXPECT_EQ(fixed_result.human_hand_scale, 1.25);
  EXPECT_NEAR(fixed_result.scale_delta, 1.0, 0.05);  // the slope is still reported

  // One frame of a pinch stage asks for the enhanced stages, all of them, and drops the result.
  ASSERT_EQ(add(calibrator.get(), "pinch_ring"), KX_STATUS_OK);
  EXPECT_EQ(KX(kx_calibrator_get_result)(calibrator.get(), &result), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(KX(kx_calibrator_result_yaml)(calibrator.get(), &yaml), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "native calibration is missing stage: pinch_first");
  for (const char* stage : {"pinch_first", "pinch_middle", "pinch_little"})
    ASSERT_EQ(add(calibrator.get(), stage), KX_STATUS_OK);
  EXPECT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_OK) << KX(kx_last_error)();
}

TEST_F(CalibratorTest, BaseFit) {
  // A glove whose points map through a quarter turn about z, scale 0.8 and a palm shift.
  const std::array<double, 3> palm{0.01, -0.02, 0.09};
  std::vector<kx_calibration_observation> observations(6);
  for (int i = 0; i < 6; ++i) {
    kx_calibration_observation& o = observations[i];
    const double p[3] = {0.02 * i, 0.05 - 0.015 * i, 0.03 * (i % 3)};
    std::memcpy(o.source_position, p, sizeof p);
    for (int k = 0; k < 9; k += 4) o.source_rotation[k] = 1.0;
    const double turned[3] = {-p[1], p[0], p[2]};
    for (int k = 0; k < 3; ++k) o.robot_target[k] = 0.8 * turned[k] + palm[k];
    o.weight = 1.0;
  }
  kx_base_calibration_options options{104, 2, {0, -1, 0, 1, 0, 0, 0, 0, 1}, 0.0, 0, 0.0};
  // scale_base, use_fixed_scale, fixed_scale, the expected human_hand_scale
  const std::array<double, 4> fits[] = {{0.0, 0.0, kNaN, 0.8}, {0.1, 0.0, 0.0, 0.9}, {0.1, 1.0, 0.5, 0.5}};
  for (const auto& [scale_base, use_fixed, fixed, expected] : fits) {
    options.scale_base = scale_base;
    options.use_fixed_scale = static_cast<int32_t>(use_fixed);
    options.fixed_scale = fixed;
    kx_calibration_result result = result_record();
    ASSERT_EQ(KX(kx_fit_base_calibration)(&options, observations.data(), 6, &result), KX_STATUS_OK)
        << KX(kx_last_error)();
    EXPECT_STREQ(KX(kx_last_error)(), "");
    EXPECT_NEAR(result.scale_delta, 0.8, 1e-9);
    EXPECT_NEAR(result.human_hand_scale, expected, 1e-9);
    for (int k = 0; k < 3 && scale_base == 0.0; ++k) EXPECT_NEAR(result.palm_offset_local[k], palm[k], 1e-9);
  }
  const struct {
    uint32_t options_size, options_abi, result_size, result_abi;
    std::size_t count;
    kx_status status;
    const char* text;
  } cases[] = {
      {104, 2, 48, 2, 0, KX_STATUS_INVALID_ARGUMENT,
       "calibration options, observations, and output are required"},
      {104, 2, 47, 3, 6, KX_STATUS_INVALID_ARGUMENT, "calibration struct_size is invalid"},
      {104, 1, 48, 2, 6, KX_STATUS_ABI_MISMATCH, "calibration ABI version does not match"},
  };
  for (const auto& c : cases) {
    kx_base_calibration_options o = options;
    o.struct_size = c.options_size;
    o.abi_version = c.options_abi;
    kx_calibration_result r = result_record(c.result_size, c.result_abi);
    EXPECT_EQ(KX(kx_fit_base_calibration)(&o, observations.data(), c.count, &r), c.status) << c.text;
    EXPECT_STREQ(KX(kx_last_error)(), c.text);
    EXPECT_EQ(r.scale_delta, 0.0);
  }
  kx_calibration_result result = result_record();
  EXPECT_EQ(KX(kx_fit_base_calibration)(&options, nullptr, 6, &result), KX_STATUS_INVALID_ARGUMENT);
}

// A user whose hand is 15 % larger than the model's (mapping scale 0.87) wearing a glove whose base is
// tilted by about 20 degrees, calibrated with the basic stages through the C calibrator: the mean fingertip
// error of the user's poses retargeted with the calibrated configuration falls clearly.
TEST_F(CalibratorTest, SyntheticUserThroughTheCalibrator) {
  const hand::Config config = hand::Config::load(kHandConfig, "", "right");
  hand::TipMappingParameters user = hand::TipMappingParameters::from_config(config, "right");
  user.human_hand_scale = 0.87;
  user.input_base_rotation_offset = transpose(mul(rot(0, 0.28), rot(1, -0.2)));
  BundledGlove glove("right", &user, 0.0003);

  const Owned<kx_calibrator> calibrator = create_calibrator(calibrator_options(kHandConfig));
  ASSERT_NE(calibrator, nullptr);
  for (const char* stage : {"close", "open", "mcp90"}) {
    for (int i = 0; i < 5; ++i)
      ASSERT_EQ(add(calibrator.get(), stage, stage_frame(glove, stage)), KX_STATUS_OK)
          << text(calibrator.get());
  }
  ASSERT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_OK) << text(calibrator.get());
  kx_calibration_result result = result_record();
  ASSERT_EQ(KX(kx_calibrator_get_result)(calibrator.get(), &result), KX_STATUS_OK);
  EXPECT_NEAR(result.scale_delta, user.human_hand_scale, 0.03 * user.human_hand_scale);
  kx_string_view yaml{};
  ASSERT_EQ(KX(kx_calibrator_result_yaml)(calibrator.get(), &yaml), KX_STATUS_OK);
  const hand::Config calibrated = hand::Config::load(
      write_file(dir_ / "calibrated.yaml", std::string(yaml.data, yaml.size)), "", "right");

  const std::vector<std::string> poses{"open",         "five_close",  "mcp90",
                                       "fist",         "mcp90_pip90", "pinch_first",
                                       "pinch_middle", "pinch_ring",  "pinch_little"};
  const RetargetError before = retarget_error(config, "right", user, poses);
  const RetargetError after = retarget_error(calibrated, "right", user, poses);
  std::printf(
      "[calibrator] scale_delta=%.4f human_hand_scale=%.4f (user %.2f); mean fingertip error of the solved "
      "hand %.2f mm uncalibrated, %.2f mm calibrated\n",
      result.scale_delta, result.human_hand_scale, user.human_hand_scale, before.solved_mm, after.solved_mm);
  EXPECT_LT(after.solved_mm, 0.5 * before.solved_mm);
}

}  // namespace
}  // namespace kelto::test
