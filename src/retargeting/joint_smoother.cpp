#include "retargeting/joint_smoother.hpp"

#include <cmath>
#include <stdexcept>

#include "retargeting/number_setting.hpp"

namespace kelto::hand {

JointSmoother::JointSmoother(const Config& config) {
  if (config.contains("joint_smoother.enabled")) enabled_ = config.boolean("joint_smoother.enabled");
  detail::read_number_refusing_nan(config, "joint_smoother.alpha", alpha_);
  if (config.contains("joint_smoother.deadband_rad")) {
    deadband_rad_ = config.number("joint_smoother.deadband_rad");
    if (deadband_rad_ < 0.0) deadband_rad_ = 0.0;
  }
}

std::vector<double> JointSmoother::apply(const std::vector<double>& q) {
  if (!enabled_) return q;
  if (!previous_) {
    previous_ = q;
    return q;
  }
  const std::vector<double>& previous = *previous_;
  if (q.size() != previous.size()) throw std::runtime_error("Joint smoother vector size changed");

  double a = alpha_;
  if (a > 1.0) a = 1.0;
  if (a < 0.0) a = 0.0;
  const double c = 1.0 - a;

  std::vector<double> out(q.size());
  double sum_sq = 0.0;
  for (std::size_t i = 0; i < q.size(); ++i) {
    const double p = previous[i];
    double s = std::fma(a, q[i], c * p);
    if (deadband_rad_ > 0.0 && std::abs(s - p) < deadband_rad_) s = p;
    out[i] = s;
    sum_sq += (s - p) * (s - p);
  }
  delta_norm_rad_ = std::sqrt(sum_sq);
  previous_ = out;
  return out;
}

}  // namespace kelto::hand
