// Engine creation (directly and through the SDK by hand name), the side it reports on, and its getters.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "capi/engine_support.hpp"

namespace kelto::test {
namespace {

kx_engine* const kNotWritten = reinterpret_cast<kx_engine*>(std::uintptr_t{1});

using EngineTest = BundledHandSuite;

TEST_F(EngineTest, CreateFailures) {
  const std::string config = bundled_hand_config().string();
  const std::string missing = (dir_ / "missing.yaml").string();
  const std::string up = overlay_config(dir_, "up", "hand:\n  side: up\n");
  const std::string pinky = overlay_config(dir_, "pinky", "retargeting:\n  finger_order: [thumb, pinky]\n");
  const auto options = [&](uint32_t size, uint32_t abi, const char* path) {
    kx_engine_options o = engine_options(config);
    o.struct_size = size;
    o.abi_version = abi;
    o.config_path.data = path;
    return o;
  };
  const struct {
    kx_engine_options options;
    kx_status status;
    std::string text;  // the start of the thread's text
  } cases[] = {
      {options(39, 3, config.c_str()), KX_STATUS_INVALID_ARGUMENT, "engine options struct_size is invalid"},
      {options(40, 1, config.c_str()), KX_STATUS_ABI_MISMATCH, "engine options ABI version does not match"},
      {options(40, 2, nullptr), KX_STATUS_INVALID_ARGUMENT, "config_path is required"},
      // Failures inside the library are internal errors carrying their message.
      {engine_options(up), KX_STATUS_INTERNAL_ERROR, "hand.side must be left or right"},
      {engine_options(pinky), KX_STATUS_INTERNAL_ERROR,
       "retargeting.finger_order contains unsupported finger: pinky"},
  };
  for (const auto& c : cases) {
    kx_engine* engine = kNotWritten;
    EXPECT_EQ(KX(kx_engine_create)(&c.options, &engine), c.status) << c.text;
    EXPECT_EQ(engine, nullptr);
    EXPECT_NE(std::string(KX(kx_last_error)()).find(c.text), std::string::npos) << KX(kx_last_error)();
  }
  kx_engine_options absent = engine_options(missing);
  kx_engine* engine = kNotWritten;
  EXPECT_EQ(KX(kx_engine_create)(&absent, &engine), KX_STATUS_INTERNAL_ERROR);
  EXPECT_NE(std::string(KX(kx_last_error)()).find(missing), std::string::npos) << KX(kx_last_error)();
  engine = kNotWritten;
  EXPECT_EQ(KX(kx_engine_create)(nullptr, &engine), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(engine, kNotWritten);  // left alone when the options are missing
  EXPECT_STREQ(KX(kx_last_error)(), "options and out_engine are required");
  EXPECT_EQ(KX(kx_engine_create)(&absent, nullptr), KX_STATUS_INVALID_ARGUMENT);
}

TEST_F(EngineTest, SelectedSideFollowsTheConfiguration) {
  const std::vector<std::pair<const char*, int32_t>> cases = {
      {"", KX_HAND_RIGHT},
      {"hand:\n  side: left\n", KX_HAND_LEFT},
      {"hand:\n  side: both\n", KX_HAND_RIGHT},
      {"hand:\n  default_side: left\n", KX_HAND_LEFT},
      {"hand:\n  side: right\n  default_side: left\n", KX_HAND_RIGHT}};
  for (const auto& [yaml, side] : cases) {
    const EnginePtr engine = create_engine(overlay_config(dir_, "side", yaml));
    ASSERT_NE(engine, nullptr);
    kx_skeleton_pose_output out{};  // the skeleton getter writes the side before failing (no step yet)
    out.struct_size = sizeof out;
    out.abi_version = 2;
    out.hand_side = -1;
    KX(kx_engine_get_last_skeleton_pose)(engine.get(), &out);
    EXPECT_EQ(out.hand_side, side) << yaml;
  }
}

TEST_F(EngineTest, GettersOfAFreshEngineAndOfNull) {
  const EnginePtr engine = create_engine(bundled_hand_config().string());
  ASSERT_NE(engine, nullptr);
  EXPECT_STREQ(KX(kx_last_error)(), "");
  EXPECT_STREQ(KX(kx_engine_last_error)(engine.get()), "");
  const std::vector<std::string>& names = right_->kinematics().joint_names();
  ASSERT_EQ(KX(kx_engine_joint_count)(engine.get()), names.size());
  for (std::size_t i = 0; i < names.size(); ++i)
    EXPECT_EQ(KX(kx_engine_joint_name)(engine.get(), i), names[i]);
  EXPECT_EQ(KX(kx_engine_joint_name)(engine.get(), names.size()), nullptr);
  const auto& nodes = right_->kinematics().skeleton_node_names();
  ASSERT_EQ(KX(kx_engine_skeleton_node_count)(engine.get()), nodes.size());
  EXPECT_EQ(KX(kx_engine_skeleton_node_name)(engine.get(), 0), nodes.at(0));
  EXPECT_EQ(KX(kx_engine_skeleton_node_name)(engine.get(), nodes.size()), nullptr);
  for (kx_engine* e : {engine.get(), static_cast<kx_engine*>(nullptr)}) {
    EXPECT_EQ(KX(kx_engine_physics_enabled)(e), 0);
    EXPECT_EQ(KX(kx_engine_physics_step_count)(e), 0);
    EXPECT_EQ(KX(kx_engine_physics_contact_count)(e), 0);
    EXPECT_EQ(KX(kx_engine_physics_actuator_count)(e), 0);
    EXPECT_EQ(KX(kx_engine_physics_collision_geom_count)(e), 0);
    EXPECT_EQ(KX(kx_engine_physics_model_path)(e), nullptr);
  }
  EXPECT_STREQ(KX(kx_engine_last_error)(nullptr), "engine is null");
  EXPECT_EQ(KX(kx_engine_joint_count)(nullptr), 0u);
  EXPECT_EQ(KX(kx_engine_joint_name)(nullptr, 0), nullptr);
  EXPECT_EQ(KX(kx_engine_skeleton_node_count)(nullptr), 0u);
  EXPECT_EQ(KX(kx_engine_skeleton_node_name)(nullptr, 0), nullptr);
  KX(kx_engine_destroy)(nullptr);
}

TEST_F(EngineTest, SdkCreatesEnginesByHandName) {
  const std::string root = bundled_resources().string();
  const kx_sdk_options options{sizeof(kx_sdk_options), 2, view_of(root)};
  kx_sdk* sdk = nullptr;
  ASSERT_EQ(KX(kx_sdk_create)(&options, &sdk), KX_STATUS_OK);
  const std::unique_ptr<kx_sdk, void (*)(kx_sdk*)> owner(sdk, KX(kx_sdk_destroy));
  const kx_string_view none{nullptr, 0};
  const std::string missing_bones = (dir_ / "missing_bones.yaml").string();
  const std::string other = root + "/hands/Other_hand-2/Other_hand-2_system.yaml";
  const struct {
    std::string name, bones;
    kx_status status;
    std::string text;  // the start of the SDK's text, which the thread's equals
  } cases[] = {
      {"", "", KX_STATUS_INVALID_ARGUMENT, "hand_name is invalid"},
      {".", "", KX_STATUS_INVALID_ARGUMENT, "hand_name is invalid"},
      {"..", "", KX_STATUS_INVALID_ARGUMENT, "hand_name is invalid"},
      {"a/b", "", KX_STATUS_INVALID_ARGUMENT, "hand_name is invalid"},
      {"a b", "", KX_STATUS_INVALID_ARGUMENT, "hand_name is invalid"},
      {"hand\xc3\xa9", "", KX_STATUS_INVALID_ARGUMENT, "hand_name is invalid"},
      {"Other_hand-2", "", KX_STATUS_INVALID_ARGUMENT, "hand config does not exist: " + other},
      {"dynamic_openxr_hand", missing_bones, KX_STATUS_INTERNAL_ERROR, ""},  // the engine's own failure
  };
  for (const auto& c : cases) {
    kx_engine* engine = kNotWritten;
    EXPECT_EQ(KX(kx_sdk_create_engine)(sdk, view_of(c.name), view_of(c.bones), &engine), c.status) << c.name;
    EXPECT_EQ(engine, nullptr);
    EXPECT_STRNE(KX(kx_sdk_last_error)(sdk), "");
    EXPECT_EQ(std::string(KX(kx_sdk_last_error)(sdk)).rfind(c.text, 0), 0u) << KX(kx_sdk_last_error)(sdk);
    EXPECT_STREQ(KX(kx_last_error)(), KX(kx_sdk_last_error)(sdk));
  }
  kx_engine* engine = nullptr;
  ASSERT_EQ(
      KX(kx_sdk_create_engine)(sdk, view_of("dynamic_openxr_hand"), kx_string_view{nullptr, 7}, &engine),
      KX_STATUS_OK)
      << KX(kx_last_error)();
  EXPECT_STREQ(KX(kx_sdk_last_error)(sdk), "");
  EXPECT_GT(KX(kx_engine_joint_count)(engine), 0u);
  KX(kx_engine_destroy)(engine);
  EXPECT_EQ(KX(kx_sdk_create_engine)(sdk, view_of("dynamic_openxr_hand"), none, nullptr),
            KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_sdk_last_error)(sdk), "SDK and engine output pointer are required");
  EXPECT_EQ(KX(kx_sdk_create_engine)(nullptr, view_of("x"), none, &engine), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "SDK and engine output pointer are required");
}

}  // namespace
}  // namespace kelto::test
