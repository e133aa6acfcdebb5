// Engines on the bundled OpenXR-style hand for the C interface tests: configuration overlays, glove frame
// records of the synthetic glove for named poses, and owners for handles.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
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

inline kx_engine_options engine_options(const std::string& config_path) {
  kx_engine_options options{};
  options.struct_size = sizeof options;
  options.abi_version = 2;
  options.config_path = view_of(config_path);
  return options;
}

// Creates an engine or fails the test with the library's text.
inline EnginePtr create_engine(const std::string& config_path) {
  const kx_engine_options options = engine_options(config_path);
  kx_engine* engine = nullptr;
  EXPECT_EQ(KX(kx_engine_create)(&options, &engine), KX_STATUS_OK) << KX(kx_last_error)();
  return EnginePtr(engine);
}

// A configuration over the bundled one: `yaml` holds the overriding keys.
inline std::string overlay_config(const TempDir& dir, const std::string& name, const std::string& yaml) {
  return write_file(dir / (name + ".yaml"), "extends: \"" + bundled_hand_config().string() + "\"\n" + yaml)
      .string();
}

// The glove of one side: the frames a glove on the bundled hand reports for joint vectors and poses.
class BundledGlove {
 public:
  explicit BundledGlove(const std::string& side)
      : side_(side == "left" ? KX_HAND_LEFT : KX_HAND_RIGHT),
        config_(hand::Config::load(bundled_hand_config(), "", side)),
        kinematics_(config_, side),
        glove_(hand::TipMappingParameters::from_config(config_, side), options(side)) {}

  kx_engine_input pose(const std::string& name, double t) { return active(kinematics_.pose_active(name), t); }
  kx_engine_input active(const std::vector<double>& q, double t) {
    return hand::synthetic::engine_input(glove_.frame_from_active(kinematics_, q, t), side_, t,
                                         "synthetic glove");
  }
  hand::PinocchioHandKinematics& kinematics() { return kinematics_; }

 private:
  static hand::synthetic::SyntheticGloveOptions options(const std::string& side) {
    hand::synthetic::SyntheticGloveOptions options;
    options.side = side;
    return options;
  }
  kx_hand_side side_;
  hand::Config config_;
  hand::PinocchioHandKinematics kinematics_;
  hand::synthetic::SyntheticGlove glove_;
};

// Base of the engine suites: a private library home, the library's resource root on the bundled tree, and
// the gloves of both sides, made once per suite.
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
  void SetUp() override {
    const std::string root = bundled_resources().string();
    kx_sdk_options options{sizeof(kx_sdk_options), 2, view_of(root)};
    kx_sdk* sdk = nullptr;
    ASSERT_EQ(KX(kx_sdk_create)(&options, &sdk), KX_STATUS_OK) << KX(kx_last_error)();
    KX(kx_sdk_destroy)(sdk);
  }

  static inline std::unique_ptr<TempDir> home_;
  static inline std::unique_ptr<ScopedEnv> home_env_;
  static inline std::unique_ptr<BundledGlove> right_;
  static inline std::unique_ptr<BundledGlove> left_;
  TempDir dir_;
};

struct StepResult {
  kx_status status;
  kx_engine_output output;
  std::vector<double> joints;
};

// Runs one step into a buffer of the engine's joint count.
inline StepResult step(kx_engine* engine, const kx_engine_input& input) {
  StepResult result{KX_STATUS_OK, {}, std::vector<double>(KX(kx_engine_joint_count)(engine))};
  result.output.struct_size = sizeof result.output;
  result.output.abi_version = 2;
  result.output.joint_capacity = result.joints.size();
  result.output.joints = result.joints.data();
  result.status = KX(kx_engine_step)(engine, &input, &result.output);
  return result;
}

}  // namespace kelto::test
