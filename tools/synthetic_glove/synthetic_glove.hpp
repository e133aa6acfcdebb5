// A synthetic glove: the fingertip poses that a glove worn on our hand model would report, for tests,
// demos and the glove simulator. It inverts the base tip mapping (rotation, input offsets, hand scale and
// palm offset); the target-moving refinements (pinch model, tripod pinch, dynamic palm offset, thumb
// adduction, side-touch plane) are not inverted, so switch them off where an exact round trip matters.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "kinematics/kinematics_types.hpp"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "retargeting/glove_feature_frame.hpp"
#include "retargeting/tip_mapping_parameters.hpp"

namespace kelto::hand::synthetic {

struct SyntheticGloveOptions {
  // Scale of the human hand wearing the glove; unset means the configured human_hand_scale, so the glove
  // fits the mapping exactly. A different value makes the glove report a bigger or smaller hand.
  std::optional<double> human_hand_scale;
  // Standard deviations of the Gaussian sensor noise: per position component (metres) and of the angle
  // of a random rotation applied to each fingertip (radians). Zero means no noise.
  double position_noise_m = 0.0;
  double rotation_noise_rad = 0.0;
  std::uint64_t seed = 1;
  std::string source = "synthetic";
  std::string side = "right";  // written into every frame
};

class SyntheticGlove {
 public:
  explicit SyntheticGlove(TipMappingParameters params, SyntheticGloveOptions options = {});

  // The glove frame for a kinematic state of the hand (fingertips of the parameters' finger order).
  GloveFeatureFrame frame_from_state(const HandKinematicsState& state, double timestamp_s = 0.0);
  // The same for an active or a full joint vector of the model.
  GloveFeatureFrame frame_from_active(PinocchioHandKinematics& kinematics,
                                      const std::vector<double>& q_active, double timestamp_s = 0.0);
  GloveFeatureFrame frame_from_full(PinocchioHandKinematics& kinematics, const std::vector<double>& q_full,
                                    double timestamp_s = 0.0);

  const TipMappingParameters& parameters() const { return params_; }
  const SyntheticGloveOptions& options() const { return options_; }

 private:
  TipMappingParameters params_;
  SyntheticGloveOptions options_;
  std::mt19937_64 rng_;
};

}  // namespace kelto::hand::synthetic
