// Damped Gauss-Newton retargeting solver of one hand side, with an optional coarse seed on one finger.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/config.hpp"
#include "kinematics/kinematics_types.hpp"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "retargeting/retarget_objective.hpp"
#include "retargeting/tip_target_frame.hpp"

namespace kelto::hand {

struct RetargetSolveOutcome {
  std::vector<double> q;  // active vector, inside the limits
  HandKinematicsState state;
  std::uint64_t iterations = 0;
};

class PinocchioGNSolver {
 public:
  // Keeps a reference to `kinematics`, which must outlive the solver.
  PinocchioGNSolver(PinocchioHandKinematics& kinematics, const Config& config);
  ~PinocchioGNSolver();
  PinocchioGNSolver(PinocchioGNSolver&&) noexcept;
  PinocchioGNSolver(const PinocchioGNSolver&) = delete;
  PinocchioGNSolver& operator=(const PinocchioGNSolver&) = delete;

  // Solves from q_init, or from coarse_seed(target, q_prev) when q_init is empty.
  RetargetSolveOutcome solve(const RetargetTargetFrame& target, const std::vector<double>& q_prev,
                             const std::optional<std::vector<double>>& q_init = std::nullopt);
  // The same solve into `out`, whose storage (its joint vector and the maps of its state) is reused.
  void solve_into(const RetargetTargetFrame& target, const std::vector<double>& q_prev,
                  const std::optional<std::vector<double>>& q_init, RetargetSolveOutcome& out);

  // Start vector of a solve: q_prev, or with coarse seeding on, q_prev with the coarse finger's joints moved
  // towards its target.
  std::vector<double> coarse_seed(const RetargetTargetFrame& target, const std::vector<double>& q_prev);

  const RetargetObjective& objective() const { return objective_; }

  // Settings as read from the configuration.
  std::uint64_t gn_max_iters() const { return gn_max_iters_; }
  double gn_damping() const { return gn_damping_; }
  double gn_damping_growth() const { return gn_damping_growth_; }
  double gn_damping_shrink() const { return gn_damping_shrink_; }
  const std::vector<double>& gn_step_scales() const { return gn_step_scales_; }
  bool coarse_enabled() const { return coarse_enabled_; }
  const std::vector<std::uint64_t>& coarse_variable_joints() const { return coarse_variable_joints_; }
  const std::vector<std::uint64_t>& coarse_reset_joints() const { return coarse_reset_joints_; }
  std::uint64_t coarse_max_iters() const { return coarse_max_iters_; }
  double coarse_damping() const { return coarse_damping_; }
  double coarse_max_step_rad() const { return coarse_max_step_rad_; }
  double coarse_orientation_multiplier() const { return coarse_orientation_multiplier_; }

 private:
  // Linearizes the cost at q into the normal equations and returns the cost there; the tips are kept.
  double linearize(const RetargetTargetFrame& target, const std::vector<double>& q,
                   const std::vector<double>& q_prev);
  struct NormalEquations;  // the damped normal equations and their decomposition
  // Moves q along the solved damped step by the first scale that lowers the cost by more than ftol.
  bool accept_step(const RetargetTargetFrame& target, const NormalEquations& step, double cost,
                   const std::vector<double>& q_prev, std::vector<double>& q);
  // Whether the damped step at q is known to be refused without solving for it.
  bool step_stands_still(double lambda, const std::vector<double>& q, double cost);
  // Whether a solve without a start vector runs the coarse seed; else it starts at q_prev.
  bool seeds_coarsely() const { return coarse_enabled_ && !coarse_variable_joints_.empty(); }
  // The cost at a candidate step, without derivatives.
  double candidate_cost(const RetargetTargetFrame& target, const std::vector<double>& q,
                        const std::vector<double>& q_prev);

  PinocchioHandKinematics& kinematics_;
  RetargetObjective objective_;
  std::uint64_t gn_max_iters_ = 8;
  double ftol_ = 1e-4;
  double xtol_ = 1e-4;
  double gtol_ = 1e-4;
  double gn_damping_ = 1e-4;
  double gn_damping_growth_ = 10.0;
  double gn_damping_shrink_ = 0.5;
  std::vector<double> gn_step_scales_{1.0, 0.5, 0.25, 0.125, 0.0625};
  bool coarse_enabled_ = false;
  std::string coarse_finger_ = "thumb";
  std::vector<std::uint64_t> coarse_variable_joints_;
  std::vector<std::uint64_t> coarse_reset_joints_;
  std::uint64_t coarse_max_iters_ = 2;
  double coarse_damping_ = 1e-4;
  double coarse_max_step_rad_ = 0.5;
  double coarse_orientation_multiplier_ = 8.0;

  // Storage reused by every solve, so that the iterations do not allocate.
  // Through the frame's indices when it could be prepared, else through the objective's maps.
  ObjectiveFrame frame_;
  bool indexed_ = false;
  std::vector<double> q_;  // the iterate
  std::vector<double> candidate_;
  std::vector<double> step_bounds_;  // of the damped step's elements, without solving for it
  HandTipKinematics tips_;  // at the point linearized last
  HandTipKinematics candidate_tips_;
  HandTipKinematics best_tips_;  // poses only
  HandKinematicsLinearization linearization_;
  ObjectiveNormalEquations objective_normal_;
  HandKinematicsState candidate_state_;
  ObjectiveResidualTerms candidate_terms_;
  std::unique_ptr<NormalEquations> normal_;
};

}  // namespace kelto::hand
