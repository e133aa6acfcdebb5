// The C interface suites' common ground: the library's exports, the bundled hand, owners for handles, glove
// frame records of the synthetic glove, and a fixture with a private library home.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "kelto_hand.h"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "retargeting/tip_mapping_parameters.hpp"
#include "support/test_files.hpp"
#include "synthetic_glove/engine_input.hpp"
#include "synthetic_glove/synthetic_glove.hpp"

namespace kelto::test {

// The library is tested the way callers meet it: through the exported names of the built shared library,
// loaded at run time. KX(kx_name) gives the library's function with the header's signature.
template <typename Function>
Function* exported_function(const char* name) {
  static void* const handle = ::dlopen(KELTO_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  void* symbol = handle != nullptr ? ::dlsym(handle, name) : nullptr;
  if (symbol == nullptr)
    throw std::runtime_error(std::string("no export ") + name + " in " + KELTO_SHARED_LIBRARY);
  return reinterpret_cast<Function*>(symbol);
}
#define KX(name) (::kelto::test::exported_function<decltype(name)>(#name))

inline const std::string kResources = (source_dir() / "resources").string();
inline const std::string kHandConfig =
    kResources + "/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml";

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A handle value that a failing create call must overwrite (with null).
template <typename Handle>
Handle* not_written() {
  return reinterpret_cast<Handle*>(std::uintptr_t{1});
}

inline kx_string_view view_of(const std::string& text) {
  return kx_string_view{text.data(), text.size()};
}

template <typename Handle>
using Owned = std::unique_ptr<Handle, void (*)(Handle*)>;

inline Owned<kx_engine> create_engine(const std::string& config_path) {
  const kx_engine_options options{sizeof(kx_engine_options), 2, view_of(config_path), {}};
  kx_engine* engine = nullptr;
  EXPECT_EQ(KX(kx_engine_create)(&options, &engine), KX_STATUS_OK) << KX(kx_last_error)();
  return {engine, KX(kx_engine_destroy)};
}

// A configuration over the bundled one: `yaml` holds the overriding keys.
inline std::string overlay_config(const TempDir& dir, const std::string& name, const std::string& yaml) {
  return write_file(dir / (name + ".yaml"), "extends: \"" + kHandConfig + "\"\n" + yaml).string();
}

// A glove on the bundled hand of one side, following the hand's own mapping or a user's.
class BundledGlove {
 public:
  explicit BundledGlove(const std::string& side, const hand::TipMappingParameters* user = nullptr,
                        double noise_m = 0.0)
      : side_(side == "left" ? KX_HAND_LEFT : KX_HAND_RIGHT),
        config_(hand::Config::load(kHandConfig, "", side)),
        kinematics_(config_, side),
        glove_(user != nullptr ? *user : hand::TipMappingParameters::from_config(config_, side),
               options(side, noise_m)) {}

  kx_engine_input pose(const std::string& name, double t = 0.0) {
    return active(kinematics_.pose_active(name), t);
  }
  kx_engine_input active(const std::vector<double>& q, double t) {
    return hand::synthetic::engine_input(glove_.frame_from_active(kinematics_, q, t), side_, t,
                                         "synthetic glove");
  }
  hand::PinocchioHandKinematics& kinematics() { return kinematics_; }

 private:
  static hand::synthetic::SyntheticGloveOptions options(const std::string& side, double noise_m) {
    hand::synthetic::SyntheticGloveOptions options;
    options.side = side;
    options.position_noise_m = noise_m;
    options.seed = 11;
    return options;
  }
  kx_hand_side side_;
  hand::Config config_;
  hand::PinocchioHandKinematics kinematics_;
  hand::synthetic::SyntheticGlove glove_;
};

// A private library home (generated files land there) and the gloves of both sides, made once per suite;
// each test starts with the library's resource root on the bundled tree.
class CapiSuite : public ::testing::Test {
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
    const kx_sdk_options options{sizeof(kx_sdk_options), 2, view_of(kResources)};
    kx_sdk* sdk = nullptr;
    ASSERT_EQ(KX(kx_sdk_create)(&options, &sdk), KX_STATUS_OK) << KX(kx_last_error)();
    sdk_ = Owned<kx_sdk>(sdk, KX(kx_sdk_destroy));
  }

  static inline std::unique_ptr<TempDir> home_;
  static inline std::unique_ptr<ScopedEnv> home_env_;
  static inline std::unique_ptr<BundledGlove> right_;
  static inline std::unique_ptr<BundledGlove> left_;
  Owned<kx_sdk> sdk_{nullptr, KX(kx_sdk_destroy)};
  TempDir dir_;
};

// The largest element-wise difference between two vectors of the same size.
inline double max_abs_difference(const std::vector<double>& a, const std::vector<double>& b) {
  double worst = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
  return worst;
}

// Worst wrist-frame fingertip distance (m) between the hand at a joint output and at the active vector `q`.
inline double worst_tip_error(hand::PinocchioHandKinematics& model, const std::vector<double>& joints,
                              const std::vector<double>& q) {
  const auto got = model.state_from_active(model.active_from_full(joints)).tip_positions_wrist;
  double worst = 0.0;
  for (const auto& [finger, p] : model.state_from_active(q).tip_positions_wrist) {
    const auto& g = got.at(finger);
    worst = std::max(worst, std::hypot(g[0] - p[0], g[1] - p[1], g[2] - p[2]));
  }
  return worst;
}

// The joints of one step into a buffer of the engine's joint count; without `status` the step must succeed.
inline std::vector<double> step(kx_engine* engine, const kx_engine_input& input,
                                kx_status* status = nullptr) {
  std::vector<double> joints(KX(kx_engine_joint_count)(engine));
  kx_engine_output output{sizeof(kx_engine_output), 2, 0.0, 0, 0, joints.size(), joints.data()};
  const kx_status result = KX(kx_engine_step)(engine, &input, &output);
  if (status != nullptr) *status = result;
  EXPECT_TRUE(status != nullptr || result == KX_STATUS_OK) << KX(kx_engine_last_error)(engine);
  return joints;
}

}  // namespace kelto::test
