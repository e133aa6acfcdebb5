// Engines on the bundled OpenXR-style hand for the C interface tests: configuration overlays, glove frame
// records made by the synthetic glove from named poses, and small owners for handles.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capi/shared_library.hpp"
#include "config/config.hpp"
#include "kelto_hand.h"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "retargeting/tip_mapping_parameters.hpp"
#include "support/test_files.hpp"
#include "synthetic_glove/engine_input.hpp"
#include "synthetic_glove/synthetic_glove.hpp"

namespace kelto::test {

inline std::filesystem::path bundled_resources() {
  return source_dir() / "resources";
}

inline std::filesystem::path bundled_hand_config() {
  return bundled_resources() / "hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml";
}

inline kx_string_view view_of(const std::string& text) {
  return kx_string_view{text.data(), text.size()};
}

struct EngineDeleter {
  void operator()(kx_engine* engine) const { KX(kx_engine_destroy)(engine); }
};
using EnginePtr = std::unique_ptr<kx_engine, EngineDeleter>;

// The library looks hand resources up under its process-wide root; point it at the bundled tree.
inline void use_bundled_resource_root() {
  const std::string root = bundled_resources().string();
  kx_sdk_options options{};
  options.struct_size = sizeof options;
  options.abi_version = 2;
  options.resource_root = view_of(root);
  kx_sdk* sdk = nullptr;
  ASSERT_EQ(KX(kx_sdk_create)(&options, &sdk), KX_STATUS_OK) << KX(kx_last_error)();
  KX(kx_sdk_destroy)(sdk);
}

inline kx_engine_options engine_options(const std::string& config_path, const std::string& bone_config = "") {
  kx_engine_options options{};
  options.struct_size = sizeof options;
  options.abi_version = 2;
  options.config_path = view_of(config_path);
  options.bone_config_path = view_of(bone_config);
  return options;
}

// Creates an engine or fails the test with the library's text.
inline EnginePtr create_engine(const std::string& config_path) {
  const kx_engine_options options = engine_options(config_path);
  kx_engine* engine = nullptr;
  const kx_status status = KX(kx_engine_create)(&options, &engine);
  EXPECT_EQ(status, KX_STATUS_OK) << KX(kx_last_error)();
  return EnginePtr(engine);
}

// A configuration over the bundled one: `yaml` holds the overriding keys.
inline std::string overlay_config(const TempDir& dir, const std::string& name, const std::string& yaml) {
  const std::string text = "extends: \"" + bundled_hand_config().string() + "\"\n" + yaml;
  return write_file(dir / (name + ".yaml"), text).string();
}

// A glove frame record with every local and world fingertip of the frame.
inline kx_engine_input input_record(const hand::GloveFeatureFrame& frame, kx_hand_side side,
                                    double timestamp_s) {
  return hand::synthetic::engine_input(frame, side, timestamp_s, "synthetic glove");
}

// The glove of one side: the frames a glove on the bundled hand reports for the pose library's poses.
class BundledGlove {
 public:
  explicit BundledGlove(const std::string& side)
      : side_(side),
        kinematics_(hand::Config::load(bundled_hand_config(), "", side), side),
        glove_(hand::TipMappingParameters::from_config(hand::Config::load(bundled_hand_config(), "", side),
                                                       side),
               [&] {
                 hand::synthetic::SyntheticGloveOptions options;
                 options.side = side;
                 return options;
               }()) {}

  kx_engine_input pose(const std::string& pose_name, double timestamp_s) {
    return active(kinematics_.pose_active(pose_name), timestamp_s);
  }
  kx_engine_input active(const std::vector<double>& q_active, double timestamp_s) {
    const hand::GloveFeatureFrame frame = glove_.frame_from_active(kinematics_, q_active, timestamp_s);
    return input_record(frame, side_ == "left" ? KX_HAND_LEFT : KX_HAND_RIGHT, timestamp_s);
  }
  hand::PinocchioHandKinematics& kinematics() { return kinematics_; }

 private:
  std::string side_;
  hand::PinocchioHandKinematics kinematics_;
  hand::synthetic::SyntheticGlove glove_;
};

// Base of the engine suites: a private library home and the gloves of both sides, made once per suite.
class BundledHandSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = std::make_unique<TempDir>();
    home_env_ = std::make_unique<ScopedEnv>("KELTO_HOME", home_->path().string());
    right_ = std::make_unique<BundledGlove>("right");
    left_ = std::make_unique<BundledGlove>("left");
  }
  static void TearDownTestSuite() {
    left_.reset();
    right_.reset();
    home_env_.reset();
    home_.reset();
  }

  static inline std::unique_ptr<TempDir> home_;
  static inline std::unique_ptr<ScopedEnv> home_env_;
  static inline std::unique_ptr<BundledGlove> right_;
  static inline std::unique_ptr<BundledGlove> left_;
};

// Runs one step into a buffer of the engine's joint count.
struct StepResult {
  kx_status status;
  kx_engine_output output;
  std::vector<double> joints;
};

inline StepResult step(kx_engine* engine, const kx_engine_input& input) {
  StepResult result;
  result.joints.assign(KX(kx_engine_joint_count)(engine), 0.0);
  std::memset(&result.output, 0, sizeof result.output);
  result.output.struct_size = sizeof result.output;
  result.output.abi_version = 2;
  result.output.joint_capacity = result.joints.size();
  result.output.joints = result.joints.data();
  result.status = KX(kx_engine_step)(engine, &input, &result.output);
  return result;
}

}  // namespace kelto::test
