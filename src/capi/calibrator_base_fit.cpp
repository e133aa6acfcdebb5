// The base fit on its own: hand scale and palm offset from caller-made observations, without a handle.
#include <array>
#include <optional>
#include <vector>

#include "calibration/base_calibration_fit.hpp"
#include "capi/last_error.hpp"
#include "capi/records.hpp"
#include "kelto_hand.h"

using kelto::hand::detail::fail;

extern "C" kx_status kx_fit_base_calibration(const kx_base_calibration_options* options,
                                             const kx_calibration_observation* observations, size_t count,
                                             kx_calibration_result* result) {
  return kelto::hand::detail::guard_thread("unknown calibration exception", [&]() -> kx_status {
    if (count == 0 || options == nullptr || observations == nullptr || result == nullptr) {
      fail("calibration options, observations, and output are required");
      return KX_STATUS_INVALID_ARGUMENT;
    }
    if (const kx_status header = kelto::hand::detail::check_record_header(
            {"calibration struct_size is invalid", "calibration ABI version does not match"}, fail, options,
            result);
        header != KX_STATUS_OK) {
      return header;
    }

    std::vector<kelto::hand::CalibrationObservation> copied(count);
    for (std::size_t n = 0; n < count; ++n) {
      const kx_calibration_observation& in = observations[n];
      kelto::hand::CalibrationObservation& out = copied[n];
      for (int i = 0; i < 3; ++i) out.source_position[i] = in.source_position[i];
      for (int i = 0; i < 9; ++i) out.source_rotation[i] = in.source_rotation[i];
      for (int i = 0; i < 3; ++i) out.input_tip_offset_local[i] = in.input_tip_offset_local[i];
      for (int i = 0; i < 3; ++i) out.robot_target[i] = in.robot_target[i];
      out.weight = in.weight;
    }
    std::array<double, 9> rotation{};
    for (int i = 0; i < 9; ++i) rotation[i] = options->base_rotation[i];
    const std::optional<double> fixed =
        options->use_fixed_scale != 0 ? std::optional<double>(options->fixed_scale) : std::nullopt;
    const kelto::hand::BaseCalibrationFit fit =
        kelto::hand::fit_base_calibration(copied, rotation, options->scale_base, fixed);

    result->struct_size = sizeof(kx_calibration_result);
    result->abi_version = KX_ABI_VERSION_MAJOR;
    result->scale_delta = fit.scale_delta;
    result->human_hand_scale = fit.human_hand_scale;
    for (int i = 0; i < 3; ++i) result->palm_offset_local[i] = fit.palm_offset_local[i];
    kelto::hand::detail::clear_thread_error();
    return KX_STATUS_OK;
  });
}
