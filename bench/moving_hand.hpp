// The smooth hand motion the benchmarks replay: every active joint swings inside its limits at its own
// frequency and phase.
#pragma once

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelto_hand.h"
#include "kinematics/pinocchio_hand_kinematics.hpp"

namespace kelto::hand::bench {

inline const std::string kBundledConfig =
    std::string(KELTO_SOURCE_DIR) + "/resources/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml";
inline constexpr int kFrames = 600;  // 10 s at 60 Hz

// An engine on the bundled hand's system configuration.
inline kx_engine* create_bundled_engine() {
  kx_engine_options options{};
  options.struct_size = sizeof options;
  options.abi_version = 2;
  options.config_path = kx_string_view{kBundledConfig.data(), kBundledConfig.size()};
  kx_engine* engine = nullptr;
  if (kx_engine_create(&options, &engine) != KX_STATUS_OK) throw std::runtime_error(kx_last_error());
  return engine;
}

// An output record over `joints`, sized for the engine's joint count.
inline kx_engine_output joint_output(kx_engine* engine, std::vector<double>& joints) {
  joints.assign(kx_engine_joint_count(engine), 0.0);
  kx_engine_output output{};
  output.struct_size = sizeof output;
  output.abi_version = 2;
  output.joints = joints.data();
  output.joint_capacity = joints.size();
  return output;
}

inline std::vector<double> moving_pose(const PinocchioHandKinematics& model, double t) {
  std::vector<double> q(model.active_lower().size());
  for (std::size_t i = 0; i < q.size(); ++i) {
    const double lo = model.active_lower()[i], hi = model.active_upper()[i];
    const double mid = 0.5 * (lo + hi), amplitude = 0.4 * (hi - lo);
    q[i] = mid + amplitude * std::sin(2.0 * M_PI * (0.3 + 0.07 * static_cast<double>(i)) * t +
                                      0.9 * static_cast<double>(i));
  }
  return q;
}

}  // namespace kelto::hand::bench
