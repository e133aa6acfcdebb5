// The smooth hand motion the tracking suites replay on the bundled hand: every active joint swings at its
// own frequency about a centre inside its limits.
#pragma once

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "kinematics/pinocchio_hand_kinematics.hpp"

namespace kelto::test {

constexpr double kMotionRate = 200.0;  // glove frames per second

// The long fingers flex from the open rest pose up to 80 % of the way to their upper limit and spread by a
// quarter of their abduction range; each thumb joint swings by an eighth of its range about a pose drawn
// back from the open one, so that no fingertip comes within the pinch model's reach of the thumb's.
inline std::vector<double> motion_pose(const hand::PinocchioHandKinematics& model, double t) {
  const std::vector<std::string>& names = model.active_joint_names();
  std::vector<double> q(names.size());
  for (std::size_t i = 0; i < q.size(); ++i) {
    const double lo = model.active_lower()[i], hi = model.active_upper()[i], rest = model.q_rest_active()[i];
    double centre = rest, amplitude = 0.25 * (hi - lo);
    if (names[i].find("thumb") != std::string::npos) {
      amplitude = 0.12 * (hi - lo);
      centre = rest - 0.3 * (hi - lo);
    } else if (names[i].find("abduction") == std::string::npos) {
      amplitude = 0.4 * (hi - rest);
      centre = rest + amplitude;
    }
    centre = std::clamp(centre, lo + amplitude, hi - amplitude);
    const double k = static_cast<double>(i);
    q[i] = centre + amplitude * std::sin(2.0 * M_PI * (0.3 + 0.07 * k) * t + 0.9 * k);
  }
  return q;
}

}  // namespace kelto::test
