// The smooth hand motion the benchmarks replay: every active joint swings inside its limits at its own
// frequency and phase.
#pragma once

#include <cmath>
#include <vector>

#include "kinematics/pinocchio_hand_kinematics.hpp"

namespace kelto::hand::bench {

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
