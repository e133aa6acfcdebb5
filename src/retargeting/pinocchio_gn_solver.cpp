#include "retargeting/pinocchio_gn_solver.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "kinematics/vec3.hpp"
#include "retargeting/map_lookup.hpp"
#include "retargeting/names.hpp"
#include "retargeting/number_setting.hpp"
#include "retargeting/partial_pivot_lu.hpp"

namespace kelto::hand {
namespace {

using detail::kAxisNames;
using detail::starts_with;

using detail::column;
using detail::cross;
using detail::Mat3;
using detail::transpose_mul;
using detail::Vec3;

RetargetObjective make_objective(const PinocchioHandKinematics& kinematics, const Config& config) {
  RetargetObjectiveConfig objective_config =
      RetargetObjectiveConfig::from_config(config, kinematics.active_joint_names());
  std::vector<double> q_rest = kinematics.q_rest_active();
  std::vector<std::string> finger_order = config.strings("retargeting.finger_order");
  return RetargetObjective(std::move(objective_config), std::move(q_rest), std::move(finger_order));
}

// Positions in the active vector of the configured joint names, with the side prefixes and one mirror.
std::vector<std::uint64_t> resolve_joint_positions(const Config& config, const std::string& key,
                                                   const std::vector<std::string>& active) {
  std::vector<std::uint64_t> positions;
  if (!config.contains(key)) return positions;
  for (const std::string& name : config.strings(key)) {
    std::vector<std::string> candidates{name, "right_" + name, "left_" + name, "r_" + name, "l_" + name};
    if (starts_with(name, "r_")) {
      candidates.push_back("l_" + name.substr(2));
    } else if (starts_with(name, "l_")) {
      candidates.push_back("r_" + name.substr(2));
    } else if (starts_with(name, "right_")) {
      candidates.push_back("left_" + name.substr(6));
    } else if (starts_with(name, "left_")) {
      candidates.push_back("right_" + name.substr(5));
    }
    bool found = false;
    for (const std::string& candidate : candidates) {
      const auto it = std::find(active.begin(), active.end(), candidate);
      if (it != active.end()) {
        positions.push_back(static_cast<std::uint64_t>(it - active.begin()));
        found = true;
        break;
      }
    }
    if (!found) throw std::runtime_error(key + " references unknown active joint: " + name);
  }
  return positions;
}

std::uint64_t iteration_count(double value) {
  const double truncated = std::trunc(value);
  if (!(truncated >= 1.0)) return 1;
  if (truncated >= 1e18) return static_cast<std::uint64_t>(1e18);
  return static_cast<std::uint64_t>(truncated);
}

// lo below the range (and for NaN), hi above it.
double clamp_joint(double v, double lo, double hi) {
  if (v < lo) return lo;
  if (v > hi) return hi;
  if (std::isnan(v)) return lo;
  return v;
}

double half_squared_norm(const std::vector<double>& r) {
  double sum = 0.0;
  for (double value : r) sum += value * value;
  return 0.5 * sum;
}

using RowMajorMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// Storage of damped_solve, kept from call to call by the Gauss-Newton iterations.
struct DampedSolve {
  std::vector<double> damped;  // A + damping I, row-major
  detail::PartialPivLU lu;
};

// Solves (A + damping I) x = b for the n x n row-major A by LU with partial pivoting, falling back to a
// least-squares solution (complete orthogonal decomposition) when the LU's is not finite.
void damped_solve(const double* A, std::size_t n, double damping, const double* b, DampedSolve& work,
                  Eigen::VectorXd& x) {
  work.damped.assign(A, A + n * n);
  for (std::size_t i = 0; i < n; ++i) work.damped[i * n + i] += damping;
  detail::factor_partial_pivot_lu(work.damped.data(), n, work.lu);
  const auto size = static_cast<Eigen::Index>(n);
  x = Eigen::Map<const Eigen::VectorXd>(b, size);
  detail::solve_partial_pivot_lu(work.lu, x.data());
  if (x.allFinite()) return;
  const Eigen::MatrixXd damped = Eigen::Map<const RowMajorMatrix>(work.damped.data(), size, size);
  x = damped.completeOrthogonalDecomposition().solve(Eigen::Map<const Eigen::VectorXd>(b, size));
}

// Of an Eigen vector or a map over one (a map converted to a VectorXd would be copied).
template <typename Vector>
double max_abs(const Vector& v) {
  return v.size() == 0 ? 0.0 : v.cwiseAbs().maxCoeff();
}

double max_abs(const std::vector<double>& v) {
  return max_abs(Eigen::Map<const Eigen::VectorXd>(v.data(), static_cast<Eigen::Index>(v.size())));
}

// Bounds on the elements of the damped step dq = -(A + damping I)^-1 g without solving for it, into
// `bounds`; false when they cannot be had. While the diagonal of every row of D = A + damping I exceeds the
// rest of the row in magnitude by at least half the damping, |dq|inf <= B = |g|inf / (the least such excess)
// (Varah's bound), and row i gives |dq_i| <= (|g_i| + (the rest of row i) B) / |D_ii|. Such a matrix is well
// conditioned: its LU solution is off the exact one by far less than the margins of 1 % and B / 1e6.
bool damped_step_bounds(const ObjectiveNormalEquations& ne, double damping, std::vector<double>& bounds) {
  const std::size_t n = ne.g.size();
  const double* A = ne.JtJ.data.data();
  bounds.resize(n);
  double least_excess = std::numeric_limits<double>::infinity(), g_max = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    double others = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
      if (j != i) others += std::abs(A[i * n + j]);
    }
    const double excess = std::abs(A[i * n + i] + damping) - others;
    if (!(excess >= 0.5 * damping) || !std::isfinite(ne.g[i])) return false;
    least_excess = std::min(least_excess, excess);
    g_max = std::max(g_max, std::abs(ne.g[i]));
    bounds[i] = others;
  }
  const double B = 1.01 * g_max / least_excess;
  for (std::size_t i = 0; i < n; ++i) {
    bounds[i] = 1.01 * (std::abs(ne.g[i]) + bounds[i] * B) / std::abs(A[i * n + i] + damping) + 1e-6 * B;
  }
  return true;
}

bool inside_limits(const std::vector<double>& q, const std::vector<double>& lower,
                   const std::vector<double>& upper) {
  for (std::size_t i = 0; i < q.size(); ++i) {
    if (!(q[i] >= lower[i] && q[i] <= upper[i])) return false;
  }
  return true;
}

// The wrist and fingertip poses of `from`, without its Jacobians.
void copy_poses(const HandTipKinematics& from, HandTipKinematics& to) {
  to.wrist_position = from.wrist_position;
  to.wrist_rotation = from.wrist_rotation;
  to.tips.resize(from.tips.size());
  for (std::size_t f = 0; f < from.tips.size(); ++f) {
    to.tips[f].position_wrist = from.tips[f].position_wrist;
    to.tips[f].rotation_wrist = from.tips[f].rotation_wrist;
    to.tips[f].position_world = from.tips[f].position_world;
    to.tips[f].rotation_world = from.tips[f].rotation_world;
  }
}

}  // namespace

// The damped normal equations of one linearization and their solution, with storage kept from call to call.
struct PinocchioGNSolver::NormalEquations {
  std::vector<double> rhs;  // -g
  DampedSolve work;
  Eigen::VectorXd dq;

  void solve(const ObjectiveNormalEquations& ne, double damping) {
    rhs.resize(ne.g.size());
    for (std::size_t i = 0; i < rhs.size(); ++i) rhs[i] = -ne.g[i];
    damped_solve(ne.JtJ.data.data(), rhs.size(), damping, rhs.data(), work, dq);
  }
};

PinocchioGNSolver::~PinocchioGNSolver() = default;
PinocchioGNSolver::PinocchioGNSolver(PinocchioGNSolver&&) noexcept = default;

PinocchioGNSolver::PinocchioGNSolver(PinocchioHandKinematics& kinematics, const Config& config)
    : kinematics_(kinematics),
      objective_(make_objective(kinematics, config)),
      normal_(std::make_unique<NormalEquations>()) {
  auto number = [&config](const std::string& key, double& target) {
    if (config.contains(key)) target = config.number(key);
  };
  if (config.contains("solver.optimizer.gn_max_iters")) {
    gn_max_iters_ = iteration_count(config.number("solver.optimizer.gn_max_iters"));
  }
  number("solver.optimizer.ftol", ftol_);
  number("solver.optimizer.xtol", xtol_);
  number("solver.optimizer.gtol", gtol_);
  detail::read_number_refusing_nan(config, "solver.optimizer.gn_damping", gn_damping_);
  if (gn_damping_ < 1e-9) gn_damping_ = 1e-9;
  detail::read_number_refusing_nan(config, "solver.optimizer.gn_damping_growth", gn_damping_growth_);
  if (gn_damping_growth_ < 1.1) gn_damping_growth_ = 1.1;
  detail::read_number_refusing_nan(config, "solver.optimizer.gn_damping_shrink", gn_damping_shrink_);
  gn_damping_shrink_ = std::min(std::max(gn_damping_shrink_, 0.0), 1.0);
  if (config.contains("solver.optimizer.gn_step_scales")) {
    std::vector<double> scales;
    for (double value : config.numbers("solver.optimizer.gn_step_scales")) {
      if (value > 0.0) scales.push_back(value);
    }
    if (!scales.empty()) gn_step_scales_ = scales;
  }

  if (config.contains("solver.coarse_to_fine.enabled")) {
    coarse_enabled_ = config.boolean("solver.coarse_to_fine.enabled");
  }
  if (config.contains("solver.coarse_to_fine.finger")) {
    coarse_finger_ = config.string("solver.coarse_to_fine.finger");
  }
  const std::vector<std::string>& active = kinematics.active_joint_names();
  coarse_variable_joints_ =
      resolve_joint_positions(config, "solver.coarse_to_fine.variable_joint_names", active);
  coarse_reset_joints_ =
      resolve_joint_positions(config, "solver.coarse_to_fine.reset_to_rest_joint_names", active);
  if (config.contains("solver.coarse_to_fine.max_iters")) {
    coarse_max_iters_ = iteration_count(config.number("solver.coarse_to_fine.max_iters"));
  }
  detail::read_number_refusing_nan(config, "solver.coarse_to_fine.damping", coarse_damping_);
  if (coarse_damping_ < 1e-12) coarse_damping_ = 1e-12;
  detail::read_number_refusing_nan(config, "solver.coarse_to_fine.max_step_rad", coarse_max_step_rad_);
  if (coarse_max_step_rad_ < 0.0) coarse_max_step_rad_ = 0.0;
  detail::read_number_refusing_nan(config, "solver.coarse_to_fine.orientation_multiplier",
                                   coarse_orientation_multiplier_);
  if (coarse_orientation_multiplier_ < 0.0) coarse_orientation_multiplier_ = 0.0;
}

RetargetSolveOutcome PinocchioGNSolver::solve(const RetargetTargetFrame& target,
                                              const std::vector<double>& q_prev,
                                              const std::optional<std::vector<double>>& q_init) {
  RetargetSolveOutcome outcome;
  solve_into(target, q_prev, q_init, outcome);
  return outcome;
}

void PinocchioGNSolver::solve_into(const RetargetTargetFrame& target, const std::vector<double>& q_prev,
                                   const std::optional<std::vector<double>>& q_init,
                                   RetargetSolveOutcome& outcome) {
  if (&q_prev == &outcome.q || (q_init && &*q_init == &outcome.q)) {
    outcome = solve(target, q_prev, q_init);  // the inputs must outlive the iterations
    return;
  }
  if (q_prev.size() != kinematics_.active_joint_names().size()) {
    throw std::runtime_error("Solver previous joint vector has the wrong size");
  }
  std::vector<double>& q = q_;
  if (q_init) {
    q = *q_init;
  } else if (!seeds_coarsely()) {
    q = q_prev;  // what coarse_seed returns, without its copy
  } else {
    q = coarse_seed(target, q_prev);
  }
  if (q.size() != q_prev.size()) throw std::runtime_error("Solver initial joint vector has the wrong size");
  indexed_ = objective_.prepare_frame(target, kinematics_.finger_order(), frame_);

  const std::vector<double>& lower = kinematics_.active_lower();
  const std::vector<double>& upper = kinematics_.active_upper();
  const std::size_t n = q.size();

  double lambda = gn_damping_;
  double best_cost = std::numeric_limits<double>::infinity();
  std::vector<double>& best_q = outcome.q;
  best_q = q;
  bool have_best = false;
  std::uint64_t iterations = 0;
  NormalEquations& normal = *normal_;

  // The linearization at q is kept while q stays put: after a rejected step the next iteration differs
  // only in its damping.
  bool linearized = false;
  double cost = 0.0;
  while (iterations < gn_max_iters_) {
    if (!linearized) {
      cost = linearize(target, q, q_prev);
      if (cost < best_cost) {
        best_cost = cost;
        best_q = q;
        copy_poses(tips_, best_tips_);
        have_best = true;
      }
      linearized = true;
    }
    const double g_max = max_abs(objective_normal_.g);
    ++iterations;
    if (g_max <= gtol_ && cost <= ftol_) break;

    bool accepted = false;
    if (step_stands_still(lambda, q, cost)) {
      if (cost <= ftol_) break;  // the step tolerance stop, as with the step solved for
    } else {
      normal.solve(objective_normal_, lambda);
      if (max_abs(normal.dq) <= xtol_ && cost <= ftol_) break;
      accepted = accept_step(target, normal, cost, q_prev, q);
    }
    if (accepted) {
      lambda = std::max(lambda * gn_damping_shrink_, gn_damping_);
      linearized = false;
    } else {
      lambda *= gn_damping_growth_;
      if (lambda > 1e6) break;
    }
  }

  for (std::size_t i = 0; i < n; ++i) best_q[i] = clamp_joint(best_q[i], lower[i], upper[i]);
  if (have_best) {
    kinematics_.state_from_tips(best_tips_, outcome.state);
  } else {
    outcome.state = kinematics_.state_from_active(best_q);
  }
  outcome.iterations = iterations;
}

// Tries the step scales in order and moves q to the first candidate that lowers the cost by more than ftol.
bool PinocchioGNSolver::accept_step(const RetargetTargetFrame& target, const NormalEquations& step,
                                    double cost, const std::vector<double>& q_prev, std::vector<double>& q) {
  const Eigen::VectorXd& dq = step.dq;
  const std::vector<double>& lower = kinematics_.active_lower();
  const std::vector<double>& upper = kinematics_.active_upper();
  std::vector<double>& candidate = candidate_;
  candidate.resize(q.size());
  for (double s : gn_step_scales_) {
    bool moves = false;
    for (std::size_t i = 0; i < q.size(); ++i) {
      candidate[i] = clamp_joint(q[i] + s * dq[static_cast<Eigen::Index>(i)], lower[i], upper[i]);
      if (!(std::abs(candidate[i] - q[i]) <= 1e-5 * std::abs(q[i]) + 1e-8)) moves = true;
    }
    if (!moves) continue;
    // The joint-space rows alone bound the candidate's cost from below; when they already rule the step
    // out, the forward kinematics are not needed. The margin keeps the decision clear of rounding.
    const double lower_bound = objective_.joint_cost_bound(candidate, q_prev);
    if (lower_bound * (1.0 - 1e-9) + ftol_ >= cost) continue;
    if (candidate_cost(target, candidate, q_prev) + ftol_ < cost) {
      q.swap(candidate);
      return true;
    }
  }
  return false;
}

// Whether the damped step at q, by its bounds, moves no joint at any scale and, where the cost is within
// ftol, lies within the step tolerance: the iteration then ends as it would with the step solved for. Half
// the candidates' threshold leaves room for the rounding of q + s dq. Such steps are the rule once the
// damping has grown past JᵀJ.
bool PinocchioGNSolver::step_stands_still(double lambda, const std::vector<double>& q, double cost) {
  if (!damped_step_bounds(objective_normal_, lambda, step_bounds_)) return false;
  const double largest_scale = *std::max_element(gn_step_scales_.begin(), gn_step_scales_.end());
  for (std::size_t i = 0; i < q.size(); ++i) {
    if (!(largest_scale * step_bounds_[i] <= 0.5 * (1e-5 * std::abs(q[i]) + 1e-8))) return false;
    if (cost <= ftol_ && !(step_bounds_[i] <= xtol_)) return false;
  }
  return inside_limits(q, kinematics_.active_lower(), kinematics_.active_upper());
}

double PinocchioGNSolver::linearize(const RetargetTargetFrame& target, const std::vector<double>& q,
                                    const std::vector<double>& q_prev) {
  kinematics_.linearized_tip_kinematics_from_active(q, tips_);
  ObjectiveNormalEquations& ne = objective_normal_;
  if (indexed_) {
    objective_.normal_equations(tips_, frame_, q, q_prev, ne);
  } else {
    kinematics_.linearization_from_tips(tips_, linearization_);
    objective_.normal_equations(linearization_, target, q, q_prev, ne);
  }
  return ne.cost;
}

double PinocchioGNSolver::candidate_cost(const RetargetTargetFrame& target, const std::vector<double>& q,
                                         const std::vector<double>& q_prev) {
  kinematics_.tip_kinematics_from_active(q, candidate_tips_);
  if (indexed_) return objective_.cost(candidate_tips_, frame_, q, q_prev);
  kinematics_.state_from_tips(candidate_tips_, candidate_state_);
  objective_.residual_terms(candidate_state_, target, q, q_prev, candidate_terms_);
  return 0.5 * candidate_terms_.squared_norm();
}

std::vector<double> PinocchioGNSolver::coarse_seed(const RetargetTargetFrame& target,
                                                   const std::vector<double>& q_prev) {
  std::vector<double> q = q_prev;
  if (!seeds_coarsely()) return q;
  const std::vector<double>& rest = kinematics_.q_rest_active();
  for (std::uint64_t j : coarse_reset_joints_) q.at(j) = rest.at(j);

  const RetargetObjectiveConfig& c = objective_.config();
  const std::string& f = coarse_finger_;
  const std::vector<std::uint64_t>& vars = coarse_variable_joints_;
  const std::size_t m = vars.size();

  // Residual and Jacobian (one column per variable joint) of the coarse finger alone.
  auto coarse_residual = [&](const std::vector<double>& x, std::vector<double>& r, Eigen::MatrixXd* jac) {
    const HandKinematicsLinearization lin = kinematics_.linearized_state_from_active(x);
    r.clear();
    std::vector<double> jac_rows;  // row-major, m per row
    const double cp = std::max(0.0, c.shape_weight * detail::finger_at(target.shape_weights, f));
    if (cp > 0.0) {
      const double s = std::sqrt(cp);
      const Vec3& p = detail::finger_at(lin.tip_positions_wrist, f);
      const Vec3& t = detail::finger_at(target.target_positions, f);
      const DenseMatrix& Jp = detail::finger_at(lin.tip_position_jacobians, f);
      for (int a = 0; a < 3; ++a) {
        r.push_back(s * (p[a] - t[a]));
        for (std::size_t k = 0; k < m; ++k) jac_rows.push_back(s * Jp.data.at(a * Jp.cols + vars[k]));
      }
    }
    const double orientation =
        std::max(0.0, c.orientation_weight * detail::finger_at(target.orientation_weights, f) *
                          detail::value_or(c.orientation_by_finger, f, 1.0));
    const double mult = coarse_orientation_multiplier_ * orientation;
    if (mult > 0.0) {
      for (int k = 0; k < 3; ++k) {
        const auto axis = c.orientation_axis_weights.find(kAxisNames[k]);
        if (axis == c.orientation_axis_weights.end() || !(axis->second > 0.0)) continue;
        // The rotations are needed only for the axes held.
        const Mat3& R = detail::finger_at(lin.tip_rotations_wrist, f);
        const Mat3& T = detail::finger_at(target.target_rotations, f);
        const Mat3& Rw = detail::finger_at(lin.tip_rotations_world, f);
        const DenseMatrix& omega = detail::finger_at(lin.tip_angular_jacobians, f);
        const double s = std::sqrt(mult * axis->second);
        const Vec3 rk = column(R, k), tk = column(T, k), ck = column(Rw, k);
        std::vector<Vec3> cols(m);
        for (std::size_t v = 0; v < m; ++v) {
          const std::size_t i = vars[v];
          const Vec3 w{omega.data.at(i), omega.data.at(omega.cols + i), omega.data.at(2 * omega.cols + i)};
          cols[v] = transpose_mul(lin.wrist_rotation, cross(w, ck));
        }
        for (int a = 0; a < 3; ++a) {
          r.push_back(s * (rk[a] - tk[a]));
          for (std::size_t v = 0; v < m; ++v) jac_rows.push_back(s * cols[v][a]);
        }
      }
    }
    if (jac) {
      jac->resize(static_cast<Eigen::Index>(r.size()), static_cast<Eigen::Index>(m));
      for (std::size_t row = 0; row < r.size(); ++row) {
        for (std::size_t k = 0; k < m; ++k) {
          (*jac)(static_cast<Eigen::Index>(row), static_cast<Eigen::Index>(k)) = jac_rows[row * m + k];
        }
      }
    }
  };

  const std::vector<double>& lower = kinematics_.active_lower();
  const std::vector<double>& upper = kinematics_.active_upper();
  std::vector<double> best = q;
  double best_cost = std::numeric_limits<double>::infinity();
  std::vector<double> r, r_candidate;
  Eigen::MatrixXd J;
  DampedSolve coarse_work;
  for (std::uint64_t iter = 0; iter < coarse_max_iters_; ++iter) {
    coarse_residual(q, r, &J);
    const double cost = half_squared_norm(r);
    if (cost < best_cost) {
      best_cost = cost;
      best = q;
    }
    if (J.rows() == 0 || J.cols() == 0) break;
    const Eigen::Map<const Eigen::VectorXd> rv(r.data(), static_cast<Eigen::Index>(r.size()));
    const Eigen::VectorXd g = J.transpose() * rv;
    const RowMajorMatrix JtJ = J.transpose() * J;
    const Eigen::VectorXd minus_g = -g;
    Eigen::VectorXd dq;
    damped_solve(JtJ.data(), m, coarse_damping_, minus_g.data(), coarse_work, dq);
    const double dq_max = max_abs(dq);
    if (dq_max <= xtol_) break;
    if (coarse_max_step_rad_ > 0.0 && dq_max > coarse_max_step_rad_) dq *= coarse_max_step_rad_ / dq_max;
    bool accepted = false;
    for (double s : {1.0, 0.5}) {
      std::vector<double> candidate = q;
      for (std::size_t k = 0; k < m; ++k) {
        const std::size_t v = vars[k];
        candidate[v] = clamp_joint(q[v] + s * dq[static_cast<Eigen::Index>(k)], lower.at(v), upper.at(v));
      }
      coarse_residual(candidate, r_candidate, nullptr);
      const double candidate_cost = half_squared_norm(r_candidate);
      if (candidate_cost + ftol_ < cost) {
        q = candidate;
        if (candidate_cost < best_cost) {
          best_cost = candidate_cost;
          best = candidate;
        }
        accepted = true;
        break;
      }
    }
    if (!accepted) break;
  }
  return best;
}

}  // namespace kelto::hand
