// The engine handle: one retargeting runtime per hand side, both always built, and the side that the
// getters report on.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "kelto_hand.h"
#include "kinematics/kinematics_types.hpp"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "physics/mujoco_physics_observer.hpp"
#include "retargeting/joint_smoother.hpp"
#include "retargeting/pinocchio_gn_solver.hpp"
#include "retargeting/tip_mapping_parameters.hpp"
#include "retargeting/tip_target_frame.hpp"

namespace kelto::hand::detail {

// Everything one hand side needs to turn glove frames into joint vectors, and what it last produced.
// Not movable: the solver refers to the kinematic model.
struct EngineSideRuntime {
  // Loads the side's configuration and builds the tip mapping, smoother, model, solver and, when physics
  // is enabled, the observer; then reads the output rules. Throws on any failure.
  EngineSideRuntime(const std::string& config_path, const std::string& bone_config_path, kx_hand_side side);
  EngineSideRuntime(const EngineSideRuntime&) = delete;
  EngineSideRuntime& operator=(const EngineSideRuntime&) = delete;

  kx_hand_side side;
  Config config;
  TipMappingParameters tip_mapping;
  std::vector<std::string> finger_order;
  std::uint32_t finger_mask = 31;
  JointSmoother smoother;
  std::unique_ptr<PinocchioHandKinematics> kinematics;
  std::unique_ptr<PinocchioGNSolver> solver;

  bool reseed_enabled = false;
  double reseed_shape_max_threshold_m = 0.08;
  std::optional<std::vector<double>> last_good_active_q;
  bool hold_enabled = false;
  double hold_target_delta_threshold_m = 0.002;
  double hold_shape_delta_threshold_m = 0.0002;
  double hold_q_delta_norm_threshold_rad = 0.001;
  std::optional<std::vector<double>> last_output;  // full vector, before physics
  bool velocity_limit_enabled = false;
  double max_velocity_rad_s = 6.0;
  double max_dt_s = 1.0 / 60.0;
  std::optional<double> last_output_timestamp_s;
  std::optional<double> last_shape_max_m;
  std::map<std::string, std::array<double, 3>> last_target_tips;
  std::optional<RetargetTargetFrame> last_target;
  std::vector<SkeletonPose> last_skeleton;
  double last_skeleton_timestamp_s = 0.0;

  // Storage reused by every step.
  GloveFeatureFrame feature_workspace;  // holds the fingers of finger_order only
  HandTipKinematics tips_workspace;
  RetargetTargetFrame target_workspace;  // the frame before last_target, rebuilt in place
  HandKinematicsState state_workspace;
  ObjectiveResidualTerms terms_workspace;
  std::vector<double> start_workspace;     // the step's start (and previous) joint vector
  RetargetSolveOutcome outcome_workspace;  // the best outcome of the step
  RetargetSolveOutcome reseed_workspace;   // a re-seeded solve's outcome

  std::unique_ptr<MujocoPhysicsObserver> observer;
  std::string physics_model_path;
  std::string last_error;
};

}  // namespace kelto::hand::detail

struct kx_engine {
  std::string config_path;
  std::unique_ptr<kelto::hand::detail::EngineSideRuntime> left;
  std::unique_ptr<kelto::hand::detail::EngineSideRuntime> right;
  kelto::hand::detail::EngineSideRuntime* selected = nullptr;  // one of the two; never null once created
  std::string last_error;
};
