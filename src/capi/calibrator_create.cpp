// Creating and destroying calibrators, and their error text.
#include <cmath>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include "capi/calibrator.hpp"
#include "capi/fingers.hpp"
#include "capi/last_error.hpp"
#include "capi/records.hpp"

namespace kelto::hand::detail {

void read_calibrator_finger_data(kx_calibrator& calibrator) {
  const Config& config = *calibrator.active_config;
  std::vector<std::string> order;
  if (config.contains("retargeting.finger_order")) {
    order = config.strings("retargeting.finger_order");
  } else {
    order.assign(kFingerNames.begin(), kFingerNames.end());
  }
  const std::uint32_t mask = finger_mask(order);
  CalibrationProfile profile = load_calibration_profile(config, order);
  calibrator.finger_order = std::move(order);
  calibrator.finger_mask = mask;
  calibrator.profile = std::move(profile);
}

kx_status calibrator_fail(kx_calibrator* calibrator, const std::string& message, kx_status status) {
  if (calibrator != nullptr) calibrator->last_error = message;
  fail(message);
  return status;
}

kx_status calibrator_succeed(kx_calibrator& calibrator) {
  calibrator.last_error.clear();
  clear_thread_error();
  return KX_STATUS_OK;
}

namespace {

// Loads the configuration of one side over the bone configuration; a standard exception becomes
// `error` and no configuration.
std::unique_ptr<Config> try_load_side(const std::string& config_path, const std::string& bone_config_path,
                                      const char* side, std::string& error) {
  try {
    return std::make_unique<Config>(Config::load(config_path, bone_config_path, side));
  } catch (const std::exception& failure) {
    error = failure.what();
    return nullptr;
  }
}

}  // namespace
}  // namespace kelto::hand::detail

using kelto::hand::Config;
using kelto::hand::detail::fail;

extern "C" {

kx_status kx_calibrator_create(const kx_calibrator_options* options, kx_calibrator** out_calibrator) {
  return kelto::hand::detail::guard_thread("unknown calibrator creation exception", [&]() -> kx_status {
    if (out_calibrator == nullptr) {
      fail("calibrator output pointer is required");
      return KX_STATUS_INVALID_ARGUMENT;
    }
    *out_calibrator = nullptr;
    if (const kx_status header = kelto::hand::detail::check_record_header(
            {"calibrator options are invalid", "calibrator ABI version does not match"}, fail, options);
        header != KX_STATUS_OK) {
      return header;
    }
    if (options->use_fixed_scale != 0 && !std::isfinite(options->fixed_scale)) {
      fail("calibrator fixed scale must be finite");
      return KX_STATUS_INVALID_ARGUMENT;
    }
    const std::string config_path = kelto::hand::detail::view_text(options->config_path);
    if (config_path.empty()) {
      fail("calibrator config path is required");
      return KX_STATUS_INVALID_ARGUMENT;
    }

    auto calibrator = std::make_unique<kx_calibrator>();
    calibrator->config_path = config_path;
    const std::string bone_config_path = kelto::hand::detail::view_text(options->bone_config_path);
    calibrator->has_bone_config = !bone_config_path.empty();
    if (calibrator->has_bone_config) {
      std::string left_error, right_error;
      calibrator->left_config =
          kelto::hand::detail::try_load_side(config_path, bone_config_path, "left", left_error);
      calibrator->right_config =
          kelto::hand::detail::try_load_side(config_path, bone_config_path, "right", right_error);
      if (!calibrator->left_config && !calibrator->right_config) {
        throw std::runtime_error("bone_config contains no usable left/right calibration data; left: " +
                                 left_error + "; right: " + right_error);
      }
      calibrator->active_config = std::make_unique<Config>(
          calibrator->right_config ? *calibrator->right_config : *calibrator->left_config);
    } else {
      calibrator->active_config = std::make_unique<Config>(Config::load(config_path, {}, {}));
    }
    kelto::hand::detail::read_calibrator_finger_data(*calibrator);
    if (options->use_fixed_scale != 0) calibrator->fixed_scale = options->fixed_scale;

    *out_calibrator = calibrator.release();
    kelto::hand::detail::clear_thread_error();
    return KX_STATUS_OK;
  });
}

void kx_calibrator_destroy(kx_calibrator* calibrator) {
  delete calibrator;
}

const char* kx_calibrator_last_error(kx_calibrator* calibrator) {
  if (calibrator == nullptr) return "calibrator is null";
  return calibrator->last_error.c_str();
}

}  // extern "C"
