// A glove worn on our hand model: loads the side's system configuration and kinematic model and turns
// joint vectors into the fingertip poses the glove reports, for a chosen human hand scale, mounting of the
// glove's base and sensor noise.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "retargeting/glove_feature_frame.hpp"

namespace kelto::hand::simulator {

struct SimulatedGloveOptions {
  std::filesystem::path config;  // system configuration of the hand
  std::string side = "right";
  // Unset: the configured tip_mapping.<side>.human_hand_scale, so the glove fits the mapping exactly.
  std::optional<double> human_hand_scale;
  double noise_mm = 0.0;   // standard deviation per position component
  double noise_deg = 0.0;  // standard deviation of the angle of a random extra rotation per fingertip
  // True mounting of the glove's base: yaw about the glove's z axis, then tilt about its y axis. When
  // both are unset the configured base rotation offset holds, so the glove fits the mapping exactly.
  std::optional<double> mount_yaw_deg;
  std::optional<double> base_tilt_deg;
  std::uint64_t seed = 1;
};

// Rz(yaw) * Ry(tilt), row-major.
std::array<double, 9> mounting_rotation(double yaw_deg, double tilt_deg);

class SimulatedGlove {
 public:
  // Throws std::runtime_error (or the configuration store's errors) when the configuration, the model or
  // an option is unusable.
  explicit SimulatedGlove(const SimulatedGloveOptions& options);
  ~SimulatedGlove();
  SimulatedGlove(SimulatedGlove&&) noexcept;
  SimulatedGlove& operator=(SimulatedGlove&&) noexcept;
  SimulatedGlove(const SimulatedGlove&) = delete;
  SimulatedGlove& operator=(const SimulatedGlove&) = delete;

  const Config& config() const;
  const std::string& side() const;
  const std::vector<std::string>& finger_order() const;
  PinocchioHandKinematics& kinematics();

  // The glove's fingertip poses for an active joint vector of the model.
  GloveFeatureFrame frame(const std::vector<double>& q_active, double timestamp_s = 0.0);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelto::hand::simulator
