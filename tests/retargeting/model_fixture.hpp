// The bundled OpenXR-style hand for solver tests: its system configuration per side, tip mapping, kinematic
// model and random joint vectors inside the limits.
#pragma once

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "support/test_files.hpp"

namespace kelto::test {

inline std::filesystem::path hand_system_config() {
  return source_dir() / "resources/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml";
}

inline hand::Config hand_config(const std::string& side) {
  return hand::Config::load(hand_system_config(), "", side);
}

// A uniform random active vector within the limits, kept `margin` (share of each range) away from them.
inline std::vector<double> random_active(const hand::PinocchioHandKinematics& model, std::mt19937_64& rng,
                                         double margin = 0.05) {
  std::vector<double> q(model.active_lower().size());
  for (std::size_t i = 0; i < q.size(); ++i) {
    const double lo = model.active_lower()[i], hi = model.active_upper()[i];
    std::uniform_real_distribution<double> pick(lo + margin * (hi - lo), hi - margin * (hi - lo));
    q[i] = pick(rng);
  }
  return q;
}

}  // namespace kelto::test
