// The SDK handle: checks its options and sets the process-wide resource root.
#include <filesystem>
#include <memory>
#include <string>

#include "capi/last_error.hpp"
#include "capi/records.hpp"
#include "config/resource_root.hpp"
#include "kelto_hand.h"

struct kx_sdk {
  std::filesystem::path resource_root;
  std::string last_error;
};

using kelto::hand::detail::fail;

namespace {

// A hand name is one directory name of plain ASCII letters, digits, "_" and "-".
bool valid_hand_name(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !digit && c != '_' && c != '-') return false;
  }
  return true;
}

std::filesystem::path sdk_hand_config_path(const kx_sdk& sdk, const std::string& name) {
  return sdk.resource_root / "hands" / name / (name + "_system.yaml");
}

// Sets the failure text of an SDK front-door call: into the SDK (when there is one) and the thread.
kx_status sdk_fail(kx_sdk* sdk, const std::string& message) {
  if (sdk != nullptr) sdk->last_error = message;
  fail(message);
  return KX_STATUS_INVALID_ARGUMENT;
}

}  // namespace

extern "C" {

kx_status kx_sdk_create(const kx_sdk_options* options, kx_sdk** out_sdk) {
  return kelto::hand::detail::guard_thread("unknown SDK creation exception", [&]() -> kx_status {
    if (out_sdk == nullptr) {
      fail("SDK output pointer is required");
      return KX_STATUS_INVALID_ARGUMENT;
    }
    *out_sdk = nullptr;
    if (const kx_status header = kelto::hand::detail::check_record_header(
            {"SDK options are invalid", "SDK ABI version does not match"}, fail, options);
        header != KX_STATUS_OK) {
      return header;
    }
    const std::string root = kelto::hand::detail::view_text(options->resource_root);
    if (root.empty()) {
      fail("SDK resource_root is required");
      return KX_STATUS_INVALID_ARGUMENT;
    }
    auto sdk = std::make_unique<kx_sdk>();
    sdk->resource_root = root;
    if (!std::filesystem::is_directory(std::filesystem::status(sdk->resource_root))) {
      fail("SDK resource_root is not a directory: " + root);
      return KX_STATUS_INVALID_ARGUMENT;
    }
    kelto::hand::set_runtime_resource_root(sdk->resource_root);
    *out_sdk = sdk.release();
    kelto::hand::detail::clear_thread_error();
    return KX_STATUS_OK;
  });
}

void kx_sdk_destroy(kx_sdk* sdk) {
  delete sdk;
}

kx_status kx_sdk_create_engine(kx_sdk* sdk, kx_string_view hand_name, kx_string_view bone_config_path,
                               kx_engine** out_engine) {
  return kelto::hand::detail::guard_thread("unknown native exception", [&]() -> kx_status {
    if (sdk == nullptr || out_engine == nullptr)
      return sdk_fail(sdk, "SDK and engine output pointer are required");
    *out_engine = nullptr;
    const std::string name = kelto::hand::detail::view_text(hand_name);
    if (!valid_hand_name(name)) return sdk_fail(sdk, "hand_name is invalid");
    const std::filesystem::path config_path = sdk_hand_config_path(*sdk, name);
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(config_path, ignored)) {
      return sdk_fail(sdk, "hand config does not exist: " + config_path.string());
    }
    const std::string config_text = config_path.string();
    kx_engine_options options{};
    options.struct_size = sizeof(kx_engine_options);
    options.abi_version = KX_ABI_VERSION_MAJOR;
    options.config_path = kelto::hand::detail::text_view(config_text);
    options.bone_config_path = bone_config_path;  // the engine reads a NULL or empty view alike
    const kx_status status = kx_engine_create(&options, out_engine);
    if (status == KX_STATUS_OK) {
      sdk->last_error.clear();
    } else {
      sdk->last_error = kx_last_error();
    }
    return status;
  });
}

const char* kx_sdk_last_error(kx_sdk* sdk) {
  if (sdk == nullptr) return "SDK is null";
  return sdk->last_error.c_str();
}

}  // extern "C"
#include "capi/calibrator_sdk.inc"  // kx_sdk_create_calibrator
