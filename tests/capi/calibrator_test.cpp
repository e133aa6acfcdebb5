// Calibrators and the stateless base fit through the shared library: record checks and their texts, the
// side lock, the stage sets of the fit, the SDK front door, and a synthetic user calibrated through the C
// calibrator whose calibrated configuration then drives an engine.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "calibration/synthetic_user.hpp"
#include "capi/shared_library.hpp"
#include "kelto_hand.h"
#include "synthetic_glove/engine_input.hpp"

namespace kelto::test {
namespace {

kx_calibrator* const kNotWritten = reinterpret_cast<kx_calibrator*>(std::uintptr_t{1});
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
using CalibratorPtr = std::unique_ptr<kx_calibrator, void (*)(kx_calibrator*)>;

kx_string_view view(const std::string& text) {
  return kx_string_view{text.data(), text.size()};
}

kx_calibrator_options calibrator_options(const std::string& config_path, const std::string& bone = "") {
  return kx_calibrator_options{sizeof(kx_calibrator_options), 2, view(config_path), view(bone), 0, 0.0};
}

CalibratorPtr create_calibrator(const kx_calibrator_options& options) {
  kx_calibrator* calibrator = nullptr;
  EXPECT_EQ(KX(kx_calibrator_create)(&options, &calibrator), KX_STATUS_OK) << KX(kx_last_error)();
  return CalibratorPtr(calibrator, KX(kx_calibrator_destroy));
}

kx_calibration_result result_record(uint32_t size = 48, uint32_t abi = 2) {
  return {size, abi, 0, 0, {}};
}

// Glove frame records of a right-hand glove following `mapping`, one per pose (the close stage's pose
// is five_close) and `count` times over.
std::vector<kx_engine_input> glove_frames(const hand::TipMappingParameters& mapping,
                                          const std::vector<std::string>& poses, int count, double noise_m) {
  hand::PinocchioHandKinematics model(hand::Config::load(bundled_hand_config(), "", "right"), "right");
  hand::synthetic::SyntheticGloveOptions options;
  options.position_noise_m = noise_m;
  options.seed = 11;
  hand::synthetic::SyntheticGlove glove(mapping, options);
  std::vector<kx_engine_input> frames;
  for (const std::string& pose : poses) {
    const std::vector<double> q = model.pose_active(pose == "close" ? "five_close" : pose);
    for (int i = 0; i < count; ++i)
      frames.push_back(
          hand::synthetic::engine_input(glove.frame_from_active(model, q), KX_HAND_RIGHT, 0, ""));
  }
  return frames;
}

class CalibratorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = std::make_unique<TempDir>();
    home_env_ = std::make_unique<ScopedEnv>("KELTO_HOME", home_->path().string());
    const std::vector<std::string> stages{"close",        "open",       "mcp90",       "pinch_first",
                                          "pinch_middle", "pinch_ring", "pinch_little"};
    const hand::Config config = hand::Config::load(bundled_hand_config(), "", "right");
    const auto frames =
        glove_frames(hand::TipMappingParameters::from_config(config, "right"), stages, 1, 0.0);
    for (std::size_t i = 0; i < stages.size(); ++i) frames_[stages[i]] = frames[i];
  }
  static void TearDownTestSuite() {
    home_env_.reset();
    home_.reset();
  }
  static kx_status add(kx_calibrator* calibrator, const std::string& stage, const kx_engine_input& input) {
    return KX(kx_calibrator_add_frame)(calibrator, view(stage), &input);
  }
  static kx_status add(kx_calibrator* calibrator, const std::string& stage) {
    return add(calibrator, stage, frames_.at(stage));
  }
  static std::string text(kx_calibrator* calibrator) { return KX(kx_calibrator_last_error)(calibrator); }

  static inline std::unique_ptr<TempDir> home_;
  static inline std::unique_ptr<ScopedEnv> home_env_;
  static inline std::map<std::string, kx_engine_input> frames_;
  const std::string root_ = (source_dir() / "resources").string();
  const std::string config_ = bundled_hand_config().string();
  TempDir dir_;
};

TEST_F(CalibratorTest, CreateAndNullHandleTexts) {
  const std::string missing = "/nonexistent/x.yaml";
  const std::string useless = write_file(dir_ / "useless.yaml", "size: 3\n").string();
  const struct {
    void (*change)(kx_calibrator_options&);
    std::string path, bone;
    kx_status status;
    std::string text;  // the start of the thread's text
  } cases[] = {
      {[](auto& o) { o.struct_size = 55, o.abi_version = 3; }, config_, "", KX_STATUS_INVALID_ARGUMENT,
       "calibrator options are invalid"},
      {[](auto& o) { o.abi_version = 3; }, config_, "", KX_STATUS_ABI_MISMATCH,
       "calibrator ABI version does not match"},
      {[](auto& o) { o.use_fixed_scale = 1, o.fixed_scale = kNaN; }, config_, "", KX_STATUS_INVALID_ARGUMENT,
       "calibrator fixed scale must be finite"},
      {[](auto& o) { o.use_fixed_scale = -1, o.fixed_scale = -kInf; }, config_, "",
       KX_STATUS_INVALID_ARGUMENT, "calibrator fixed scale must be finite"},
      {[](auto& o) { o.config_path.data = nullptr; }, config_, "", KX_STATUS_INVALID_ARGUMENT,
       "calibrator config path is required"},
      {[](auto&) {}, missing, "", KX_STATUS_INTERNAL_ERROR, ""},
      {[](auto&) {}, config_, useless, KX_STATUS_INTERNAL_ERROR,
       "bone_config contains no usable left/right calibration data; left: "},
  };
  for (const auto& c : cases) {
    kx_calibrator_options options = calibrator_options(c.path, c.bone);
    c.change(options);
    kx_calibrator* calibrator = kNotWritten;
    EXPECT_EQ(KX(kx_calibrator_create)(&options, &calibrator), c.status) << c.text;
    EXPECT_EQ(calibrator, nullptr);
    EXPECT_EQ(std::string(KX(kx_last_error)()).rfind(c.text, 0), 0u) << KX(kx_last_error)();
  }
  EXPECT_NE(std::string(KX(kx_last_error)()).find("; right: "), std::string::npos);
  kx_calibrator_options good = calibrator_options(config_);
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
  const CalibratorPtr created = create_calibrator(good);
  ASSERT_NE(created, nullptr);
  EXPECT_STREQ(KX(kx_last_error)(), "");
  EXPECT_EQ(text(created.get()), "");
}

TEST_F(CalibratorTest, AddFrameChecksAndTheSideLock) {
  const CalibratorPtr calibrator = create_calibrator(calibrator_options(config_));
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
      {"close", [](auto& f) { f.hand_side = 2; }, KX_STATUS_INVALID_ARGUMENT,
       "calibration glove frame hand side is invalid"},
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
      {"close", [](auto& f) { f.local_tips[0].position[1] = kInf; }, KX_STATUS_INVALID_ARGUMENT,
       "calibration glove frame contains non-finite fingertip data"},
  };
  for (const auto& c : cases) {
    kx_engine_input input = frames_.at("close");
    c.change(input);
    EXPECT_EQ(add(calibrator.get(), c.stage, input), c.status) << c.text;
    EXPECT_EQ(text(calibrator.get()), c.text);
    EXPECT_EQ(KX(kx_last_error)(), c.text);
  }
  // None of the rejected frames was kept.
  EXPECT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(text(calibrator.get()), "native calibration is missing stage: close");
  // Fields the calibrator does not read play no part; success clears both texts.
  kx_engine_input loose = frames_.at("close");
  loose.root.position[0] = kNaN;
  loose.world_tips[1].position[0] = kInf;
  loose.world_tip_mask = 2;
  loose.local_tip_mask |= 0xffffffe0u;
  EXPECT_EQ(add(calibrator.get(), "close", loose), KX_STATUS_OK) << KX(kx_last_error)();
  EXPECT_EQ(text(calibrator.get()), "");
  EXPECT_STREQ(KX(kx_last_error)(), "");

  // With a bone configuration each side loads on its own; a side that did not load locks nothing.
  const std::string right_only =
      write_file(dir_ / "right.yaml", "left: broken\nright:\n  anthropometry:\n    enabled: false\n")
          .string();
  const CalibratorPtr one_side = create_calibrator(calibrator_options(config_, right_only));
  ASSERT_NE(one_side, nullptr);
  kx_engine_input left = frames_.at("close");
  left.hand_side = KX_HAND_LEFT;
  EXPECT_EQ(add(one_side.get(), "close", left), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(text(one_side.get()), "calibration bone_config has no left-hand data");
  EXPECT_EQ(add(one_side.get(), "close"), KX_STATUS_OK) << KX(kx_last_error)();
  EXPECT_EQ(add(one_side.get(), "close", left), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(text(one_side.get()), "calibration contains mixed hand sides");
}

TEST_F(CalibratorTest, FitChoosesTheStageSetAndNewFramesDropTheResult) {
  kx_calibrator_options fixed = calibrator_options(config_);
  fixed.use_fixed_scale = 1;
  fixed.fixed_scale = 1.25;
  const CalibratorPtr calibrator = create_calibrator(calibrator_options(config_));
  const CalibratorPtr fixed_scale = create_calibrator(fixed);
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
  const std::pair<uint32_t, kx_status> bad_headers[] = {{47, KX_STATUS_INVALID_ARGUMENT},
                                                        {48, KX_STATUS_ABI_MISMATCH}};
  for (const auto& [size, status] : bad_headers) {
    kx_calibration_result bad = result_record(size, 3);
    EXPECT_EQ(KX(kx_calibrator_get_result)(calibrator.get(), &bad), status);
    EXPECT_EQ(bad.scale_delta, 0.0);
  }
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
      {103, 3, 48, 2, 6, KX_STATUS_INVALID_ARGUMENT, "calibration struct_size is invalid"},
      {104, 2, 47, 3, 6, KX_STATUS_INVALID_ARGUMENT, "calibration struct_size is invalid"},
      {104, 1, 48, 2, 6, KX_STATUS_ABI_MISMATCH, "calibration ABI version does not match"},
      {104, 2, 48, 3, 6, KX_STATUS_ABI_MISMATCH, "calibration ABI version does not match"},
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
  EXPECT_EQ(KX(kx_fit_base_calibration)(nullptr, observations.data(), 6, &result),
            KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(KX(kx_fit_base_calibration)(&options, observations.data(), 6, nullptr),
            KX_STATUS_INVALID_ARGUMENT);
}

TEST_F(CalibratorTest, SdkFrontDoor) {
  const kx_sdk_options options{sizeof(kx_sdk_options), 2, view(root_)};
  kx_sdk* sdk = nullptr;
  ASSERT_EQ(KX(kx_sdk_create)(&options, &sdk), KX_STATUS_OK);
  const std::unique_ptr<kx_sdk, void (*)(kx_sdk*)> owner(sdk, KX(kx_sdk_destroy));
  const std::string hand = "dynamic_openxr_hand";
  const std::string useless = write_file(dir_ / "useless.yaml", "size: 3\n").string();
  const struct {
    std::string name, bone;
    kx_status status;
    std::string text;  // the start of the SDK's and the thread's text
  } cases[] = {
      {"a/b", "", KX_STATUS_INVALID_ARGUMENT, "hand_name is invalid"},
      {"no_such-hand", "", KX_STATUS_INVALID_ARGUMENT,
       "hand config does not exist: " + root_ + "/hands/no_such-hand/no_such-hand_system.yaml"},
      {hand, useless, KX_STATUS_INTERNAL_ERROR, "bone_config contains no usable left/right calibration data"},
  };
  for (const auto& c : cases) {
    kx_calibrator* calibrator = kNotWritten;
    EXPECT_EQ(KX(kx_sdk_create_calibrator)(sdk, view(c.name), view(c.bone), &calibrator), c.status) << c.name;
    EXPECT_EQ(calibrator, nullptr);
    EXPECT_EQ(std::string(KX(kx_sdk_last_error)(sdk)).rfind(c.text, 0), 0u) << KX(kx_sdk_last_error)(sdk);
    EXPECT_STREQ(KX(kx_last_error)(), KX(kx_sdk_last_error)(sdk));
  }
  EXPECT_EQ(KX(kx_sdk_create_calibrator)(nullptr, view(hand), kx_string_view{}, nullptr),
            KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "SDK and calibrator output pointer are required");
  kx_calibrator* calibrator = nullptr;
  ASSERT_EQ(KX(kx_sdk_create_calibrator)(sdk, view(hand), kx_string_view{}, &calibrator), KX_STATUS_OK)
      << KX(kx_last_error)();
  const CalibratorPtr owned(calibrator, KX(kx_calibrator_destroy));
  EXPECT_STREQ(KX(kx_sdk_last_error)(sdk), "");
  EXPECT_EQ(add(calibrator, "close"), KX_STATUS_OK);
}

// A user whose hand is 15 % larger than the model's (mapping scale 0.87) wearing a glove whose base is
// tilted by about 20 degrees, calibrated with the basic stages through the C calibrator: the mean fingertip
// error of the user's poses through an engine on the calibrated configuration falls clearly.
TEST_F(CalibratorTest, SyntheticUserThroughTheCalibrator) {
  hand::Config config = hand::Config::load(bundled_hand_config(), "", "right");
  config.set_boolean("joint_smoother.enabled", false);
  const std::string base_path = write_file(dir_ / "hand/user.yaml", config.dump_yaml()).string();
  write_file(dir_ / "hand/pose_library.yaml",
             read_file(source_dir() / "resources/hands/dynamic_openxr_hand/pose_library.yaml"));
  hand::TipMappingParameters user = hand::TipMappingParameters::from_config(config, "right");
  user.human_hand_scale = 0.87;
  user.input_base_rotation_offset = transpose(mul(rot(0, 0.28), rot(1, -0.2)));

  const CalibratorPtr calibrator = create_calibrator(calibrator_options(base_path));
  ASSERT_NE(calibrator, nullptr);
  const std::vector<kx_engine_input> captured = glove_frames(user, {"close", "open", "mcp90"}, 5, 0.0003);
  for (std::size_t i = 0; i < captured.size(); ++i) {
    ASSERT_EQ(add(calibrator.get(),
                  i < 5    ? "close"
                  : i < 10 ? "open"
                           : "mcp90",
                  captured[i]),
              KX_STATUS_OK)
        << text(calibrator.get());
  }
  ASSERT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_OK) << text(calibrator.get());
  kx_calibration_result result = result_record();
  ASSERT_EQ(KX(kx_calibrator_get_result)(calibrator.get(), &result), KX_STATUS_OK);
  EXPECT_NEAR(result.scale_delta, user.human_hand_scale, 0.03 * user.human_hand_scale);
  kx_string_view yaml{};
  ASSERT_EQ(KX(kx_calibrator_result_yaml)(calibrator.get(), &yaml), KX_STATUS_OK);
  const std::string calibrated_path =
      write_file(dir_ / "calibrated.yaml", std::string(yaml.data, yaml.size)).string();

  hand::PinocchioHandKinematics kinematics(config, "right");
  hand::synthetic::SyntheticGlove glove(user);
  double error_mm[2] = {0.0, 0.0};
  for (int i = 0; i < 2; ++i) {
    const std::string& path = i == 0 ? base_path : calibrated_path;
    const kx_engine_options options{sizeof(kx_engine_options), 2, view(path), {}};
    kx_engine* engine = nullptr;
    ASSERT_EQ(KX(kx_engine_create)(&options, &engine), KX_STATUS_OK) << KX(kx_last_error)();
    std::vector<double> joints(KX(kx_engine_joint_count)(engine));
    int count = 0;
    for (const char* pose : {"open", "five_close", "mcp90", "fist", "mcp90_pip90", "pinch_first",
                             "pinch_middle", "pinch_ring", "pinch_little"}) {
      const hand::HandKinematicsState truth = kinematics.state_from_active(kinematics.pose_active(pose));
      const hand::GloveFeatureFrame reading = glove.frame_from_state(truth);
      kx_engine_input input = hand::synthetic::engine_input(reading, KX_HAND_RIGHT, 0.0, "");
      input.world_tip_mask = 0;
      for (int k = 0; k < 5; ++k) {
        input.timestamp_s += 1.0;
        kx_engine_output output{48, 2, 0.0, 0, 0, joints.size(), joints.data()};
        ASSERT_EQ(KX(kx_engine_step)(engine, &input, &output), KX_STATUS_OK)
            << KX(kx_engine_last_error)(engine);
      }
      const auto reached =
          kinematics.state_from_active(kinematics.active_from_full(joints)).tip_positions_wrist;
      for (const auto& [finger, tip] : truth.tip_positions_wrist) {
        error_mm[i] += 1000.0 * distance(reached.at(finger), tip);
        ++count;
      }
    }
    error_mm[i] /= count;
    KX(kx_engine_destroy)(engine);
  }
  std::printf(
      "[calibrator] scale_delta=%.4f human_hand_scale=%.4f (user %.2f); mean fingertip error "
      "%.2f mm uncalibrated, %.2f mm calibrated\n",
      result.scale_delta, result.human_hand_scale, user.human_hand_scale, error_mm[0], error_mm[1]);
  EXPECT_LT(error_mm[1], 0.5 * error_mm[0]);
}

}  // namespace
}  // namespace kelto::test
