// What every caller of the shared library meets first: versions, status texts, the two manifests, the
// per-thread error text, the exported symbols, and creating SDKs and engines (with their texts).
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdio>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capi/engine_support.hpp"

#if defined(KELTO_SANITIZE)
// These suites load the shared library at run time, so its thread-local error texts live in dynamic TLS.
// GCC 12's leak checker walks those blocks wrongly on current glibc and crashes at exit ("Tracer caught
// signal 11"); it leaves them alone when it does not track __tls_get_addr.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
  return "intercept_tls_get_addr=0";
}
#endif

namespace kelto::test {
namespace {

TEST(Interface, VersionsAndStatusTexts) {
  EXPECT_EQ(KX(kx_abi_version_major)(), 2);
  EXPECT_EQ(KX(kx_abi_version_minor)(), 0);
  EXPECT_STREQ(KX(kx_library_version)(), "0.2.1");
  EXPECT_EQ(KX(kx_native_retargeting_available)(), 1);
  EXPECT_EQ(KX(kx_native_calibration_available)(), 1);
  const std::vector<std::pair<int, const char*>> texts = {{0, "ok"},
                                                          {1, "invalid argument"},
                                                          {2, "ABI version mismatch"},
                                                          {3, "output buffer too small"},
                                                          {4, "not implemented"},
                                                          {5, "internal error"},
                                                          {6, "unknown status"},
                                                          {INT_MIN, "unknown status"}};
  for (const auto& [status, text] : texts)
    EXPECT_STREQ(KX(kx_status_message)(static_cast<kx_status>(status)), text) << status;
}

TEST(Interface, ManifestsByteForByte) {
  const std::string retargeting =
      R"({"schema_version":"1","id":"kelto.hand.glove_to_hand.retargeting","version":"0.2.1",)"
      R"("kind":"retargeting","supported_sources":[{"kind":"glove","side":"right"},)"
      R"({"kind":"glove","side":"left"}],"supported_targets":[{"kind":"hand","name":"dynamic_openxr_hand",)"
      R"("side":"right"},{"kind":"hand","name":"dynamic_openxr_hand","side":"left"}],"requires_calibration":)"
      R"({"mode":"required","algorithm_id":"kelto.hand.glove_to_hand.calibration",)"
      R"("minimum_calibration_version":"0.2.1"}})";
  std::string calibration =
      R"({"schema_version":"1","id":"kelto.hand.glove_to_hand.calibration","version":"0.2.1",)"
      R"("kind":"calibration","calibration_workflow":{"stages":[)";
  const std::vector<std::pair<const char*, const char*>> stages = {
      {"close", "五指自然并拢并保持。"},
      {"open", "五指自然张开并保持。"},
      {"mcp90", "四指根关节弯曲约 90 度并保持。"},
      {"pinch_first", "拇指与食指指腹轻触并保持。"},
      {"pinch_middle", "拇指与中指指腹轻触并保持。"},
      {"pinch_ring", "拇指与无名指指腹轻触并保持。"},
      {"pinch_little", "拇指与小指指腹轻触并保持。"}};
  for (std::size_t i = 0; i < stages.size(); ++i) {
    calibration += std::string(i > 0 ? "," : "") + R"({"id":")" + stages[i].first + R"(","prompt":")" +
                   stages[i].second + R"(","sample_count":30)" + (i > 2 ? R"(,"optional":true})" : "}");
  }
  calibration += "]}}";
  EXPECT_EQ(KX(kx_retargeting_manifest_json)(), retargeting);
  EXPECT_EQ(KX(kx_calibration_manifest_json)(), calibration);
  EXPECT_EQ(retargeting.size(), 466u);
  EXPECT_EQ(calibration.size(), 806u);
}

// A failing call sets only the calling thread's text; a fresh thread starts with an empty one.
TEST(Interface, LastErrorIsHeldPerThread) {
  ASSERT_EQ(KX(kx_sdk_create)(nullptr, nullptr), KX_STATUS_INVALID_ARGUMENT);
  std::string fresh = "not read", own;
  std::thread([&] {
    fresh = KX(kx_last_error)();
    kx_sdk* sdk = nullptr;
    KX(kx_sdk_create)(nullptr, &sdk);
    own = KX(kx_last_error)();
  }).join();
  EXPECT_EQ(fresh, "");
  EXPECT_EQ(own, "SDK options are invalid");
  EXPECT_STREQ(KX(kx_last_error)(), "SDK output pointer is required");
}

// `nm -D` of the shared library: exactly the functions the public header declares, and nothing else (no
// weak instantiations of the standard library either).
TEST(Interface, ExportsExactlyTheHeaderFunctions) {
  const std::string header = read_file(source_dir() / "include/kelto_hand.h");
  const std::regex declared(R"(\b(kx_[a-z0-9_]+)\()");
  std::set<std::string> functions, exported;
  for (auto it = std::sregex_iterator(header.begin(), header.end(), declared); it != std::sregex_iterator();
       ++it)
    functions.insert((*it)[1]);
  ASSERT_EQ(functions.size(), 38u);
  FILE* pipe = ::popen((std::string("nm -D --defined-only '") + KELTO_SHARED_LIBRARY + "'").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  ASSERT_EQ(::pclose(pipe), 0);
  std::istringstream lines(output);
  const std::set<std::string> linker_defined = {"_init", "_fini", "_edata", "_end", "__bss_start"};
  for (std::string address, type, name; lines >> address >> type >> name;) {
    name = name.substr(0, name.find('@'));
    if (linker_defined.count(name) != 0) continue;
    EXPECT_EQ(type, "T") << name;
    exported.insert(name);
  }
  EXPECT_EQ(exported, functions);
}

TEST(Interface, SdkCreateChecksItsOptionsInOrder) {
  TempDir dir;
  const std::string root = dir.path().string();
  const std::string file = write_file(dir / "file.yaml", "a: 1\n").string();
  const auto options = [](const std::string& path, uint32_t size = 24, uint32_t abi = 2) {
    return kx_sdk_options{size, abi, view_of(path)};
  };
  const struct {
    kx_sdk_options options;
    kx_status status;
    std::string text;
  } cases[] = {
      {options(root, 23, 3), KX_STATUS_INVALID_ARGUMENT, "SDK options are invalid"},
      {options(root, 24, 3), KX_STATUS_ABI_MISMATCH, "SDK ABI version does not match"},
      {{24, 2, {nullptr, 12}}, KX_STATUS_INVALID_ARGUMENT, "SDK resource_root is required"},
      {{24, 2, {root.data(), 0}}, KX_STATUS_INVALID_ARGUMENT, "SDK resource_root is required"},
      {options(file), KX_STATUS_INVALID_ARGUMENT, "SDK resource_root is not a directory: " + file},
  };
  for (const auto& c : cases) {
    kx_sdk* sdk = not_written<kx_sdk>();
    EXPECT_EQ(KX(kx_sdk_create)(&c.options, &sdk), c.status) << c.text;
    EXPECT_EQ(sdk, nullptr);
    EXPECT_EQ(KX(kx_last_error)(), c.text);
  }
  EXPECT_STREQ(KX(kx_sdk_last_error)(nullptr), "SDK is null");
  KX(kx_sdk_destroy)(nullptr);

  // A failing file system query is status 5 with its message (here a symbolic link to itself).
  std::filesystem::create_symlink(dir / "loop", dir / "loop");
  const std::string loop = (dir / "loop").string();
  kx_sdk_options looping = options(loop);
  kx_sdk* sdk = nullptr;
  EXPECT_EQ(KX(kx_sdk_create)(&looping, &sdk), KX_STATUS_INTERNAL_ERROR);
  EXPECT_NE(std::string(KX(kx_last_error)()).find(loop), std::string::npos) << KX(kx_last_error)();

  // The view covers exactly the path (the bytes after it are not read); larger records are accepted;
  // success clears the thread's text.
  const std::string padded = root + "/junk";
  kx_sdk_options good = options(padded, 40);
  good.resource_root.size = root.size();
  ASSERT_EQ(KX(kx_sdk_create)(&good, &sdk), KX_STATUS_OK) << KX(kx_last_error)();
  EXPECT_STREQ(KX(kx_last_error)(), "");
  EXPECT_STREQ(KX(kx_sdk_last_error)(sdk), "");
  KX(kx_sdk_destroy)(sdk);
}

using EngineCreate = CapiSuite;

TEST_F(EngineCreate, FailureTexts) {
  const std::string pinky = overlay_config(dir_, "pinky", "retargeting:\n  finger_order: [thumb, pinky]\n");
  const std::string missing = (dir_ / "missing.yaml").string();
  const auto options = [&](uint32_t size, uint32_t abi, const std::string& path) {
    return kx_engine_options{size, abi, {path.empty() ? nullptr : path.data(), path.size()}, {}};
  };
  struct Case {
    kx_engine_options options;
    kx_status status;
    std::string text;  // the start of the thread's text
  };
  std::vector<Case> cases = {
      {options(39, 3, kHandConfig), KX_STATUS_INVALID_ARGUMENT, "engine options struct_size is invalid"},
      {options(40, 1, kHandConfig), KX_STATUS_ABI_MISMATCH, "engine options ABI version does not match"},
      {options(40, 2, ""), KX_STATUS_INVALID_ARGUMENT, "config_path is required"},
      // Failures inside the library are internal errors carrying their message.
      {options(40, 2, pinky), KX_STATUS_INTERNAL_ERROR,
       "retargeting.finger_order contains unsupported finger: pinky"},
      {options(40, 2, missing), KX_STATUS_INTERNAL_ERROR, ""},
  };
  // A NaN would pass the clamps of these settings, so it is refused where each is read.
  const std::vector<std::array<std::string, 3>> nan_settings = {
      {"joint_smoother", "", "alpha"},
      {"solver", "optimizer", "gn_damping"},
      {"solver", "optimizer", "gn_damping_growth"},
      {"solver", "optimizer", "gn_damping_shrink"},
      {"solver", "coarse_to_fine", "damping"},
      {"solver", "coarse_to_fine", "max_step_rad"},
      {"solver", "coarse_to_fine", "orientation_multiplier"},
      {"solver", "weights", "pinch_thumb_anchor_ratio"},
  };
  std::vector<std::string> nan_configs;
  nan_configs.reserve(nan_settings.size());  // the options view these paths
  for (const auto& [section, group, leaf] : nan_settings) {
    const std::string yaml =
        section + ":\n" + (group.empty() ? "" : "  " + group + ":\n  ") + "  " + leaf + ": .nan\n";
    nan_configs.push_back(overlay_config(dir_, "nan_" + std::to_string(nan_configs.size()), yaml));
    cases.insert(cases.end() - 1,  // the missing file's row stays last: its path is checked below
                 {options(40, 2, nan_configs.back()), KX_STATUS_INTERNAL_ERROR,
                  section + "." + (group.empty() ? "" : group + ".") + leaf + " must be a number"});
  }
  for (const auto& c : cases) {
    kx_engine* engine = not_written<kx_engine>();
    EXPECT_EQ(KX(kx_engine_create)(&c.options, &engine), c.status) << c.text;
    EXPECT_EQ(engine, nullptr);
    EXPECT_EQ(std::string(KX(kx_last_error)()).rfind(c.text, 0), 0u) << KX(kx_last_error)();
  }
  EXPECT_NE(std::string(KX(kx_last_error)()).find(missing), std::string::npos) << KX(kx_last_error)();
  kx_engine* engine = not_written<kx_engine>();
  EXPECT_EQ(KX(kx_engine_create)(nullptr, &engine), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(engine, not_written<kx_engine>());  // left alone when the options are missing
  EXPECT_STREQ(KX(kx_last_error)(), "options and out_engine are required");
}

// The side an engine reports before its first step follows the configuration; the getters of a fresh
// engine and of null.
TEST_F(EngineCreate, SideAndGetters) {
  const std::pair<const char*, int32_t> sides[] = {{"", KX_HAND_RIGHT},
                                                   {"hand:\n  side: both\n", KX_HAND_RIGHT},
                                                   {"hand:\n  default_side: left\n", KX_HAND_LEFT}};
  for (const auto& [yaml, side] : sides) {
    const Owned<kx_engine> engine = create_engine(overlay_config(dir_, "side", yaml));
    ASSERT_NE(engine, nullptr);
    kx_skeleton_pose_output out{sizeof(kx_skeleton_pose_output), 2, 0.0, -1, 0, 0, nullptr};
    KX(kx_engine_get_last_skeleton_pose)(engine.get(), &out);  // writes the side, then fails (no step)
    EXPECT_EQ(out.hand_side, side) << yaml;
  }
  const Owned<kx_engine> engine = create_engine(kHandConfig);
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
    EXPECT_EQ(KX(kx_engine_physics_model_path)(e), nullptr);
  }
  EXPECT_STREQ(KX(kx_engine_last_error)(nullptr), "engine is null");
  EXPECT_EQ(KX(kx_engine_joint_count)(nullptr), 0u);
  EXPECT_EQ(KX(kx_engine_skeleton_node_name)(nullptr, 0), nullptr);
  KX(kx_engine_destroy)(nullptr);
}

// Engines and calibrators by hand name: a failure sets the SDK's text and the thread's alike.
TEST_F(EngineCreate, EnginesAndCalibratorsThroughTheSdkByHandName) {
  kx_sdk* sdk = sdk_.get();
  const std::string other = kResources + "/hands/Other_hand-2/Other_hand-2_system.yaml";
  const std::string missing_bones = (dir_ / "missing_bones.yaml").string();
  const struct {
    std::string name, bones;
    kx_status status;
    std::string text;  // the start of the text
  } cases[] = {
      {"", "", KX_STATUS_INVALID_ARGUMENT, "hand_name is invalid"},
      {"..", "", KX_STATUS_INVALID_ARGUMENT, "hand_name is invalid"},
      {"a/b", "", KX_STATUS_INVALID_ARGUMENT, "hand_name is invalid"},
      {"hand\xc3\xa9", "", KX_STATUS_INVALID_ARGUMENT, "hand_name is invalid"},
      {"Other_hand-2", "", KX_STATUS_INVALID_ARGUMENT, "hand config does not exist: " + other},
      {"dynamic_openxr_hand", missing_bones, KX_STATUS_INTERNAL_ERROR, ""},  // the handle's own failure
  };
  for (const auto& c : cases) {
    kx_engine* engine = not_written<kx_engine>();
    kx_calibrator* calibrator = not_written<kx_calibrator>();
    const auto check = [&](kx_status status) {
      EXPECT_EQ(status, c.status) << c.name;
      EXPECT_STRNE(KX(kx_sdk_last_error)(sdk), "");
      EXPECT_EQ(std::string(KX(kx_sdk_last_error)(sdk)).rfind(c.text, 0), 0u) << KX(kx_sdk_last_error)(sdk);
      EXPECT_STREQ(KX(kx_last_error)(), KX(kx_sdk_last_error)(sdk));
    };
    check(KX(kx_sdk_create_engine)(sdk, view_of(c.name), view_of(c.bones), &engine));
    check(KX(kx_sdk_create_calibrator)(sdk, view_of(c.name), view_of(c.bones), &calibrator));
    EXPECT_TRUE(engine == nullptr && calibrator == nullptr);
  }
  // A null bone path with a size is no bone path; success clears the SDK's text.
  kx_engine* engine = nullptr;
  kx_calibrator* calibrator = nullptr;
  const std::string name = "dynamic_openxr_hand";
  const kx_string_view hand = view_of(name);
  ASSERT_EQ(KX(kx_sdk_create_engine)(sdk, hand, {nullptr, 7}, &engine), KX_STATUS_OK) << KX(kx_last_error)();
  EXPECT_STREQ(KX(kx_sdk_last_error)(sdk), "");
  KX(kx_engine_destroy)(engine);
  KX(kx_sdk_create_engine)(sdk, hand, {}, nullptr);
  ASSERT_EQ(KX(kx_sdk_create_calibrator)(sdk, hand, {}, &calibrator), KX_STATUS_OK) << KX(kx_last_error)();
  EXPECT_STREQ(KX(kx_sdk_last_error)(sdk), "");
  KX(kx_calibrator_destroy)(calibrator);
  EXPECT_EQ(KX(kx_sdk_create_engine)(sdk, hand, {}, nullptr), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_sdk_last_error)(sdk), "SDK and engine output pointer are required");
  EXPECT_EQ(KX(kx_sdk_create_calibrator)(sdk, hand, {}, nullptr), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_sdk_last_error)(sdk), "SDK and calibrator output pointer are required");
}

}  // namespace
}  // namespace kelto::test
