// The SDK front doors: a hand name becomes the hand's system configuration under the SDK's resource
// root, from which an engine or a calibrator is created.
#include <filesystem>
#include <string>
#include <system_error>

#include "capi/last_error.hpp"
#include "capi/records.hpp"
#include "capi/sdk.hpp"
#include "kelto_hand.h"

namespace kelto::hand::detail {
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

// The texts of one front door: for an exception that is no standard one, and for a missing SDK or
// output pointer.
struct FrontDoorTexts {
  const char* unknown;
  const char* missing;
};

// Creates the handle for `hand_name` with `create`, from an options record naming the hand's system
// configuration and `bone_config_path` as given; every other option keeps its zero default. The SDK's
// text follows the outcome.
template <typename Options, typename Handle>
kx_status create_for_hand(kx_sdk* sdk, kx_string_view hand_name, kx_string_view bone_config_path,
                          Handle** out_handle, kx_status (*create)(const Options*, Handle**),
                          const FrontDoorTexts& texts) {
  return guard_thread(texts.unknown, [&]() -> kx_status {
    if (sdk == nullptr || out_handle == nullptr) return sdk_fail(sdk, texts.missing);
    *out_handle = nullptr;
    const std::string name = view_text(hand_name);
    if (!valid_hand_name(name)) return sdk_fail(sdk, "hand_name is invalid");
    const std::filesystem::path config_path = sdk_hand_config_path(*sdk, name);
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(config_path, ignored)) {
      return sdk_fail(sdk, "hand config does not exist: " + config_path.string());
    }
    const std::string config_text = config_path.string();
    Options options{};
    options.struct_size = sizeof(Options);
    options.abi_version = KX_ABI_VERSION_MAJOR;
    options.config_path = text_view(config_text);
    options.bone_config_path = bone_config_path;  // the handle reads a NULL or empty view alike
    const kx_status status = create(&options, out_handle);
    if (status == KX_STATUS_OK) {
      sdk->last_error.clear();
    } else {
      sdk->last_error = kx_last_error();
    }
    return status;
  });
}

}  // namespace
}  // namespace kelto::hand::detail

extern "C" {

kx_status kx_sdk_create_engine(kx_sdk* sdk, kx_string_view hand_name, kx_string_view bone_config_path,
                               kx_engine** out_engine) {
  return kelto::hand::detail::create_for_hand(
      sdk, hand_name, bone_config_path, out_engine, kx_engine_create,
      {"unknown native exception", "SDK and engine output pointer are required"});
}

kx_status kx_sdk_create_calibrator(kx_sdk* sdk, kx_string_view hand_name, kx_string_view bone_config_path,
                                   kx_calibrator** out_calibrator) {
  return kelto::hand::detail::create_for_hand(
      sdk, hand_name, bone_config_path, out_calibrator, kx_calibrator_create,
      {"unknown calibrator creation exception", "SDK and calibrator output pointer are required"});
}

}  // extern "C"
