// What every caller of the shared library meets first: versions, status texts, the two manifests, the
// per-thread error text, the record layout, the exported symbols and the SDK handle.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capi/shared_library.hpp"
#include "kelto_hand.h"
#include "support/test_files.hpp"

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
                                                          {-1, "unknown status"},
                                                          {INT_MIN, "unknown status"}};
  for (const auto& [status, text] : texts) {
    EXPECT_STREQ(KX(kx_status_message)(static_cast<kx_status>(status)), text) << status;
  }
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
// weak instantiations of the standard library either; a linker version script hides them).
TEST(Interface, ExportsExactlyTheHeaderFunctions) {
  const std::string header = read_file(source_dir() / "include/kelto_hand.h");
  const std::regex declared(R"(\b(kx_[a-z0-9_]+)\()");
  std::set<std::string> functions;
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
  std::set<std::string> exported;
  for (std::string address, type, name; lines >> address >> type >> name;) {
    name = name.substr(0, name.find('@'));
    const bool linker_defined =
        name == "_init" || name == "_fini" || name == "_edata" || name == "_end" || name == "__bss_start";
    if (linker_defined) continue;
    EXPECT_EQ(type, "T") << name;
    exported.insert(name);
  }
  EXPECT_EQ(exported, functions);
}

// The public header holds to strict C99 (the C program of tests/capi_c includes it).
TEST(Interface, HeaderCompilesAsStrictC99) {
  if (std::system("command -v cc >/dev/null 2>&1") != 0) GTEST_SKIP() << "no C compiler on PATH";
  const std::string source = source_dir().string();
  const std::string command = "cc -std=c99 -pedantic-errors -Wall -Wextra -Werror -fsyntax-only -I'" +
                              source + "/include' '" + source + "/tests/capi_c/c_client.c'";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

TEST(Interface, SdkCreateChecksItsOptionsInOrder) {
  TempDir dir;
  const std::string root = dir.path().string();
  const std::string file = write_file(dir / "file.yaml", "a: 1\n").string();
  const std::string missing = (dir / "missing").string();
  const auto options = [](const std::string& path, uint32_t size = 24, uint32_t abi = 2) {
    return kx_sdk_options{size, abi, kx_string_view{path.data(), path.size()}};
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
      {options(missing), KX_STATUS_INVALID_ARGUMENT, "SDK resource_root is not a directory: " + missing},
  };
  for (const auto& c : cases) {
    kx_sdk* sdk = reinterpret_cast<kx_sdk*>(std::uintptr_t{1});
    EXPECT_EQ(KX(kx_sdk_create)(&c.options, &sdk), c.status) << c.text;
    EXPECT_EQ(sdk, nullptr);
    EXPECT_EQ(KX(kx_last_error)(), c.text);
  }
  kx_sdk* sdk = nullptr;
  EXPECT_EQ(KX(kx_sdk_create)(nullptr, &sdk), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "SDK options are invalid");
  EXPECT_STREQ(KX(kx_sdk_last_error)(nullptr), "SDK is null");
  KX(kx_sdk_destroy)(nullptr);

  // A failing file system query is status 5 with its message (here a symbolic link to itself).
  std::filesystem::create_symlink(dir / "loop", dir / "loop");
  const std::string loop = (dir / "loop").string();
  kx_sdk_options looping = options(loop);
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

}  // namespace
}  // namespace kelto::test
