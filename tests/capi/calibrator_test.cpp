// Calibrators and the stateless base fit through the shared library: argument and record checks with
// their texts, the side lock, the stage sets of the fit, the SDK front door, and a synthetic user
// calibrated through the C calibrator whose calibrated configuration then drives an engine.
#include <gtest/gtest.h>

#include <algorithm>
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

namespace kelto::test {
namespace {

kx_calibrator* const kNotWritten = reinterpret_cast<kx_calibrator*>(std::uintptr_t{0x1});
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

const std::vector<std::string> kBasicStages{"close", "open", "mcp90"};
const std::vector<std::string> kUserPoses{"open",         "five_close",  "mcp90",
                                          "fist",         "mcp90_pip90", "pinch_first",
                                          "pinch_middle", "pinch_ring",  "pinch_little"};

kx_string_view view(const std::string& text) {
  return kx_string_view{text.data(), text.size()};
}

struct CalibratorDeleter {
  void operator()(kx_calibrator* calibrator) const { KX(kx_calibrator_destroy)(calibrator); }
};
using CalibratorPtr = std::unique_ptr<kx_calibrator, CalibratorDeleter>;

struct EngineDeleter {
  void operator()(kx_engine* engine) const { KX(kx_engine_destroy)(engine); }
};
using EnginePtr = std::unique_ptr<kx_engine, EngineDeleter>;

kx_calibrator_options calibrator_options(const std::string& config_path, const std::string& bone = "") {
  kx_calibrator_options options{};
  options.struct_size = sizeof options;
  options.abi_version = 2;
  options.config_path = view(config_path);
  options.bone_config_path = view(bone);
  return options;
}

CalibratorPtr create_calibrator(const kx_calibrator_options& options) {
  kx_calibrator* calibrator = nullptr;
  EXPECT_EQ(KX(kx_calibrator_create)(&options, &calibrator), KX_STATUS_OK) << KX(kx_last_error)();
  return CalibratorPtr(calibrator);
}

void set_pose(kx_pose& record, const std::array<double, 3>& position, const std::array<double, 9>& rotation) {
  std::memcpy(record.position, position.data(), sizeof record.position);
  std::memcpy(record.rotation, rotation.data(), sizeof record.rotation);
}

std::size_t slot(const std::string& finger) {
  const std::vector<std::string> order{"thumb", "first", "middle", "ring", "little"};
  return static_cast<std::size_t>(std::find(order.begin(), order.end(), finger) - order.begin());
}

kx_engine_input empty_record(int32_t side) {
  kx_engine_input input;
  std::memset(&input, 0, sizeof input);
  input.struct_size = sizeof input;
  input.abi_version = 2;
  input.hand_side = side;
  return input;
}

// A glove frame record holding the captured local fingertips.
kx_engine_input frame_record(const std::map<std::string, hand::CalibrationFingerFrame>& tips, int32_t side) {
  kx_engine_input input = empty_record(side);
  for (const auto& [finger, tip] : tips) {
    input.local_tip_mask |= 1u << slot(finger);
    set_pose(input.local_tips[slot(finger)], tip.position, tip.rotation);
  }
  return input;
}

// A glove frame record with every local and world fingertip of the frame.
kx_engine_input frame_record(const hand::GloveFeatureFrame& frame, double timestamp_s) {
  kx_engine_input input = empty_record(KX_HAND_RIGHT);
  input.timestamp_s = timestamp_s;
  set_pose(input.root, frame.root.position, frame.root.rotation);
  for (const auto& [finger, pose] : frame.local_tips) {
    input.local_tip_mask |= 1u << slot(finger);
    set_pose(input.local_tips[slot(finger)], pose.position, pose.rotation);
  }
  for (const auto& [finger, pose] : frame.world_tips) {
    input.world_tip_mask |= 1u << slot(finger);
    set_pose(input.world_tips[slot(finger)], pose.position, pose.rotation);
  }
  return input;
}

kx_calibration_result result_record() {
  kx_calibration_result result{};
  result.struct_size = sizeof result;
  result.abi_version = 2;
  return result;
}

class CalibratorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = std::make_unique<TempDir>();
    home_env_ = std::make_unique<ScopedEnv>("KELTO_HOME", home_->path().string());
    const hand::Config config = hand::Config::load(bundled_hand_config(), "", "right");
    // One glove frame per stage of the profile, taken from the hand's own reference poses.
    const std::vector<std::string> all{"close",        "open",       "mcp90",       "pinch_first",
                                       "pinch_middle", "pinch_ring", "pinch_little"};
    const hand::TipMappingParameters glove = hand::TipMappingParameters::from_config(config, "right");
    for (const hand::CalibrationStageFrames& stage : capture_stages(config, "right", glove, all, 1, 0.0))
      frames_[stage.stage_id] = frame_record(stage.frames.front(), KX_HAND_RIGHT);
  }
  static void TearDownTestSuite() {
    home_env_.reset();
    home_.reset();
  }
  void SetUp() override {
    const std::string root = (source_dir() / "resources").string();
    kx_sdk_options options{};
    options.struct_size = sizeof options;
    options.abi_version = 2;
    options.resource_root = view(root);
    kx_sdk* sdk = nullptr;
    ASSERT_EQ(KX(kx_sdk_create)(&options, &sdk), KX_STATUS_OK) << KX(kx_last_error)();
    KX(kx_sdk_destroy)(sdk);
  }

  static kx_engine_input frame(const std::string& stage, int32_t side = KX_HAND_RIGHT) {
    kx_engine_input input = frames_.at(stage);
    input.hand_side = side;
    return input;
  }
  static kx_status add(kx_calibrator* calibrator, const std::string& stage, const kx_engine_input& input) {
    return KX(kx_calibrator_add_frame)(calibrator, view(stage), &input);
  }
  CalibratorPtr bundled_calibrator() { return create_calibrator(calibrator_options(config_)); }

  static inline std::unique_ptr<TempDir> home_;
  static inline std::unique_ptr<ScopedEnv> home_env_;
  static inline std::map<std::string, kx_engine_input> frames_;
  const std::string config_ = bundled_hand_config().string();
  TempDir dir_;
};

// ---------------------------------------------------------------- creation

TEST_F(CalibratorTest, CreateRejectsBadOptions) {
  struct Case {
    const char* name;
    kx_calibrator_options options;
    kx_status status;
    const char* text;
  };
  const kx_calibrator_options good = calibrator_options(config_);
  auto with = [&](auto change) {
    kx_calibrator_options options = good;
    change(options);
    return options;
  };
  const std::string missing = (dir_ / "missing.yaml").string();
  const Case cases[] = {
      {"size below the record", with([](auto& o) {
         o.struct_size = 55;
         o.abi_version = 3;
       }),
       KX_STATUS_INVALID_ARGUMENT, "calibrator options are invalid"},
      {"other ABI version", with([](auto& o) { o.abi_version = 3; }), KX_STATUS_ABI_MISMATCH,
       "calibrator ABI version does not match"},
      {"NaN fixed scale", with([](auto& o) {
         o.use_fixed_scale = 1;
         o.fixed_scale = kNaN;
       }),
       KX_STATUS_INVALID_ARGUMENT, "calibrator fixed scale must be finite"},
      {"infinite fixed scale", with([](auto& o) {
         o.use_fixed_scale = -1;
         o.fixed_scale = -kInf;
       }),
       KX_STATUS_INVALID_ARGUMENT, "calibrator fixed scale must be finite"},
      {"NULL path", with([](auto& o) {
         o.config_path = kx_string_view{nullptr, 12};
       }),
       KX_STATUS_INVALID_ARGUMENT, "calibrator config path is required"},
      {"missing configuration file", with([&](auto& o) { o.config_path = view(missing); }),
       KX_STATUS_INTERNAL_ERROR, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kx_calibrator* calibrator = kNotWritten;
    EXPECT_EQ(KX(kx_calibrator_create)(&c.options, &calibrator), c.status);
    EXPECT_EQ(calibrator, nullptr);
    if (c.text != nullptr) {
      EXPECT_STREQ(KX(kx_last_error)(), c.text);
    } else {
      EXPECT_NE(std::string(KX(kx_last_error)()).find("missing.yaml"), std::string::npos)
          << KX(kx_last_error)();
    }
  }
  EXPECT_EQ(KX(kx_calibrator_create)(&good, nullptr), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "calibrator output pointer is required");
  kx_calibrator* calibrator = kNotWritten;
  EXPECT_EQ(KX(kx_calibrator_create)(nullptr, &calibrator), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(calibrator, nullptr);

  // A NaN fixed scale is only looked at when it is asked for; success clears the thread's text.
  const CalibratorPtr created = create_calibrator(with([](auto& o) { o.fixed_scale = kNaN; }));
  ASSERT_NE(created, nullptr);
  EXPECT_STREQ(KX(kx_last_error)(), "");
  EXPECT_STREQ(KX(kx_calibrator_last_error)(created.get()), "");
}

TEST_F(CalibratorTest, NullHandles) {
  KX(kx_calibrator_destroy)(nullptr);
  EXPECT_STREQ(KX(kx_calibrator_last_error)(nullptr), "calibrator is null");
  EXPECT_EQ(KX(kx_calibrator_fit)(nullptr), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "calibrator is required");
  const kx_engine_input input = frame("close");
  EXPECT_EQ(add(nullptr, "close", input), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "calibrator and glove frame are required");
  kx_calibration_result result = result_record();
  EXPECT_EQ(KX(kx_calibrator_get_result)(nullptr, &result), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "calibrator and result output are required");
  kx_string_view yaml{};
  EXPECT_EQ(KX(kx_calibrator_result_yaml)(nullptr, &yaml), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "calibrator and YAML output are required");
}

// With a bone configuration each side loads on its own; the side of the first frame must have loaded.
TEST_F(CalibratorTest, BoneConfigurationSides) {
  // The left section is not a mapping, so only the right side loads.
  const std::string right_only =
      write_file(dir_ / "right_only.yaml", "left: broken\nright:\n  anthropometry:\n    enabled: false\n")
          .string();
  const CalibratorPtr calibrator = create_calibrator(calibrator_options(config_, right_only));
  ASSERT_NE(calibrator, nullptr);
  EXPECT_EQ(add(calibrator.get(), "close", frame("close", KX_HAND_LEFT)), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_calibrator_last_error)(calibrator.get()),
               "calibration bone_config has no left-hand data");
  EXPECT_STREQ(KX(kx_last_error)(), "calibration bone_config has no left-hand data");
  // The failure locked nothing: a right frame is taken, and from then on left frames are mixed sides.
  EXPECT_EQ(add(calibrator.get(), "close", frame("close")), KX_STATUS_OK) << KX(kx_last_error)();
  EXPECT_EQ(add(calibrator.get(), "close", frame("close", KX_HAND_LEFT)), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "calibration contains mixed hand sides");

  const std::string useless = write_file(dir_ / "useless.yaml", "size: 3\n").string();
  const kx_calibrator_options options = calibrator_options(config_, useless);
  kx_calibrator* none = kNotWritten;
  EXPECT_EQ(KX(kx_calibrator_create)(&options, &none), KX_STATUS_INTERNAL_ERROR);
  EXPECT_EQ(none, nullptr);
  const std::string text = KX(kx_last_error)();
  EXPECT_EQ(text.rfind("bone_config contains no usable left/right calibration data; left: ", 0), 0u) << text;
  EXPECT_NE(text.find("; right: "), std::string::npos) << text;
}

// ---------------------------------------------------------------- frames

TEST_F(CalibratorTest, AddFrameChecks) {
  const CalibratorPtr calibrator = bundled_calibrator();
  ASSERT_NE(calibrator, nullptr);
  struct Case {
    const char* name;
    std::string stage;
    kx_engine_input input;
    kx_status status;
    std::string text;
  };
  auto with = [&](auto change) {
    kx_engine_input input = frame("close");
    change(input);
    return input;
  };
  const Case cases[] = {
      {"size below the record", "close", with([](auto& f) {
         f.struct_size = 1103;
         f.abi_version = 9;
       }),
       KX_STATUS_INVALID_ARGUMENT, "calibration glove frame struct_size is invalid"},
      {"other ABI version", "close", with([](auto& f) { f.abi_version = 1; }), KX_STATUS_ABI_MISMATCH,
       "calibration glove frame ABI version does not match"},
      {"side 2", "close", with([](auto& f) { f.hand_side = 2; }), KX_STATUS_INVALID_ARGUMENT,
       "calibration glove frame hand side is invalid"},
      {"negative side", "close", with([](auto& f) { f.hand_side = -1; }), KX_STATUS_INVALID_ARGUMENT,
       "calibration glove frame hand side is invalid"},
      // The first frame to pass the side checks locks the side even though it fails later.
      {"unknown stage", "fist", frame("close"), KX_STATUS_INVALID_ARGUMENT,
       "native calibration stage is invalid: fist"},
      {"mixed sides", "close", frame("close", KX_HAND_LEFT), KX_STATUS_INVALID_ARGUMENT,
       "calibration contains mixed hand sides"},
      {"missing fingertip", "close", with([](auto& f) { f.local_tip_mask = 0x1d; }),
       KX_STATUS_INVALID_ARGUMENT, "calibration glove frame requires all configured local fingertips"},
      {"non-finite rotation", "close", with([](auto& f) { f.local_tips[4].rotation[8] = kNaN; }),
       KX_STATUS_INVALID_ARGUMENT, "calibration glove frame contains non-finite fingertip data"},
      {"infinite position", "close", with([](auto& f) { f.local_tips[0].position[1] = kInf; }),
       KX_STATUS_INVALID_ARGUMENT, "calibration glove frame contains non-finite fingertip data"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(add(calibrator.get(), c.stage, c.input), c.status);
    EXPECT_EQ(KX(kx_calibrator_last_error)(calibrator.get()), c.text);
    EXPECT_EQ(KX(kx_last_error)(), c.text);
  }
  // None of the rejected frames was kept: the fit still lacks the first stage.
  EXPECT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_calibrator_last_error)(calibrator.get()), "native calibration is missing stage: close");

  // Unused fields of the frame play no part; success clears both texts.
  kx_engine_input loose = frame("close");
  loose.world_tip_mask = 0;
  loose.root.position[0] = kNaN;
  loose.local_tip_mask |= 0xffffffe0u;
  EXPECT_EQ(add(calibrator.get(), "close", loose), KX_STATUS_OK) << KX(kx_last_error)();
  EXPECT_STREQ(KX(kx_calibrator_last_error)(calibrator.get()), "");
  EXPECT_STREQ(KX(kx_last_error)(), "");
}

// ---------------------------------------------------------------- fit and result

TEST_F(CalibratorTest, FitChoosesTheStageSetAndAddingFramesDropsTheResult) {
  const CalibratorPtr calibrator = bundled_calibrator();
  ASSERT_NE(calibrator, nullptr);
  kx_calibration_result result = result_record();
  kx_string_view yaml{};
  EXPECT_EQ(KX(kx_calibrator_get_result)(calibrator.get(), &result), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "calibrator has no fitted result");
  EXPECT_EQ(KX(kx_calibrator_result_yaml)(calibrator.get(), &yaml), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_calibrator_last_error)(calibrator.get()), "calibrator has no fitted YAML result");

  for (const char* stage : {"close", "open"}) ASSERT_EQ(add(calibrator.get(), stage, frame(stage)), 0);
  EXPECT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_calibrator_last_error)(calibrator.get()), "native calibration is missing stage: mcp90");
  ASSERT_EQ(add(calibrator.get(), "mcp90", frame("mcp90")), KX_STATUS_OK);
  ASSERT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_OK) << KX(kx_last_error)();
  EXPECT_STREQ(KX(kx_calibrator_last_error)(calibrator.get()), "");

  // The result record is written whole, header included.
  result.struct_size = 4096;
  ASSERT_EQ(KX(kx_calibrator_get_result)(calibrator.get(), &result), KX_STATUS_OK);
  EXPECT_EQ(result.struct_size, sizeof(kx_calibration_result));
  EXPECT_EQ(result.abi_version, 2u);
  // The glove follows the hand's own mapping, so the fitted slope is close to one and the palm offset lies
  // between the wrist and the fingertips.
  EXPECT_NEAR(result.scale_delta, 1.0, 0.05);
  EXPECT_DOUBLE_EQ(result.human_hand_scale, result.scale_delta + 0.1);
  EXPECT_LT(std::hypot(result.palm_offset_local[0], result.palm_offset_local[1], result.palm_offset_local[2]),
            0.2);
  ASSERT_EQ(KX(kx_calibrator_result_yaml)(calibrator.get(), &yaml), KX_STATUS_OK);
  const std::string text(yaml.data, yaml.size);
  EXPECT_NE(text.find("human_hand_scale"), std::string::npos);
  EXPECT_EQ(text.find("__config_path__"), std::string::npos);

  // One frame of a pinch stage asks for the enhanced stages, all of them.
  ASSERT_EQ(add(calibrator.get(), "pinch_ring", frame("pinch_ring")), KX_STATUS_OK);
  EXPECT_EQ(KX(kx_calibrator_get_result)(calibrator.get(), &result), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "calibrator has no fitted result");
  EXPECT_EQ(KX(kx_calibrator_result_yaml)(calibrator.get(), &yaml), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "native calibration is missing stage: pinch_first");
  for (const char* stage : {"pinch_first", "pinch_middle", "pinch_little"})
    ASSERT_EQ(add(calibrator.get(), stage, frame(stage)), KX_STATUS_OK);
  EXPECT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_OK) << KX(kx_last_error)();
}

TEST_F(CalibratorTest, ResultRecordChecksAndFixedScale) {
  kx_calibrator_options options = calibrator_options(config_);
  options.use_fixed_scale = 1;
  options.fixed_scale = 1.25;
  const CalibratorPtr calibrator = create_calibrator(options);
  ASSERT_NE(calibrator, nullptr);
  for (const std::string& stage : kBasicStages) ASSERT_EQ(add(calibrator.get(), stage, frame(stage)), 0);
  ASSERT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_OK) << KX(kx_last_error)();

  struct Case {
    uint32_t struct_size, abi_version;
    kx_status status;
    const char* text;
  };
  const Case cases[] = {
      {47, 3, KX_STATUS_INVALID_ARGUMENT, "calibrator result struct_size is invalid"},
      {48, 3, KX_STATUS_ABI_MISMATCH, "calibrator result ABI version does not match"},
  };
  for (const Case& c : cases) {
    kx_calibration_result result{};
    result.struct_size = c.struct_size;
    result.abi_version = c.abi_version;
    EXPECT_EQ(KX(kx_calibrator_get_result)(calibrator.get(), &result), c.status);
    EXPECT_STREQ(KX(kx_calibrator_last_error)(calibrator.get()), c.text);
    EXPECT_EQ(result.scale_delta, 0.0);
  }
  kx_calibration_result result = result_record();
  ASSERT_EQ(KX(kx_calibrator_get_result)(calibrator.get(), &result), KX_STATUS_OK);
  EXPECT_EQ(result.human_hand_scale, 1.25);
  EXPECT_NEAR(result.scale_delta, 1.0, 0.05);  // the slope is still reported
}

// ---------------------------------------------------------------- stateless base fit

TEST_F(CalibratorTest, BaseFitChecksAndRecoversScaleAndPalm) {
  // Observations of a glove whose points map through a quarter turn about z, scale 0.8 and a palm shift.
  const std::array<double, 9> turn{0, -1, 0, 1, 0, 0, 0, 0, 1};
  const std::array<double, 3> palm{0.01, -0.02, 0.09};
  std::vector<kx_calibration_observation> observations;
  for (int i = 0; i < 6; ++i) {
    kx_calibration_observation o{};
    const double p[3] = {0.02 * i, 0.05 - 0.015 * i, 0.03 * (i % 3)};
    std::memcpy(o.source_position, p, sizeof p);
    for (int k = 0; k < 3; ++k) o.source_rotation[4 * k] = 1.0;
    const double mapped[3] = {-p[1], p[0], p[2]};
    for (int k = 0; k < 3; ++k) o.robot_target[k] = 0.8 * mapped[k] + palm[k];
    o.weight = 1.0;
    observations.push_back(o);
  }
  kx_base_calibration_options options{};
  options.struct_size = sizeof options;
  options.abi_version = 2;
  std::memcpy(options.base_rotation, turn.data(), sizeof options.base_rotation);
  options.scale_base = 0.0;

  kx_calibration_result result = result_record();
  ASSERT_EQ(KX(kx_fit_base_calibration)(&options, observations.data(), observations.size(), &result),
            KX_STATUS_OK)
      << KX(kx_last_error)();
  EXPECT_STREQ(KX(kx_last_error)(), "");
  EXPECT_NEAR(result.scale_delta, 0.8, 1e-9);
  EXPECT_NEAR(result.human_hand_scale, 0.8, 1e-9);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(result.palm_offset_local[k], palm[k], 1e-9) << k;

  // The scale base is added to the slope; a fixed scale replaces both.
  options.scale_base = 0.1;
  ASSERT_EQ(KX(kx_fit_base_calibration)(&options, observations.data(), observations.size(), &result), 0);
  EXPECT_NEAR(result.scale_delta, 0.8, 1e-9);
  EXPECT_NEAR(result.human_hand_scale, 0.9, 1e-9);
  options.use_fixed_scale = 1;
  options.fixed_scale = 0.5;
  ASSERT_EQ(KX(kx_fit_base_calibration)(&options, observations.data(), observations.size(), &result), 0);
  EXPECT_EQ(result.human_hand_scale, 0.5);
  EXPECT_NEAR(result.scale_delta, 0.8, 1e-9);

  struct Case {
    const char* name;
    uint32_t options_size, options_abi, result_size, result_abi;
    std::size_t count;
    kx_status status;
    const char* text;
  };
  const Case cases[] = {
      {"no observations", 104, 2, 48, 2, 0, KX_STATUS_INVALID_ARGUMENT,
       "calibration options, observations, and output are required"},
      {"small options", 103, 3, 48, 2, 6, KX_STATUS_INVALID_ARGUMENT, "calibration struct_size is invalid"},
      {"small result", 104, 2, 47, 3, 6, KX_STATUS_INVALID_ARGUMENT, "calibration struct_size is invalid"},
      {"options ABI", 104, 1, 48, 2, 6, KX_STATUS_ABI_MISMATCH, "calibration ABI version does not match"},
      {"result ABI", 104, 2, 48, 3, 6, KX_STATUS_ABI_MISMATCH, "calibration ABI version does not match"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kx_base_calibration_options o = options;
    o.struct_size = c.options_size;
    o.abi_version = c.options_abi;
    kx_calibration_result r{};
    r.struct_size = c.result_size;
    r.abi_version = c.result_abi;
    EXPECT_EQ(KX(kx_fit_base_calibration)(&o, observations.data(), c.count, &r), c.status);
    EXPECT_STREQ(KX(kx_last_error)(), c.text);
    EXPECT_EQ(r.scale_delta, 0.0);
  }
  EXPECT_EQ(KX(kx_fit_base_calibration)(&options, nullptr, 6, &result), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(KX(kx_fit_base_calibration)(nullptr, observations.data(), 6, &result),
            KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(KX(kx_fit_base_calibration)(&options, observations.data(), 6, nullptr),
            KX_STATUS_INVALID_ARGUMENT);
}

// ---------------------------------------------------------------- SDK front door

TEST_F(CalibratorTest, SdkFrontDoor) {
  const std::string root = (source_dir() / "resources").string();
  kx_sdk_options options{};
  options.struct_size = sizeof options;
  options.abi_version = 2;
  options.resource_root = view(root);
  kx_sdk* raw_sdk = nullptr;
  ASSERT_EQ(KX(kx_sdk_create)(&options, &raw_sdk), KX_STATUS_OK);
  const std::unique_ptr<kx_sdk, void (*)(kx_sdk*)> sdk(raw_sdk, KX(kx_sdk_destroy));

  struct Case {
    std::string name;
    std::string text;
  };
  const Case cases[] = {
      {"", "hand_name is invalid"},
      {"..", "hand_name is invalid"},
      {"a/b", "hand_name is invalid"},
      {"no_such-hand",
       "hand config does not exist: " + root + "/hands/no_such-hand/no_such-hand_system.yaml"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kx_calibrator* calibrator = kNotWritten;
    EXPECT_EQ(KX(kx_sdk_create_calibrator)(sdk.get(), view(c.name), kx_string_view{}, &calibrator),
              KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(calibrator, nullptr);
    EXPECT_EQ(KX(kx_sdk_last_error)(sdk.get()), c.text);
    EXPECT_EQ(KX(kx_last_error)(), c.text);
  }
  const std::string hand = "dynamic_openxr_hand";
  EXPECT_EQ(KX(kx_sdk_create_calibrator)(nullptr, view(hand), kx_string_view{}, nullptr),
            KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "SDK and calibrator output pointer are required");

  // A bone configuration that no side can use: the calibrator's failure is copied into the SDK.
  const std::string useless = write_file(dir_ / "useless.yaml", "size: 3\n").string();
  kx_calibrator* calibrator = nullptr;
  EXPECT_EQ(KX(kx_sdk_create_calibrator)(sdk.get(), view(hand), view(useless), &calibrator),
            KX_STATUS_INTERNAL_ERROR);
  EXPECT_STREQ(KX(kx_sdk_last_error)(sdk.get()), KX(kx_last_error)());
  EXPECT_NE(std::string(KX(kx_sdk_last_error)(sdk.get())), "");

  ASSERT_EQ(KX(kx_sdk_create_calibrator)(sdk.get(), view(hand), kx_string_view{}, &calibrator), KX_STATUS_OK)
      << KX(kx_last_error)();
  const CalibratorPtr owned(calibrator);
  EXPECT_STREQ(KX(kx_sdk_last_error)(sdk.get()), "");
  EXPECT_EQ(add(calibrator, "close", frame("close")), KX_STATUS_OK);
}

// ---------------------------------------------------------------- a synthetic user

// Mean distance in millimetres between the fingertips of the solved hand and the user's true fingertips,
// over the user's poses, when `engine` retargets the readings of the user's glove.
double engine_fingertip_error_mm(kx_engine* engine, hand::PinocchioHandKinematics& kinematics,
                                 const hand::TipMappingParameters& user) {
  hand::synthetic::SyntheticGloveOptions glove_options;
  glove_options.side = "right";
  hand::synthetic::SyntheticGlove glove(user, glove_options);
  std::vector<double> joints(KX(kx_engine_joint_count)(engine));
  double sum = 0.0;
  std::size_t count = 0;
  double time = 0.0;
  for (const std::string& pose : kUserPoses) {
    const hand::HandKinematicsState truth = kinematics.state_from_active(kinematics.pose_active(pose));
    const kx_engine_input input = frame_record(glove.frame_from_state(truth), 0.0);
    for (int i = 0; i < 5; ++i) {
      kx_engine_input stepped = input;
      stepped.timestamp_s = time += 1.0;
      kx_engine_output output{};
      output.struct_size = sizeof output;
      output.abi_version = 2;
      output.joint_capacity = joints.size();
      output.joints = joints.data();
      EXPECT_EQ(KX(kx_engine_step)(engine, &stepped, &output), KX_STATUS_OK)
          << KX(kx_engine_last_error)(engine);
    }
    const hand::HandKinematicsState reached =
        kinematics.state_from_active(kinematics.active_from_full(joints));
    for (const auto& [finger, tip] : truth.tip_positions_wrist) {
      sum += 1000.0 * distance(reached.tip_positions_wrist.at(finger), tip);
      ++count;
    }
  }
  return sum / static_cast<double>(count);
}

EnginePtr engine_for(const std::string& config_path) {
  kx_engine_options options{};
  options.struct_size = sizeof options;
  options.abi_version = 2;
  options.config_path = view(config_path);
  kx_engine* engine = nullptr;
  EXPECT_EQ(KX(kx_engine_create)(&options, &engine), KX_STATUS_OK) << KX(kx_last_error)();
  return EnginePtr(engine);
}

// A user whose hand is 15 % larger than the model's (mapping scale 0.87) wearing a glove whose base is
// tilted by about 20 degrees, calibrated with the basic stages through the C calibrator.
TEST_F(CalibratorTest, SyntheticUserThroughTheCalibrator) {
  hand::Config config = level_glove_config(hand::Config::load(bundled_hand_config(), "", "right"), "right");
  config.set_boolean("joint_smoother.enabled", false);
  // The configuration the user starts from, standing beside the hand's pose library.
  const std::string base_path = write_file(dir_ / "hand/user.yaml", config.dump_yaml()).string();
  write_file(dir_ / "hand/pose_library.yaml",
             read_file(source_dir() / "resources/hands/dynamic_openxr_hand/pose_library.yaml"));

  hand::TipMappingParameters user = hand::TipMappingParameters::from_config(config, "right");
  user.human_hand_scale = 0.87;
  user.input_base_rotation_offset = transpose(mul(rot(0, 0.28), rot(1, -0.2)));

  const CalibratorPtr calibrator = create_calibrator(calibrator_options(base_path));
  ASSERT_NE(calibrator, nullptr);
  for (const hand::CalibrationStageFrames& stage :
       capture_stages(config, "right", user, kBasicStages, 5, 0.0003)) {
    for (const auto& captured : stage.frames) {
      ASSERT_EQ(add(calibrator.get(), stage.stage_id, frame_record(captured, KX_HAND_RIGHT)), KX_STATUS_OK)
          << KX(kx_calibrator_last_error)(calibrator.get());
    }
  }
  ASSERT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_OK)
      << KX(kx_calibrator_last_error)(calibrator.get());
  kx_calibration_result result = result_record();
  ASSERT_EQ(KX(kx_calibrator_get_result)(calibrator.get(), &result), KX_STATUS_OK);
  EXPECT_NEAR(result.scale_delta, user.human_hand_scale, 0.03 * user.human_hand_scale);
  kx_string_view yaml{};
  ASSERT_EQ(KX(kx_calibrator_result_yaml)(calibrator.get(), &yaml), KX_STATUS_OK);
  const std::string calibrated_path =
      write_file(dir_ / "calibrated.yaml", std::string(yaml.data, yaml.size)).string();

  hand::PinocchioHandKinematics kinematics(config, "right");
  const EnginePtr before = engine_for(base_path);
  const EnginePtr after = engine_for(calibrated_path);
  ASSERT_NE(before, nullptr);
  ASSERT_NE(after, nullptr);
  const double before_mm = engine_fingertip_error_mm(before.get(), kinematics, user);
  const double after_mm = engine_fingertip_error_mm(after.get(), kinematics, user);
  std::printf(
      "[calibrator] scale_delta=%.4f human_hand_scale=%.4f (user %.2f); mean fingertip error of the "
      "user's poses through the engine: %.2f mm uncalibrated, %.2f mm calibrated\n",
      result.scale_delta, result.human_hand_scale, user.human_hand_scale, before_mm, after_mm);
  EXPECT_LT(after_mm, 0.5 * before_mm);
}

}  // namespace
}  // namespace kelto::test
