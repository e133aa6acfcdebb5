// The retargeting cost: residual rows of eight blocks and their Jacobian over the active joints.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "kinematics/kinematics_types.hpp"
#include "retargeting/retarget_objective_config.hpp"
#include "retargeting/tip_target_frame.hpp"

namespace kelto::hand {

// Residual rows per block, in the order in which the cost joins them.
struct ObjectiveResidualTerms {
  std::vector<double> shape;
  std::vector<double> pinch;
  std::vector<double> pinch_pad_alignment;
  std::vector<double> orientation;
  std::vector<double> joint_regularization;
  std::vector<double> joint_coupling;
  std::vector<double> deep_flex;
  std::vector<double> velocity;

  // The eight blocks joined in member order.
  std::vector<double> concatenated() const;
  // The sum of squares of concatenated(), added up in the same order, without building it.
  double squared_norm() const;
};

// Residual and Jacobian (one row per residual element, one column per active joint).
struct ObjectiveLinearization {
  std::vector<double> residual;
  DenseMatrix jacobian;
};

// The normal equations of the linearized cost: JᵀJ (active joints square), Jᵀr and the cost ½|r|².
struct ObjectiveNormalEquations {
  DenseMatrix JtJ;
  std::vector<double> g;
  double cost = 0.0;
  ObjectiveLinearization tip_rows;  // storage of the rows that depend on the kinematics
  // Storage of the columns in which each block of three tip rows has non-zero entries, block after block,
  // and of where each block's list ends.
  std::vector<std::size_t> nonzero_columns;
  std::vector<std::size_t> block_ends;
};

// One frame's weights and targets, looked up once for the fingers of the objective's order, with the places
// of their tips in the model's finger order: the iterations of a solve then work with indices only.
struct ObjectiveFrame {
  struct Finger {
    std::size_t tip = 0;
    double shape_weight = 0.0;
    std::array<double, 3> target_position{};
    bool pinch = false;  // an active pinch this frame
    double pinch_scale = 0.0;
    std::array<double, 3> pinch_vector{};
    double anchor_ratio = 0.0;  // anchored pinch mode only
    double orientation_weight = 0.0;
    std::array<double, 9> target_rotation{};  // read only when the orientation terms are on
  };
  std::vector<Finger> fingers;
  std::size_t thumb_tip = 0;
  double pad_alignment_weight = 0.0;
  std::size_t partner_tip = 0;
};

class RetargetObjective {
 public:
  // Throws std::runtime_error when config.pinch_mode is neither "relative" nor "anchored".
  RetargetObjective(RetargetObjectiveConfig config, std::vector<double> q_rest_active,
                    std::vector<std::string> finger_order);

  const RetargetObjectiveConfig& config() const { return config_; }
  const std::vector<double>& q_rest_active() const { return q_rest_active_; }
  const std::vector<std::string>& finger_order() const { return finger_order_; }

  // Every residual row of the cost, zero rows included.
  ObjectiveResidualTerms residual_terms(const HandKinematicsState& state, const RetargetTargetFrame& target,
                                        const std::vector<double>& q,
                                        const std::vector<double>& q_prev) const;

  // The same cost without the rows that are zero whatever q is, with their derivatives.
  ObjectiveLinearization linearized_residual_and_jacobian(const HandKinematicsLinearization& linearization,
                                                          const RetargetTargetFrame& target,
                                                          const std::vector<double>& q,
                                                          const std::vector<double>& q_prev) const;

  // Both into `out`, reusing its storage: no allocation once `out` has held results of the same shape.
  void residual_terms(const HandKinematicsState& state, const RetargetTargetFrame& target,
                      const std::vector<double>& q, const std::vector<double>& q_prev,
                      ObjectiveResidualTerms& out) const;
  void linearized_residual_and_jacobian(const HandKinematicsLinearization& linearization,
                                        const RetargetTargetFrame& target, const std::vector<double>& q,
                                        const std::vector<double>& q_prev, ObjectiveLinearization& out) const;

  // The normal equations of linearized_residual_and_jacobian into `out`: the fingertip rows' products over
  // their non-zero entries, the joint-space rows, one or two non-zero entries each, added entry by entry.
  void normal_equations(const HandKinematicsLinearization& linearization, const RetargetTargetFrame& target,
                        const std::vector<double>& q, const std::vector<double>& q_prev,
                        ObjectiveNormalEquations& out) const;

  // Prepares `out` for the tips of a model whose finger order is `model_fingers`; false when the frame or
  // the model lacks a finger the cost reads (the functions above then report it).
  bool prepare_frame(const RetargetTargetFrame& target, const std::vector<std::string>& model_fingers,
                     ObjectiveFrame& out) const;
  // normal_equations and half the squared_norm of residual_terms, the same figures, over a prepared frame
  // and the tips in the model's finger order.
  void normal_equations(const HandTipKinematics& tips, const ObjectiveFrame& frame,
                        const std::vector<double>& q, const std::vector<double>& q_prev,
                        ObjectiveNormalEquations& out) const;
  double cost(const HandTipKinematics& tips, const ObjectiveFrame& frame, const std::vector<double>& q,
              const std::vector<double>& q_prev) const;
  // Half the squares of the rest-pose, velocity and coupling rows at q: a lower bound of the cost that needs
  // no kinematics (zero when the vectors do not fit the configuration).
  double joint_cost_bound(const std::vector<double>& q, const std::vector<double>& q_prev) const;

 private:
  // The squares of residual_terms' joint-space blocks, added to `sum` in their order.
  void add_joint_squares(const std::vector<double>& q, const std::vector<double>& q_prev, double& sum) const;

  // The rows of the joint-space blocks, appended.
  void append_joint_rows(const std::vector<double>& q, const std::vector<double>& q_prev,
                         std::vector<double>& r, DenseMatrix& J) const;
  // Adds the joint-space rows' share to `out`, whose cost holds the fingertip rows' sum of squares.
  void add_joint_normal_equations(const std::vector<double>& q, const std::vector<double>& q_prev,
                                  ObjectiveNormalEquations& out) const;

  RetargetObjectiveConfig config_;
  std::vector<double> q_rest_active_;
  std::vector<std::string> finger_order_;
  bool anchored_ = false;
  std::array<double, 3> axis_weights_{};  // of the tip axes x, y and z; zero for an axis not held
};

}  // namespace kelto::hand
