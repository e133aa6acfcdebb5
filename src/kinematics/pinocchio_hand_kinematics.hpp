// Kinematic model of one hand side on Pinocchio: forward kinematics, fingertip Jacobians over the
// active joints and skeleton poses, built from the hand resources and the side's configuration.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "kinematics/kinematics_types.hpp"

namespace kelto::hand {

class Config;

class PinocchioHandKinematics {
 public:
  // Builds the model of `side` ("left" or "right") from the side's system configuration; throws
  // std::runtime_error on any failure.
  PinocchioHandKinematics(const Config& config, std::string side);
  ~PinocchioHandKinematics();
  PinocchioHandKinematics(PinocchioHandKinematics&& other) noexcept;
  PinocchioHandKinematics& operator=(PinocchioHandKinematics&& other) noexcept;
  PinocchioHandKinematics(const PinocchioHandKinematics&) = delete;
  PinocchioHandKinematics& operator=(const PinocchioHandKinematics&) = delete;

  // Full joint order of the metadata and the active joints (a subsequence of it) with their limits.
  const std::vector<std::string>& joint_names() const;
  const std::vector<std::string>& active_joint_names() const;
  const std::vector<double>& active_lower() const;
  const std::vector<double>& active_upper() const;

  const std::vector<double>& q_rest_active() const;
  const std::vector<double>& q_current_active() const;

  // A named pose of the pose library as an active vector (reads the library file on every call).
  std::vector<double> pose_active(const std::string& pose_name) const;
  // Active → full vector (rest values for the other joints) and full → active; both apply the
  // limits, the fixed joints and the passive couplings.
  std::vector<double> expand_active(const std::vector<double>& q_active) const;
  std::vector<double> active_from_full(const std::vector<double>& q_full) const;

  // Forward kinematics; these write the model's Pinocchio data but never change the current state.
  HandKinematicsState state_from_active(const std::vector<double>& q_active);
  HandKinematicsLinearization linearized_state_from_active(const std::vector<double>& q_active);
  // The same into `out`, whose map entries are overwritten in place: no allocation once `out` has been
  // filled by this model before.
  void state_from_active(const std::vector<double>& q_active, HandKinematicsState& out);
  void linearized_state_from_active(const std::vector<double>& q_active, HandKinematicsLinearization& out);

  // The fingers of the tip maps, in order; the tips of a HandTipKinematics follow it.
  const std::vector<std::string>& finger_order() const;
  // The same forward kinematics (and Jacobians) into `out`, reusing its storage: no allocation once `out`
  // has been filled before.
  void tip_kinematics_from_active(const std::vector<double>& q_active, HandTipKinematics& out);
  void linearized_tip_kinematics_from_active(const std::vector<double>& q_active, HandTipKinematics& out);
  // The maps of a state (and of a linearization, with its Jacobians) from tips answered in finger order,
  // written in place as the queries above write them.
  void state_from_tips(const HandTipKinematics& tips, HandKinematicsState& out) const;
  void linearization_from_tips(const HandTipKinematics& tips, HandKinematicsLinearization& out) const;

  // Makes `q_active` (expanded and projected) the current state.
  void apply_active(const std::vector<double>& q_active);
  std::vector<double> full_current_q() const;

  // The 25 skeleton nodes of the OpenXR-style hand (empty for other hand types) and their poses
  // relative to the wrist.
  const std::vector<std::string>& skeleton_node_names() const;
  std::vector<SkeletonPose> skeleton_poses_local(const std::vector<double>& q_active);
  // The same into `out`, reusing its entries.
  void skeleton_poses_local(const std::vector<double>& q_active, std::vector<SkeletonPose>& out);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelto::hand
