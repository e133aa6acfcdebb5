// The SDK handle: checks its options and sets the process-wide resource root.
#include "capi/sdk.hpp"

#include <filesystem>
#include <memory>
#include <string>

#include "capi/last_error.hpp"
#include "capi/records.hpp"
#include "config/resource_root.hpp"
#include "kelto_hand.h"

using kelto::hand::detail::fail;

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

const char* kx_sdk_last_error(kx_sdk* sdk) {
  if (sdk == nullptr) return "SDK is null";
  return sdk->last_error.c_str();
}

}  // extern "C"
