// Creating and destroying the SDK handle: option checks in their fixed order and the error texts.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "capi/shared_library.hpp"
#include "kelto_hand.h"
#include "support/test_files.hpp"

namespace {

kx_sdk* const kNotWritten = reinterpret_cast<kx_sdk*>(std::uintptr_t{0x1});

kx_sdk_options sdk_options(const std::string& root) {
  kx_sdk_options options{};
  options.struct_size = sizeof(kx_sdk_options);
  options.abi_version = 2;
  options.resource_root = kx_string_view{root.data(), root.size()};
  return options;
}

TEST(SdkCreate, RejectedOptions) {
  kelto::test::TempDir dir;
  const std::string root = dir.path().string();
  const std::string file = kelto::test::write_file(dir / "not_a_dir.yaml", "a: 1\n").string();
  const std::string missing = (dir / "missing").string();

  struct Case {
    const char* name;
    kx_sdk_options options;
    kx_status status;
    std::string text;
  };
  std::vector<Case> cases;
  kx_sdk_options o = sdk_options(root);
  o.struct_size = sizeof(kx_sdk_options) - 1;
  cases.push_back({"size one short", o, KX_STATUS_INVALID_ARGUMENT, "SDK options are invalid"});
  o.abi_version = 3;
  cases.push_back({"size checked before version", o, KX_STATUS_INVALID_ARGUMENT, "SDK options are invalid"});
  o = sdk_options(root);
  o.abi_version = 3;
  cases.push_back({"wrong version", o, KX_STATUS_ABI_MISMATCH, "SDK ABI version does not match"});
  o = sdk_options(root);
  o.resource_root = kx_string_view{nullptr, 12};
  cases.push_back({"null data is empty", o, KX_STATUS_INVALID_ARGUMENT, "SDK resource_root is required"});
  o.resource_root = kx_string_view{root.data(), 0};
  cases.push_back({"zero size is empty", o, KX_STATUS_INVALID_ARGUMENT, "SDK resource_root is required"});
  cases.push_back({"regular file", sdk_options(file), KX_STATUS_INVALID_ARGUMENT,
                   "SDK resource_root is not a directory: " + file});
  cases.push_back({"missing path", sdk_options(missing), KX_STATUS_INVALID_ARGUMENT,
                   "SDK resource_root is not a directory: " + missing});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kx_sdk* sdk = kNotWritten;
    EXPECT_EQ(KX(kx_sdk_create)(&c.options, &sdk), c.status);
    EXPECT_EQ(sdk, nullptr);
    EXPECT_EQ(KX(kx_last_error)(), c.text);
  }
}

TEST(SdkCreate, NullPointers) {
  const std::string root = kelto::test::source_dir().string();
  const kx_sdk_options options = sdk_options(root);
  EXPECT_EQ(KX(kx_sdk_create)(&options, nullptr), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_last_error)(), "SDK output pointer is required");

  kx_sdk* sdk = kNotWritten;
  EXPECT_EQ(KX(kx_sdk_create)(nullptr, &sdk), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(sdk, nullptr);
  EXPECT_STREQ(KX(kx_last_error)(), "SDK options are invalid");
}

TEST(SdkCreate, SuccessClearsTheThreadText) {
  kelto::test::TempDir dir;
  // The view covers exactly the path; the bytes after it must not be read.
  const std::string padded = dir.path().string() + "/junk";
  kx_sdk_options options = sdk_options(padded);
  options.resource_root.size = dir.path().string().size();
  options.struct_size = sizeof(kx_sdk_options) + 16;  // larger records are accepted

  KX(kx_sdk_create)(nullptr, nullptr);
  ASSERT_STRNE(KX(kx_last_error)(), "");
  kx_sdk* sdk = nullptr;
  ASSERT_EQ(KX(kx_sdk_create)(&options, &sdk), KX_STATUS_OK) << KX(kx_last_error)();
  ASSERT_NE(sdk, nullptr);
  EXPECT_STREQ(KX(kx_last_error)(), "");
  EXPECT_STREQ(KX(kx_sdk_last_error)(sdk), "");
  KX(kx_sdk_destroy)(sdk);
}

// A failure of the file system query itself is an exception inside the library; it must come back as
// status 5 with its message, not cross the boundary.
TEST(SdkCreate, FileSystemErrorBecomesInternalError) {
  kelto::test::TempDir dir;
  const std::filesystem::path loop = dir / "loop";
  std::filesystem::create_symlink(loop, loop);
  const std::string root = loop.string();
  const kx_sdk_options options = sdk_options(root);
  kx_sdk* sdk = kNotWritten;
  EXPECT_EQ(KX(kx_sdk_create)(&options, &sdk), KX_STATUS_INTERNAL_ERROR);
  EXPECT_EQ(sdk, nullptr);
  const std::string text = KX(kx_last_error)();
  EXPECT_NE(text.find(root), std::string::npos) << text;
}

TEST(SdkHandle, NullHandles) {
  EXPECT_STREQ(KX(kx_sdk_last_error)(nullptr), "SDK is null");
  KX(kx_sdk_destroy)(nullptr);
}

}  // namespace
