// Engine creation, the selected side, the engine step and the getters of its last outputs, on the
// bundled OpenXR-style hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capi/engine_support.hpp"

namespace kelto::test {
namespace {

kx_engine* const kNotWritten = reinterpret_cast<kx_engine*>(std::uintptr_t{0x1});

class EngineTest : public BundledHandSuite {
 protected:
  void SetUp() override { use_bundled_resource_root(); }

  // The side an engine reports on, read through the skeleton getter (which writes it first).
  static int32_t reported_side(kx_engine* engine) {
    kx_skeleton_pose_output out{};
    out.struct_size = sizeof out;
    out.abi_version = 2;
    out.hand_side = -1;
    KX(kx_engine_get_last_skeleton_pose)(engine, &out);
    return out.hand_side;
  }

  TempDir dir_;
};

// ---------------------------------------------------------------- creation

TEST_F(EngineTest, CreateRejectsBadOptions) {
  const std::string config = bundled_hand_config().string();
  struct Case {
    const char* name;
    kx_engine_options options;
    kx_status status;
    const char* text;
  };
  std::vector<Case> cases;
  kx_engine_options o = engine_options(config);
  o.struct_size = 39;
  o.abi_version = 3;
  cases.push_back(
      {"size before version", o, KX_STATUS_INVALID_ARGUMENT, "engine options struct_size is invalid"});
  o = engine_options(config);
  o.abi_version = 1;
  cases.push_back({"version", o, KX_STATUS_ABI_MISMATCH, "engine options ABI version does not match"});
  o = engine_options(config);
  o.config_path = kx_string_view{nullptr, config.size()};
  cases.push_back({"null config path data", o, KX_STATUS_INVALID_ARGUMENT, "config_path is required"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kx_engine* engine = kNotWritten;
    EXPECT_EQ(KX(kx_engine_create)(&c.options, &engine), c.status);
    EXPECT_EQ(engine, nullptr);
    EXPECT_STREQ(KX(kx_last_error)(), c.text);
  }

  kx_engine* engine = kNotWritten;
  EXPECT_EQ(KX(kx_engine_create)(nullptr, &engine), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(engine, kNotWritten);  // the output is left alone when the options are missing
  EXPECT_STREQ(KX(kx_last_error)(), "options and out_engine are required");
  const kx_engine_options options = engine_options(config);
  EXPECT_EQ(KX(kx_engine_create)(&options, nullptr), KX_STATUS_INVALID_ARGUMENT);
}

TEST_F(EngineTest, CreateFailuresInsideTheLibraryAreInternalErrors) {
  struct Case {
    const char* name;
    std::string yaml;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"unknown side word", "hand:\n  side: up\n", "hand.side must be left or right"},
      {"unknown finger", "retargeting:\n  finger_order: [thumb, pinky]\n",
       "retargeting.finger_order contains unsupported finger: pinky"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string config = overlay_config(dir_, "bad", c.yaml);
    const kx_engine_options options = engine_options(config);
    kx_engine* engine = kNotWritten;
    EXPECT_EQ(KX(kx_engine_create)(&options, &engine), KX_STATUS_INTERNAL_ERROR);
    EXPECT_EQ(engine, nullptr);
    EXPECT_NE(std::string(KX(kx_last_error)()).find(c.text), std::string::npos) << KX(kx_last_error)();
  }

  const std::string missing = (dir_ / "missing.yaml").string();
  const kx_engine_options options = engine_options(missing);
  kx_engine* engine = kNotWritten;
  EXPECT_EQ(KX(kx_engine_create)(&options, &engine), KX_STATUS_INTERNAL_ERROR);
  EXPECT_EQ(engine, nullptr);
  EXPECT_NE(std::string(KX(kx_last_error)()).find(missing), std::string::npos) << KX(kx_last_error)();
}

TEST_F(EngineTest, SelectedSideFollowsTheConfiguration) {
  const struct {
    const char* yaml;
    int32_t side;
  } cases[] = {
      {"", KX_HAND_RIGHT},
      {"hand:\n  side: left\n", KX_HAND_LEFT},
      {"hand:\n  side: both\n", KX_HAND_RIGHT},
      {"hand:\n  default_side: left\n", KX_HAND_LEFT},
      {"hand:\n  side: right\n  default_side: left\n", KX_HAND_RIGHT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.yaml);
    const EnginePtr engine = create_engine(overlay_config(dir_, "side", c.yaml));
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(reported_side(engine.get()), c.side);
  }
}

TEST_F(EngineTest, GettersOfAFreshEngine) {
  const EnginePtr engine = create_engine(bundled_hand_config().string());
  ASSERT_NE(engine, nullptr);
  EXPECT_STREQ(KX(kx_last_error)(), "");
  EXPECT_STREQ(KX(kx_engine_last_error)(engine.get()), "");

  const std::vector<std::string>& names = right_->kinematics().joint_names();
  ASSERT_EQ(KX(kx_engine_joint_count)(engine.get()), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_STREQ(KX(kx_engine_joint_name)(engine.get(), i), names[i].c_str());
  }
  EXPECT_EQ(KX(kx_engine_joint_name)(engine.get(), names.size()), nullptr);

  const auto& nodes = right_->kinematics().skeleton_node_names();
  ASSERT_EQ(KX(kx_engine_skeleton_node_count)(engine.get()), nodes.size());
  ASSERT_FALSE(nodes.empty());
  EXPECT_STREQ(KX(kx_engine_skeleton_node_name)(engine.get(), 0), nodes[0].c_str());
  EXPECT_EQ(KX(kx_engine_skeleton_node_name)(engine.get(), nodes.size()), nullptr);

  EXPECT_EQ(KX(kx_engine_physics_enabled)(engine.get()), 0);
  EXPECT_EQ(KX(kx_engine_physics_step_count)(engine.get()), 0);
  EXPECT_EQ(KX(kx_engine_physics_contact_count)(engine.get()), 0);
  EXPECT_EQ(KX(kx_engine_physics_actuator_count)(engine.get()), 0);
  EXPECT_EQ(KX(kx_engine_physics_collision_geom_count)(engine.get()), 0);
  EXPECT_EQ(KX(kx_engine_physics_model_path)(engine.get()), nullptr);
}

TEST(EngineHandle, NullEngine) {
  EXPECT_STREQ(KX(kx_engine_last_error)(nullptr), "engine is null");
  EXPECT_EQ(KX(kx_engine_joint_count)(nullptr), 0u);
  EXPECT_EQ(KX(kx_engine_joint_name)(nullptr, 0), nullptr);
  EXPECT_EQ(KX(kx_engine_skeleton_node_count)(nullptr), 0u);
  EXPECT_EQ(KX(kx_engine_skeleton_node_name)(nullptr, 0), nullptr);
  EXPECT_EQ(KX(kx_engine_physics_enabled)(nullptr), 0);
  EXPECT_EQ(KX(kx_engine_physics_step_count)(nullptr), 0);
  EXPECT_EQ(KX(kx_engine_physics_model_path)(nullptr), nullptr);
  KX(kx_engine_destroy)(nullptr);

  kx_engine_input input{};
  kx_engine_output output{};
  EXPECT_EQ(KX(kx_engine_step)(nullptr, &input, &output), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "engine, input, and output are required");
  kx_target_output target{};
  EXPECT_EQ(KX(kx_engine_get_last_target)(nullptr, &target), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "engine and target output are required");
  kx_skeleton_pose_output skeleton{};
  EXPECT_EQ(KX(kx_engine_get_last_skeleton_pose)(nullptr, &skeleton), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "engine and skeleton pose output are required");
}

// ---------------------------------------------------------------- creation through the SDK

TEST_F(EngineTest, SdkCreatesEnginesByHandName) {
  const std::string root = bundled_resources().string();
  kx_sdk_options options{};
  options.struct_size = sizeof options;
  options.abi_version = 2;
  options.resource_root = view_of(root);
  kx_sdk* sdk = nullptr;
  ASSERT_EQ(KX(kx_sdk_create)(&options, &sdk), KX_STATUS_OK);

  const char* invalid_names[] = {"", ".", "..", "a/b", "a b", "hand\xc3\xa9", "../dynamic_openxr_hand"};
  for (const char* name : invalid_names) {
    SCOPED_TRACE(name);
    kx_engine* engine = kNotWritten;
    EXPECT_EQ(KX(kx_sdk_create_engine)(sdk, view_of(name), kx_string_view{nullptr, 0}, &engine),
              KX_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(engine, nullptr);
    EXPECT_STREQ(KX(kx_sdk_last_error)(sdk), "hand_name is invalid");
    EXPECT_STREQ(KX(kx_last_error)(), "hand_name is invalid");
  }

  kx_engine* engine = kNotWritten;
  EXPECT_EQ(KX(kx_sdk_create_engine)(sdk, view_of("Other_hand-2"), kx_string_view{nullptr, 0}, &engine),
            KX_STATUS_INVALID_ARGUMENT);
  const std::string expected_path = root + "/hands/Other_hand-2/Other_hand-2_system.yaml";
  EXPECT_EQ(KX(kx_sdk_last_error)(sdk), "hand config does not exist: " + expected_path);

  // A failure inside engine creation reaches the SDK's text as a copy of the thread's.
  const std::string missing_bone = (dir_ / "missing_bones.yaml").string();
  EXPECT_EQ(KX(kx_sdk_create_engine)(sdk, view_of("dynamic_openxr_hand"), view_of(missing_bone), &engine),
            KX_STATUS_INTERNAL_ERROR);
  EXPECT_EQ(engine, nullptr);
  EXPECT_STRNE(KX(kx_sdk_last_error)(sdk), "");
  EXPECT_STREQ(KX(kx_sdk_last_error)(sdk), KX(kx_last_error)());

  ASSERT_EQ(
      KX(kx_sdk_create_engine)(sdk, view_of("dynamic_openxr_hand"), kx_string_view{nullptr, 7}, &engine),
      KX_STATUS_OK)
      << KX(kx_last_error)();
  EXPECT_STREQ(KX(kx_sdk_last_error)(sdk), "");
  EXPECT_GT(KX(kx_engine_joint_count)(engine), 0u);
  KX(kx_engine_destroy)(engine);

  EXPECT_EQ(
      KX(kx_sdk_create_engine)(sdk, view_of("dynamic_openxr_hand"), kx_string_view{nullptr, 0}, nullptr),
      KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_sdk_last_error)(sdk), "SDK and engine output pointer are required");
  EXPECT_EQ(
      KX(kx_sdk_create_engine)(nullptr, view_of("dynamic_openxr_hand"), kx_string_view{nullptr, 0}, &engine),
      KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "SDK and engine output pointer are required");
  KX(kx_sdk_destroy)(sdk);
}

}  // namespace
}  // namespace kelto::test
