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

namespace kelto::test {
namespace {

kx_calibrator* const kNotWritten = reinterpret_cast<kx_calibrator*>(std::uintptr_t{0x1});
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const std::vector<std::string> kBasicStages{"close", "open", "mcp90"};

kx_string_view view(const std::string& text) {
  return kx_string_view{text.data(), text.size()};
}

using CalibratorPtr = std::unique_ptr<kx_calibrator, void (*)(kx_calibrator*)>;

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
  return CalibratorPtr(calibrator, KX(kx_calibrator_destroy));
}

kx_sdk_options sdk_options(const std::string& root) {
  kx_sdk_options options{};
  options.struct_size = sizeof options;
  options.abi_version = 2;
  options.resource_root = view(root);
  return options;
}

kx_calibration_result result_record() {
  kx_calibration_result result{};
  result.struct_size = sizeof result;
  result.abi_version = 2;
  return result;
}

// A glove frame record with the given local fingertips (anything with a position and a rotation).
template <typename Tip>
kx_engine_input frame_record(const std::map<std::string, Tip>& tips, int32_t side) {
  const std::map<std::string, int> slots{
      {"thumb", 0}, {"first", 1}, {"middle", 2}, {"ring", 3}, {"little", 4}};
  kx_engine_input input;
  std::memset(&input, 0, sizeof input);
  input.struct_size = sizeof input;
  input.abi_version = 2;
  input.hand_side = side;
  for (int i = 0; i < 9; i += 4) input.root.rotation[i] = 1.0;
  for (const auto& [finger, tip] : tips) {
    const int slot = slots.at(finger);
    input.local_tip_mask |= 1u << slot;
    std::memcpy(input.local_tips[slot].position, tip.position.data(), sizeof(double) * 3);
    std::memcpy(input.local_tips[slot].rotation, tip.rotation.data(), sizeof(double) * 9);
  }
  return input;
}

class CalibratorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = std::make_unique<TempDir>();
    home_env_ = std::make_unique<ScopedEnv>("KELTO_HOME", home_->path().string());
    // One glove frame per stage of the profile, of a glove that follows the hand's own mapping.
    const hand::Config config = hand::Config::load(bundled_hand_config(), "", "right");
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
    const kx_sdk_options options = sdk_options(root_);
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
  static std::string text(kx_calibrator* calibrator) { return KX(kx_calibrator_last_error)(calibrator); }

  static inline std::unique_ptr<TempDir> home_;
  static inline std::unique_ptr<ScopedEnv> home_env_;
  static inline std::map<std::string, kx_engine_input> frames_;
  const std::string root_ = (source_dir() / "resources").string();
  const std::string config_ = bundled_hand_config().string();
  TempDir dir_;
};

TEST_F(CalibratorTest, CreateRejectsBadOptions) {
  struct Case {
    const char* name;
    void (*change)(kx_calibrator_options&);
    kx_status status;
    const char* text;
  };
  const Case cases[] = {
      {"size below the record",
       [](auto& o) {
         o.struct_size = 55;
         o.abi_version = 3;
       },
       KX_STATUS_INVALID_ARGUMENT, "calibrator options are invalid"},
      {"other ABI version", [](auto& o) { o.abi_version = 3; }, KX_STATUS_ABI_MISMATCH,
       "calibrator ABI version does not match"},
      {"NaN fixed scale",
       [](auto& o) {
         o.use_fixed_scale = 1;
         o.fixed_scale = kNaN;
       },
       KX_STATUS_INVALID_ARGUMENT, "calibrator fixed scale must be finite"},
      {"infinite fixed scale",
       [](auto& o) {
         o.use_fixed_scale = -1;
         o.fixed_scale = -kInf;
       },
       KX_STATUS_INVALID_ARGUMENT, "calibrator fixed scale must be finite"},
      {"NULL path",
       [](auto& o) {
         o.config_path = kx_string_view{nullptr, 12};
       },
       KX_STATUS_INVALID_ARGUMENT, "calibrator config path is required"},
      {"missing file",
       [](auto& o) {
         o.config_path = kx_string_view{"/nonexistent/x.yaml", 19};
       },
       KX_STATUS_INTERNAL_ERROR, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kx_calibrator_options options = calibrator_options(config_);
    c.change(options);
    kx_calibrator* calibrator = kNotWritten;
    EXPECT_EQ(KX(kx_calibrator_create)(&options, &calibrator), c.status);
    EXPECT_EQ(calibrator, nullptr);
    if (c.text != nullptr) {
      EXPECT_STREQ(KX(kx_last_error)(), c.text);
    }
  }
  EXPECT_NE(std::string(KX(kx_last_error)()).find("/nonexistent/x.yaml"), std::string::npos);
  const kx_calibrator_options good = calibrator_options(config_);
  EXPECT_EQ(KX(kx_calibrator_create)(&good, nullptr), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "calibrator output pointer is required");
  kx_calibrator* calibrator = kNotWritten;
  EXPECT_EQ(KX(kx_calibrator_create)(nullptr, &calibrator), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(calibrator, nullptr);

  // A NaN fixed scale is only looked at when asked for; success clears the thread's text.
  kx_calibrator_options unused_scale = good;
  unused_scale.fixed_scale = kNaN;
  const CalibratorPtr created = create_calibrator(unused_scale);
  ASSERT_NE(created, nullptr);
  EXPECT_STREQ(KX(kx_last_error)(), "");
  EXPECT_EQ(text(created.get()), "");
}

TEST_F(CalibratorTest, NullHandles) {
  KX(kx_calibrator_destroy)(nullptr);
  EXPECT_STREQ(KX(kx_calibrator_last_error)(nullptr), "calibrator is null");
  EXPECT_EQ(KX(kx_calibrator_fit)(nullptr), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "calibrator is required");
  EXPECT_EQ(add(nullptr, "close", frame("close")), KX_STATUS_INVALID_ARGUMENT);
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
  // The left section is no mapping, so only the right side loads.
  const std::string right_only =
      write_file(dir_ / "right_only.yaml", "left: broken\nright:\n  anthropometry:\n    enabled: false\n")
          .string();
  const CalibratorPtr calibrator = create_calibrator(calibrator_options(config_, right_only));
  ASSERT_NE(calibrator, nullptr);
  EXPECT_EQ(add(calibrator.get(), "close", frame("close", KX_HAND_LEFT)), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(text(calibrator.get()), "calibration bone_config has no left-hand data");
  EXPECT_STREQ(KX(kx_last_error)(), "calibration bone_config has no left-hand data");
  // That failure locked nothing: a right frame is taken, and from then on left frames are mixed sides.
  EXPECT_EQ(add(calibrator.get(), "close", frame("close")), KX_STATUS_OK) << KX(kx_last_error)();
  EXPECT_EQ(add(calibrator.get(), "close", frame("close", KX_HAND_LEFT)), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(text(calibrator.get()), "calibration contains mixed hand sides");

  const std::string useless = write_file(dir_ / "useless.yaml", "size: 3\n").string();
  const kx_calibrator_options options = calibrator_options(config_, useless);
  kx_calibrator* none = kNotWritten;
  EXPECT_EQ(KX(kx_calibrator_create)(&options, &none), KX_STATUS_INTERNAL_ERROR);
  EXPECT_EQ(none, nullptr);
  const std::string error = KX(kx_last_error)();
  EXPECT_EQ(error.rfind("bone_config contains no usable left/right calibration data; left: ", 0), 0u)
      << error;
  EXPECT_NE(error.find("; right: "), std::string::npos) << error;
}

TEST_F(CalibratorTest, AddFrameChecks) {
  const CalibratorPtr calibrator = create_calibrator(calibrator_options(config_));
  ASSERT_NE(calibrator, nullptr);
  struct Case {
    const char* name;
    const char* stage;
    void (*change)(kx_engine_input&);
    kx_status status;
    std::string text;
  };
  const auto keep = [](kx_engine_input&) {};
  const Case cases[] = {
      {"size below the record", "close",
       [](auto& f) {
         f.struct_size = 1103;
         f.abi_version = 9;
       },
       KX_STATUS_INVALID_ARGUMENT, "calibration glove frame struct_size is invalid"},
      {"other ABI version", "close", [](auto& f) { f.abi_version = 1; }, KX_STATUS_ABI_MISMATCH,
       "calibration glove frame ABI version does not match"},
      {"side 2", "close", [](auto& f) { f.hand_side = 2; }, KX_STATUS_INVALID_ARGUMENT,
       "calibration glove frame hand side is invalid"},
      {"negative side", "close", [](auto& f) { f.hand_side = -1; }, KX_STATUS_INVALID_ARGUMENT,
       "calibration glove frame hand side is invalid"},
      // The first frame to pass the side checks locks the side even though it fails later.
      {"unknown stage", "fist", keep, KX_STATUS_INVALID_ARGUMENT,
       "native calibration stage is invalid: fist"},
      {"mixed sides", "close", [](auto& f) { f.hand_side = KX_HAND_LEFT; }, KX_STATUS_INVALID_ARGUMENT,
       "calibration contains mixed hand sides"},
      {"missing fingertip", "close", [](auto& f) { f.local_tip_mask = 0x1d; }, KX_STATUS_INVALID_ARGUMENT,
       "calibration glove frame requires all configured local fingertips"},
      {"NaN rotation", "close", [](auto& f) { f.local_tips[4].rotation[8] = kNaN; },
       KX_STATUS_INVALID_ARGUMENT, "calibration glove frame contains non-finite fingertip data"},
      {"infinite position", "close", [](auto& f) { f.local_tips[0].position[1] = kInf; },
       KX_STATUS_INVALID_ARGUMENT, "calibration glove frame contains non-finite fingertip data"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kx_engine_input input = frame("close");
    c.change(input);
    EXPECT_EQ(add(calibrator.get(), c.stage, input), c.status);
    EXPECT_EQ(text(calibrator.get()), c.text);
    EXPECT_EQ(KX(kx_last_error)(), c.text);
  }
  // None of the rejected frames was kept.
  EXPECT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(text(calibrator.get()), "native calibration is missing stage: close");

  // Fields the calibrator does not read play no part; success clears both texts.
  kx_engine_input loose = frame("close");
  loose.root.position[0] = kNaN;
  loose.world_tips[1].position[0] = kInf;
  loose.world_tip_mask = 2;
  loose.local_tip_mask |= 0xffffffe0u;
  EXPECT_EQ(add(calibrator.get(), "close", loose), KX_STATUS_OK) << KX(kx_last_error)();
  EXPECT_EQ(text(calibrator.get()), "");
  EXPECT_STREQ(KX(kx_last_error)(), "");
}

TEST_F(CalibratorTest, FitChoosesTheStageSetAndNewFramesDropTheResult) {
  const CalibratorPtr calibrator = create_calibrator(calibrator_options(config_));
  ASSERT_NE(calibrator, nullptr);
  kx_calibration_result result = result_record();
  kx_string_view yaml{};
  EXPECT_EQ(KX(kx_calibrator_get_result)(calibrator.get(), &result), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(text(calibrator.get()), "calibrator has no fitted result");
  EXPECT_EQ(KX(kx_calibrator_result_yaml)(calibrator.get(), &yaml), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(text(calibrator.get()), "calibrator has no fitted YAML result");

  for (const char* stage : {"close", "open"}) ASSERT_EQ(add(calibrator.get(), stage, frame(stage)), 0);
  EXPECT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(text(calibrator.get()), "native calibration is missing stage: mcp90");
  ASSERT_EQ(add(calibrator.get(), "mcp90", frame("mcp90")), KX_STATUS_OK);
  ASSERT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_OK) << KX(kx_last_error)();

  // The result record is checked like every record, then written whole.
  const std::array<std::array<uint32_t, 3>, 2> bad_headers{
      {{47, 3, KX_STATUS_INVALID_ARGUMENT}, {48, 3, KX_STATUS_ABI_MISMATCH}}};
  for (const auto& [size, abi, status] : bad_headers) {
    kx_calibration_result bad{};
    bad.struct_size = size;
    bad.abi_version = abi;
    EXPECT_EQ(KX(kx_calibrator_get_result)(calibrator.get(), &bad), static_cast<kx_status>(status));
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

  // One frame of a pinch stage asks for the enhanced stages, all of them.
  ASSERT_EQ(add(calibrator.get(), "pinch_ring", frame("pinch_ring")), KX_STATUS_OK);
  EXPECT_EQ(KX(kx_calibrator_get_result)(calibrator.get(), &result), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(KX(kx_calibrator_result_yaml)(calibrator.get(), &yaml), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "native calibration is missing stage: pinch_first");
  for (const char* stage : {"pinch_first", "pinch_middle", "pinch_little"})
    ASSERT_EQ(add(calibrator.get(), stage, frame(stage)), KX_STATUS_OK);
  EXPECT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_OK) << KX(kx_last_error)();
}

TEST_F(CalibratorTest, FixedScale) {
  kx_calibrator_options options = calibrator_options(config_);
  options.use_fixed_scale = 1;
  options.fixed_scale = 1.25;
  const CalibratorPtr calibrator = create_calibrator(options);
  ASSERT_NE(calibrator, nullptr);
  for (const std::string& stage : kBasicStages) ASSERT_EQ(add(calibrator.get(), stage, frame(stage)), 0);
  ASSERT_EQ(KX(kx_calibrator_fit)(calibrator.get()), KX_STATUS_OK) << KX(kx_last_error)();
  kx_calibration_result result = result_record();
  ASSERT_EQ(KX(kx_calibrator_get_result)(calibrator.get(), &result), KX_STATUS_OK);
  EXPECT_EQ(result.human_hand_scale, 1.25);
  EXPECT_NEAR(result.scale_delta, 1.0, 0.05);  // the slope is still reported
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
  kx_base_calibration_options options{};
  options.struct_size = sizeof options;
  options.abi_version = 2;
  const double turn[9] = {0, -1, 0, 1, 0, 0, 0, 0, 1};
  std::memcpy(options.base_rotation, turn, sizeof turn);

  struct Fit {
    double scale_base;
    int32_t use_fixed;
    double fixed, expected_scale;
  };
  for (const Fit& f : {Fit{0.0, 0, kNaN, 0.8}, Fit{0.1, 0, 0.0, 0.9}, Fit{0.1, 1, 0.5, 0.5}}) {
    options.scale_base = f.scale_base;
    options.use_fixed_scale = f.use_fixed;
    options.fixed_scale = f.fixed;
    kx_calibration_result result = result_record();
    ASSERT_EQ(KX(kx_fit_base_calibration)(&options, observations.data(), 6, &result), KX_STATUS_OK)
        << KX(kx_last_error)();
    EXPECT_STREQ(KX(kx_last_error)(), "");
    EXPECT_NEAR(result.scale_delta, 0.8, 1e-9);
    EXPECT_NEAR(result.human_hand_scale, f.expected_scale, 1e-9);
    if (f.scale_base == 0.0) {
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(result.palm_offset_local[k], palm[k], 1e-9) << k;
    }
  }

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
  kx_calibration_result result = result_record();
  EXPECT_EQ(KX(kx_fit_base_calibration)(&options, nullptr, 6, &result), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(KX(kx_fit_base_calibration)(nullptr, observations.data(), 6, &result),
            KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(KX(kx_fit_base_calibration)(&options, observations.data(), 6, nullptr),
            KX_STATUS_INVALID_ARGUMENT);
}

TEST_F(CalibratorTest, SdkFrontDoor) {
  const kx_sdk_options options = sdk_options(root_);
  kx_sdk* raw_sdk = nullptr;
  ASSERT_EQ(KX(kx_sdk_create)(&options, &raw_sdk), KX_STATUS_OK);
  const std::unique_ptr<kx_sdk, void (*)(kx_sdk*)> sdk(raw_sdk, KX(kx_sdk_destroy));
  const std::string hand = "dynamic_openxr_hand";
  const std::string useless = write_file(dir_ / "useless.yaml", "size: 3\n").string();
  const std::string bone_error = "bone_config contains no usable left/right calibration data";

  struct Case {
    std::string name, bone;
    kx_status status;
    std::string text;  // the start of the SDK's and the thread's text
  };
  const Case cases[] = {
      {"", "", KX_STATUS_INVALID_ARGUMENT, "hand_name is invalid"},
      {"..", "", KX_STATUS_INVALID_ARGUMENT, "hand_name is invalid"},
      {"a/b", "", KX_STATUS_INVALID_ARGUMENT, "hand_name is invalid"},
      {"no_such-hand", "", KX_STATUS_INVALID_ARGUMENT,
       "hand config does not exist: " + root_ + "/hands/no_such-hand/no_such-hand_system.yaml"},
      // The calibrator's own failure is copied into the SDK.
      {hand, useless, KX_STATUS_INTERNAL_ERROR, bone_error},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kx_calibrator* calibrator = kNotWritten;
    EXPECT_EQ(KX(kx_sdk_create_calibrator)(sdk.get(), view(c.name), view(c.bone), &calibrator), c.status);
    EXPECT_EQ(calibrator, nullptr);
    EXPECT_EQ(std::string(KX(kx_sdk_last_error)(sdk.get())).rfind(c.text, 0), 0u)
        << KX(kx_sdk_last_error)(sdk.get());
    EXPECT_STREQ(KX(kx_last_error)(), KX(kx_sdk_last_error)(sdk.get()));
  }
  EXPECT_EQ(KX(kx_sdk_create_calibrator)(nullptr, view(hand), kx_string_view{}, nullptr),
            KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "SDK and calibrator output pointer are required");

  kx_calibrator* calibrator = nullptr;
  ASSERT_EQ(KX(kx_sdk_create_calibrator)(sdk.get(), view(hand), kx_string_view{}, &calibrator), KX_STATUS_OK)
      << KX(kx_last_error)();
  const CalibratorPtr owned(calibrator, KX(kx_calibrator_destroy));
  EXPECT_STREQ(KX(kx_sdk_last_error)(sdk.get()), "");
  EXPECT_EQ(add(calibrator, "close", frame("close")), KX_STATUS_OK);
}

// Mean distance in millimetres between the fingertips of the solved hand and the user's true fingertips
// over the user's poses, when `engine` retargets the readings of the user's glove.
double engine_fingertip_error_mm(kx_engine* engine, hand::PinocchioHandKinematics& kinematics,
                                 const hand::TipMappingParameters& user) {
  hand::synthetic::SyntheticGlove glove(user);
  std::vector<double> joints(KX(kx_engine_joint_count)(engine));
  double sum = 0.0;
  std::size_t count = 0;
  double time = 0.0;
  for (const char* pose : {"open", "five_close", "mcp90", "fist", "mcp90_pip90", "pinch_first",
                           "pinch_middle", "pinch_ring", "pinch_little"}) {
    const hand::HandKinematicsState truth = kinematics.state_from_active(kinematics.pose_active(pose));
    const hand::GloveFeatureFrame reading = glove.frame_from_state(truth);
    kx_engine_input input = frame_record(reading.local_tips, KX_HAND_RIGHT);
    std::memcpy(input.root.position, reading.root.position.data(), sizeof input.root.position);
    std::memcpy(input.root.rotation, reading.root.rotation.data(), sizeof input.root.rotation);
    for (int i = 0; i < 5; ++i) {
      input.timestamp_s = time += 1.0;
      kx_engine_output output{};
      output.struct_size = sizeof output;
      output.abi_version = 2;
      output.joint_capacity = joints.size();
      output.joints = joints.data();
      EXPECT_EQ(KX(kx_engine_step)(engine, &input, &output), KX_STATUS_OK)
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

// A user whose hand is 15 % larger than the model's (mapping scale 0.87) wearing a glove whose base is
// tilted by about 20 degrees, calibrated with the basic stages through the C calibrator.
TEST_F(CalibratorTest, SyntheticUserThroughTheCalibrator) {
  hand::Config config = hand::Config::load(bundled_hand_config(), "", "right");
  config.set_boolean("joint_smoother.enabled", false);
  // The configuration the user starts from, beside the hand's pose library.
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
    for (const auto& captured : stage.frames)
      ASSERT_EQ(add(calibrator.get(), stage.stage_id, frame_record(captured, KX_HAND_RIGHT)), 0)
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
  double error_mm[2] = {0.0, 0.0};
  for (int i = 0; i < 2; ++i) {
    const std::string path = i == 0 ? base_path : calibrated_path;
    kx_engine_options options{};
    options.struct_size = sizeof options;
    options.abi_version = 2;
    options.config_path = view(path);
    kx_engine* engine = nullptr;
    ASSERT_EQ(KX(kx_engine_create)(&options, &engine), KX_STATUS_OK) << KX(kx_last_error)();
    error_mm[i] = engine_fingertip_error_mm(engine, kinematics, user);
    KX(kx_engine_destroy)(engine);
  }
  std::printf(
      "[calibrator] scale_delta=%.4f human_hand_scale=%.4f (user %.2f); mean fingertip error of the "
      "user's poses through the engine: %.2f mm uncalibrated, %.2f mm calibrated\n",
      result.scale_delta, result.human_hand_scale, user.human_hand_scale, error_mm[0], error_mm[1]);
  EXPECT_LT(error_mm[1], 0.5 * error_mm[0]);
}

}  // namespace
}  // namespace kelto::test
