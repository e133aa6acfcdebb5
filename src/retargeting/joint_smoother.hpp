// Exponential joint smoother with a per-joint deadband, one per hand side.
#pragma once

#include <optional>
#include <vector>

#include "config/config.hpp"

namespace kelto::hand {

class JointSmoother {
 public:
  // Reads joint_smoother.enabled, joint_smoother.alpha and joint_smoother.deadband_rad when present.
  explicit JointSmoother(const Config& config);

  // Blends q into the previous output and returns the result. The first call (while enabled) returns q
  // unchanged and primes the smoother; later calls require the same vector length.
  std::vector<double> apply(const std::vector<double>& q);

  bool enabled() const { return enabled_; }
  // The configured weight of the new sample, before clamping.
  double alpha() const { return alpha_; }
  // Norm of the change applied by the last blending call.
  double delta_norm_rad() const { return delta_norm_rad_; }

 private:
  bool enabled_ = true;
  double alpha_ = 0.45;
  double deadband_rad_ = 0.0;
  double delta_norm_rad_ = 0.0;
  std::optional<std::vector<double>> previous_;
};

}  // namespace kelto::hand
