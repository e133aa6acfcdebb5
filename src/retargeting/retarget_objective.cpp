#include "retargeting/retarget_objective.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "kinematics/vec3.hpp"
#include "retargeting/map_lookup.hpp"
#include "retargeting/names.hpp"

namespace kelto::hand {
namespace {

using detail::contains_name;
using detail::kAxisNames;

using detail::add;
using detail::column;
using detail::cross;
using detail::finger_at;
using detail::Mat3;
using detail::sub;
using detail::transpose_mul;
using detail::value_or;
using detail::Vec3;

const std::string kThumb = "thumb";
double positive(double w) {
  return w > 0.0 ? w : 0.0;
}

void append_scaled(std::vector<double>& values, const Vec3& v, double s) {
  values.push_back(s * v[0]);
  values.push_back(s * v[1]);
  values.push_back(s * v[2]);
}

void append_matrix_block(DenseMatrix& matrix, const DenseMatrix& block, double s) {
  if (block.cols != matrix.cols)
    throw std::runtime_error("Objective Jacobian block has the wrong column count");
  matrix.rows += block.rows;
  for (double value : block.data) matrix.data.push_back(s * value);
}

void append_diagonal(DenseMatrix& matrix, const std::vector<double>& d) {
  const std::size_t n = matrix.cols;
  if (d.size() != n) throw std::runtime_error("Objective diagonal has the wrong size");
  const std::size_t start = matrix.data.size();
  matrix.data.resize(start + n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) matrix.data[start + i * n + i] = d[i];
  matrix.rows += n;
}

// Appends one zero Jacobian row and returns the offset of its first element.
std::size_t append_zero_row(DenseMatrix& matrix) {
  const std::size_t start = matrix.data.size();
  matrix.data.resize(start + matrix.cols, 0.0);
  matrix.rows += 1;
  return start;
}

std::string debug_string(const std::map<std::string, DiagnosticValue>& diagnostics, const std::string& key) {
  const auto it = diagnostics.find(key);
  if (it == diagnostics.end()) return std::string();
  if (const std::string* text = std::get_if<std::string>(&it->second)) return *text;
  return std::string();
}

// Share of an anchored pinch correction carried by the thumb.
double anchor_ratio(const RetargetObjectiveConfig& config, const RetargetTargetFrame& target,
                    const std::string& finger) {
  const double s_t = positive(1.0 - positive(value_or(target.shape_weights, kThumb, 1.0)));
  const double s_f = positive(1.0 - positive(value_or(target.shape_weights, finger, 1.0)));
  if (!config.pinch_fixed_anchor_ratio && s_t + s_f > 1e-9) return s_t / (s_t + s_f);
  return std::min(std::max(config.pinch_thumb_anchor_ratio, 0.0), 1.0);
}

double deep_flex_activation(const DeepFlexRegularization& rule, const std::vector<double>& q_prev) {
  const double m = (q_prev.at(rule.driver_index) - rule.start_rad) / (rule.full_rad - rule.start_rad);
  if (m <= 0.0) return 0.0;
  if (m >= 1.0) return 1.0;
  return m * m * (3.0 - 2.0 * m);
}

// Column i of an angular Jacobian (3 rows, world axes).
Vec3 angular_column(const DenseMatrix& omega, std::size_t i) {
  if (omega.rows < 3 || i >= omega.cols || omega.data.size() < 3 * omega.cols) {
    throw std::out_of_range("Objective angular Jacobian has too few columns");
  }
  return {omega.data[i], omega.data[omega.cols + i], omega.data[2 * omega.cols + i]};
}

// Weight of finger f's tip position term.
double shape_term_weight(const RetargetObjectiveConfig& c, const RetargetTargetFrame& target,
                         const std::string& f) {
  return positive(c.shape_weight * value_or(target.shape_weights, f, 1.0));
}

// The thumb-to-finger vector finger f is held to, with the square root of that term's weight in `scale`;
// null when f has no active pinch this frame.
const Vec3* active_pinch(const RetargetObjectiveConfig& c, const RetargetTargetFrame& target,
                         const std::string& f, double& scale) {
  const auto v_it = target.pinch_vectors.find(f);
  if (v_it == target.pinch_vectors.end()) return nullptr;
  const double L = value_or(target.pinch_weights, f, 0.0);
  const double M = value_or(c.pinch_by_finger, f, c.pinch_weight);
  if (!(L > 0.0 && M > 0.0)) return nullptr;
  scale = std::sqrt(L) * std::sqrt(M);
  return &v_it->second;
}

// Weight of the term turning the thumb pad towards the strongest pinch partner's pad, which it names in
// `partner`; zero when the frame has no such partner among the solved fingers.
double pad_alignment_weight(const RetargetObjectiveConfig& c, const RetargetTargetFrame& target,
                            const std::vector<std::string>& finger_order, std::string& partner) {
  partner = debug_string(target.diagnostics, "pinch_strongest_partner");
  if (partner == kThumb || !contains_name(finger_order, partner)) return 0.0;
  return positive(c.pinch_pad_alignment_weight * value_or(target.pinch_weights, partner, 0.0));
}

// Weight of finger f's tip orientation terms, before the per-axis weights.
double orientation_term_weight(const RetargetObjectiveConfig& c, const RetargetTargetFrame& target,
                               const std::string& f) {
  return positive(c.orientation_weight * value_or(target.orientation_weights, f, 1.0) *
                  value_or(c.orientation_by_finger, f, 1.0));
}

// Weight of the tip axis k; zero when that axis is not held.
double axis_weight(const RetargetObjectiveConfig& c, int k) {
  const auto axis = c.orientation_axis_weights.find(kAxisNames[k]);
  if (axis == c.orientation_axis_weights.end() || !(axis->second > 0.0)) return 0.0;
  return axis->second;
}

void check_sizes(const std::vector<double>& q, const std::vector<double>& q_prev,
                 const std::vector<double>& q_rest) {
  if (q.size() != q_prev.size() || q_rest.size() != q.size()) {
    throw std::runtime_error("Objective joint vectors have different sizes");
  }
}

// Empties `out` for n columns, keeping its storage, with room for `rows` rows.
void clear_linearization(ObjectiveLinearization& out, std::size_t n, std::size_t rows) {
  out.residual.clear();
  out.jacobian.data.clear();
  out.jacobian.rows = 0;
  out.jacobian.cols = n;
  out.residual.reserve(rows);
  out.jacobian.data.reserve(rows * n);
}

// JᵀJ of the row-major J into A over each row's non-zero entries, the rows added one after the other as
// the dense product adds them, so the sums are the same; the lower triangle mirrors the upper. False, with
// A unfinished, when J has an entry that is not finite (whose product with a zero is not zero).
bool sparse_gram(const DenseMatrix& J, std::vector<std::size_t>& nonzero, std::vector<double>& A) {
  const std::size_t n = J.cols;
  std::fill(A.begin(), A.end(), 0.0);
  for (std::size_t k = 0; k < J.rows; ++k) {
    const double* row = J.data.data() + k * n;
    nonzero.clear();
    for (std::size_t i = 0; i < n; ++i) {
      if (!std::isfinite(row[i])) return false;
      if (row[i] != 0.0) nonzero.push_back(i);
    }
    for (std::size_t a = 0; a < nonzero.size(); ++a) {
      const std::size_t i = nonzero[a];
      for (std::size_t b = a; b < nonzero.size(); ++b) A[i * n + nonzero[b]] += row[i] * row[nonzero[b]];
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) A[j * n + i] = A[i * n + j];
  }
  return true;
}

// JᵀJ, Jᵀr and the sum of squares of the fingertip rows.
void tip_normal_equations(const ObjectiveLinearization& tips, ObjectiveNormalEquations& out) {
  using RowMajorMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
  const auto n = static_cast<Eigen::Index>(tips.jacobian.cols);
  const auto rows = static_cast<Eigen::Index>(tips.jacobian.rows);
  out.JtJ.rows = out.JtJ.cols = tips.jacobian.cols;
  out.JtJ.data.resize(tips.jacobian.cols * tips.jacobian.cols);
  out.g.resize(tips.jacobian.cols);
  Eigen::Map<Eigen::MatrixXd> JtJ(out.JtJ.data.data(), n, n);
  Eigen::Map<Eigen::VectorXd> g(out.g.data(), n);
  if (rows == 0) {
    JtJ.setZero();
    g.setZero();
  } else {
    const Eigen::Map<const RowMajorMatrix> J(tips.jacobian.data.data(), rows, n);
    const Eigen::Map<const Eigen::VectorXd> r(tips.residual.data(), rows);
    if (!sparse_gram(tips.jacobian, out.nonzero_columns, out.JtJ.data)) JtJ.noalias() = J.transpose() * J;
    g.noalias() = J.transpose() * r;
  }
  double sum = 0.0;
  for (double value : tips.residual) sum += value * value;
  out.cost = sum;
}

// Adds one joint-space row with the entry s in column a (and -s in column b when b is given) and residual r.
void add_joint_row(ObjectiveNormalEquations& out, double r, double s, std::size_t a,
                   std::size_t b = static_cast<std::size_t>(-1)) {
  const std::size_t n = out.JtJ.cols;
  std::vector<double>& A = out.JtJ.data;
  out.cost += r * r;
  A[a * n + a] += s * s;
  out.g[a] += s * r;
  if (b == static_cast<std::size_t>(-1)) return;
  A[b * n + b] += s * s;
  A[a * n + b] -= s * s;
  A[b * n + a] -= s * s;
  out.g[b] -= s * r;
}

// Position of `name` in `names`, or names.size().
std::size_t index_of(const std::vector<std::string>& names, const std::string& name) {
  return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

void add_scaled_squares(double& sum, const Vec3& v, double s) {
  for (int a = 0; a < 3; ++a) {
    const double value = s * v[a];
    sum += value * value;
  }
}

}  // namespace

std::vector<double> ObjectiveResidualTerms::concatenated() const {
  std::vector<double> out;
  out.reserve(shape.size() + pinch.size() + pinch_pad_alignment.size() + orientation.size() +
              joint_regularization.size() + joint_coupling.size() + deep_flex.size() + velocity.size());
  for (const std::vector<double>* block : {&shape, &pinch, &pinch_pad_alignment, &orientation,
                                           &joint_regularization, &joint_coupling, &deep_flex, &velocity}) {
    out.insert(out.end(), block->begin(), block->end());
  }
  return out;
}

double ObjectiveResidualTerms::squared_norm() const {
  double sum = 0.0;
  for (const std::vector<double>* block : {&shape, &pinch, &pinch_pad_alignment, &orientation,
                                           &joint_regularization, &joint_coupling, &deep_flex, &velocity}) {
    for (double value : *block) sum += value * value;
  }
  return sum;
}

RetargetObjective::RetargetObjective(RetargetObjectiveConfig config, std::vector<double> q_rest_active,
                                     std::vector<std::string> finger_order)
    : config_(std::move(config)),
      q_rest_active_(std::move(q_rest_active)),
      finger_order_(std::move(finger_order)) {
  if (config_.pinch_mode != "relative" && config_.pinch_mode != "anchored") {
    throw std::runtime_error("Unsupported solver.weights.pinch_mode: " + config_.pinch_mode);
  }
  anchored_ = config_.pinch_mode == "anchored";
  for (int k = 0; k < 3; ++k) axis_weights_[static_cast<std::size_t>(k)] = axis_weight(config_, k);
}

ObjectiveResidualTerms RetargetObjective::residual_terms(const HandKinematicsState& state,
                                                         const RetargetTargetFrame& target,
                                                         const std::vector<double>& q,
                                                         const std::vector<double>& q_prev) const {
  ObjectiveResidualTerms terms;
  residual_terms(state, target, q, q_prev, terms);
  return terms;
}

void RetargetObjective::residual_terms(const HandKinematicsState& state, const RetargetTargetFrame& target,
                                       const std::vector<double>& q, const std::vector<double>& q_prev,
                                       ObjectiveResidualTerms& terms) const {
  check_sizes(q, q_prev, q_rest_active_);
  const RetargetObjectiveConfig& c = config_;
  const std::size_t n = q.size();
  for (std::vector<double>* block :
       {&terms.shape, &terms.pinch, &terms.pinch_pad_alignment, &terms.orientation,
        &terms.joint_regularization, &terms.joint_coupling, &terms.deep_flex, &terms.velocity}) {
    block->clear();
  }

  terms.shape.reserve(3 * finger_order_.size());
  for (const std::string& f : finger_order_) {
    const double w = shape_term_weight(c, target, f);
    append_scaled(terms.shape,
                  sub(finger_at(state.tip_positions_wrist, f), finger_at(target.target_positions, f)),
                  std::sqrt(w));
  }

  const Vec3& p_thumb = finger_at(state.tip_positions_wrist, kThumb);
  for (const std::string& f : finger_order_) {
    double a = 0.0;
    const Vec3* pinch = active_pinch(c, target, f, a);
    if (pinch == nullptr) continue;
    const Vec3 d = sub(finger_at(state.tip_positions_wrist, f), p_thumb);
    const Vec3& v = *pinch;
    if (!anchored_) {
      append_scaled(terms.pinch, sub(d, v), a);
    } else {
      const double u = anchor_ratio(c, target, f);
      append_scaled(terms.pinch, sub(v, d), a * std::sqrt(u));
      append_scaled(terms.pinch, sub(d, v), a * std::sqrt(positive(1.0 - u)));
    }
  }

  std::string partner;
  const double E = pad_alignment_weight(c, target, finger_order_, partner);
  if (E > 0.0) {
    append_scaled(terms.pinch_pad_alignment,
                  add(column(finger_at(state.tip_rotations_wrist, kThumb), 2),
                      column(finger_at(state.tip_rotations_wrist, partner), 2)),
                  std::sqrt(E));
  }

  for (const std::string& f : finger_order_) {
    const double I = orientation_term_weight(c, target, f);
    if (!(I > 0.0)) continue;
    for (int k = 0; k < 3; ++k) {
      const double axis = axis_weight(c, k);
      if (!(axis > 0.0)) continue;
      // The rotations are needed only for the axes held.
      const Mat3& R = finger_at(state.tip_rotations_wrist, f);
      const Mat3& T = finger_at(target.target_rotations, f);
      append_scaled(terms.orientation, sub(column(R, k), column(T, k)), std::sqrt(I) * std::sqrt(axis));
    }
  }

  terms.joint_regularization.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    terms.joint_regularization[i] =
        std::sqrt(positive(c.joint_regularization.at(i))) * (q[i] - q_rest_active_[i]);
  }
  for (const JointCouplingRegularization& rule : c.joint_coupling) {
    terms.joint_coupling.push_back(std::sqrt(rule.weight) *
                                   (q.at(rule.index_a) - q.at(rule.index_b) - rule.offset));
  }
  for (const DeepFlexRegularization& rule : c.deep_flex) {
    const double s = deep_flex_activation(rule, q_prev);
    terms.deep_flex.push_back(s * std::sqrt(rule.weight) * (q.at(rule.controlled_index) - rule.target_rad));
  }
  terms.velocity.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    terms.velocity[i] = std::sqrt(positive(c.velocity_regularization.at(i))) * (q[i] - q_prev[i]);
  }
}

ObjectiveLinearization RetargetObjective::linearized_residual_and_jacobian(
    const HandKinematicsLinearization& lin, const RetargetTargetFrame& target, const std::vector<double>& q,
    const std::vector<double>& q_prev) const {
  ObjectiveLinearization out;
  linearized_residual_and_jacobian(lin, target, q, q_prev, out);
  return out;
}

void RetargetObjective::linearized_residual_and_jacobian(const HandKinematicsLinearization& lin,
                                                         const RetargetTargetFrame& target,
                                                         const std::vector<double>& q,
                                                         const std::vector<double>& q_prev,
                                                         ObjectiveLinearization& out) const {
  check_sizes(q, q_prev, q_rest_active_);
  const std::size_t n = q.size();
  clear_linearization(
      out, n, 6 * finger_order_.size() + 2 * n + config_.joint_coupling.size() + config_.deep_flex.size());
  append_tip_rows(lin, target, out.residual, out.jacobian);
  append_joint_rows(q, q_prev, out.residual, out.jacobian);
  if (out.jacobian.rows != out.residual.size()) {
    throw std::runtime_error("Objective residual and Jacobian row counts differ");
  }
}

void RetargetObjective::normal_equations(const HandKinematicsLinearization& lin,
                                         const RetargetTargetFrame& target, const std::vector<double>& q,
                                         const std::vector<double>& q_prev,
                                         ObjectiveNormalEquations& out) const {
  check_sizes(q, q_prev, q_rest_active_);
  const std::size_t n = q.size();
  ObjectiveLinearization& tips = out.tip_rows;
  clear_linearization(tips, n, 6 * finger_order_.size());
  append_tip_rows(lin, target, tips.residual, tips.jacobian);
  if (tips.jacobian.rows != tips.residual.size()) {
    throw std::runtime_error("Objective residual and Jacobian row counts differ");
  }
  tip_normal_equations(tips, out);
  add_joint_normal_equations(q, q_prev, out);
}

void RetargetObjective::add_joint_normal_equations(const std::vector<double>& q,
                                                   const std::vector<double>& q_prev,
                                                   ObjectiveNormalEquations& out) const {
  const RetargetObjectiveConfig& c = config_;
  const std::size_t n = q.size();
  // The blocks in the order of append_joint_rows, so that the cost adds up in the same order.
  const auto diagonal_block = [&](const std::vector<double>& weights, const std::vector<double>& reference) {
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) any = any || weights.at(i) > 0.0;
    if (!any) return;
    for (std::size_t i = 0; i < n; ++i) {
      const double s = std::sqrt(positive(weights[i]));
      add_joint_row(out, s * (q[i] - reference[i]), s, i);
    }
  };
  diagonal_block(c.joint_regularization, q_rest_active_);
  for (const JointCouplingRegularization& rule : c.joint_coupling) {
    const double s = std::sqrt(rule.weight);
    const double r = s * (q.at(rule.index_a) - q.at(rule.index_b) - rule.offset);
    // A rule of a joint with itself is a constant: its row is zero.
    if (rule.index_a == rule.index_b) {
      out.cost += r * r;
    } else {
      add_joint_row(out, r, s, rule.index_a, rule.index_b);
    }
  }
  for (const DeepFlexRegularization& rule : c.deep_flex) {
    const double s = deep_flex_activation(rule, q_prev) * std::sqrt(rule.weight);
    add_joint_row(out, s * (q.at(rule.controlled_index) - rule.target_rad), s, rule.controlled_index);
  }
  diagonal_block(c.velocity_regularization, q_prev);
  out.cost *= 0.5;
}

void RetargetObjective::append_tip_rows(const HandKinematicsLinearization& lin,
                                        const RetargetTargetFrame& target, std::vector<double>& r,
                                        DenseMatrix& J) const {
  const RetargetObjectiveConfig& c = config_;
  const std::size_t n = J.cols;
  // Shape.
  for (const std::string& f : finger_order_) {
    const double w = shape_term_weight(c, target, f);
    if (!(w > 0.0)) continue;
    const double sw = std::sqrt(w);
    append_scaled(r, sub(finger_at(lin.tip_positions_wrist, f), finger_at(target.target_positions, f)), sw);
    append_matrix_block(J, finger_at(lin.tip_position_jacobians, f), sw);
  }

  // Pinch.
  const Vec3& p_thumb = finger_at(lin.tip_positions_wrist, kThumb);
  const DenseMatrix& J_thumb = finger_at(lin.tip_position_jacobians, kThumb);
  for (const std::string& f : finger_order_) {
    double a = 0.0;
    const Vec3* pinch = active_pinch(c, target, f, a);
    if (pinch == nullptr) continue;
    const Vec3 d = sub(finger_at(lin.tip_positions_wrist, f), p_thumb);
    const Vec3& v = *pinch;
    const DenseMatrix& J_f = finger_at(lin.tip_position_jacobians, f);
    if (!anchored_) {
      if (J_f.rows != J_thumb.rows || J_f.cols != J_thumb.cols || J_f.data.size() != J_thumb.data.size()) {
        throw std::runtime_error("Objective Jacobian matrices have different shapes");
      }
      if (J_f.cols != J.cols) throw std::runtime_error("Objective Jacobian block has the wrong column count");
      append_scaled(r, sub(d, v), a);
      J.rows += J_f.rows;
      for (std::size_t k = 0; k < J_f.data.size(); ++k) J.data.push_back(a * (J_f.data[k] - J_thumb.data[k]));
    } else {
      const double u = anchor_ratio(c, target, f);
      if (u > 0.0) {
        const double s = a * std::sqrt(u);
        append_scaled(r, sub(v, d), s);
        append_matrix_block(J, J_thumb, s);
      }
      if (1.0 - u > 0.0) {
        const double s = a * std::sqrt(1.0 - u);
        append_scaled(r, sub(d, v), s);
        append_matrix_block(J, J_f, s);
      }
    }
  }

  const Mat3& W = lin.wrist_rotation;

  // Pad alignment.
  std::string partner;
  const double E = pad_alignment_weight(c, target, finger_order_, partner);
  if (E > 0.0) {
    const double se = std::sqrt(E);
    append_scaled(r,
                  add(column(finger_at(lin.tip_rotations_wrist, kThumb), 2),
                      column(finger_at(lin.tip_rotations_wrist, partner), 2)),
                  se);
    const DenseMatrix& omega_t = finger_at(lin.tip_angular_jacobians, kThumb);
    const DenseMatrix& omega_p = finger_at(lin.tip_angular_jacobians, partner);
    const Vec3 zw_t = column(finger_at(lin.tip_rotations_world, kThumb), 2);
    const Vec3 zw_p = column(finger_at(lin.tip_rotations_world, partner), 2);
    const std::size_t row0 = append_zero_row(J);
    append_zero_row(J);
    append_zero_row(J);
    for (std::size_t i = 0; i < n; ++i) {
      const Vec3 col = transpose_mul(
          W, add(cross(angular_column(omega_t, i), zw_t), cross(angular_column(omega_p, i), zw_p)));
      for (int k = 0; k < 3; ++k) J.data[row0 + k * n + i] = se * col[k];
    }
  }

  // Orientation.
  for (const std::string& f : finger_order_) {
    const double I = orientation_term_weight(c, target, f);
    if (!(I > 0.0)) continue;
    for (int k = 0; k < 3; ++k) {
      const double axis = axis_weight(c, k);
      if (!(axis > 0.0)) continue;
      const Mat3& R = finger_at(lin.tip_rotations_wrist, f);
      const Mat3& T = finger_at(target.target_rotations, f);
      const DenseMatrix& omega = finger_at(lin.tip_angular_jacobians, f);
      const double s = std::sqrt(I) * std::sqrt(axis);
      append_scaled(r, sub(column(R, k), column(T, k)), s);
      const Vec3 ck = column(finger_at(lin.tip_rotations_world, f), k);
      const std::size_t row0 = append_zero_row(J);
      append_zero_row(J);
      append_zero_row(J);
      for (std::size_t i = 0; i < n; ++i) {
        const Vec3 col = transpose_mul(W, cross(angular_column(omega, i), ck));
        for (int a = 0; a < 3; ++a) J.data[row0 + a * n + i] = s * col[a];
      }
    }
  }
}

void RetargetObjective::append_joint_rows(const std::vector<double>& q, const std::vector<double>& q_prev,
                                          std::vector<double>& r, DenseMatrix& J) const {
  const RetargetObjectiveConfig& c = config_;
  const std::size_t n = q.size();
  // Joint regularization towards the rest pose.
  {
    std::vector<double> diag(n);
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) {
      diag[i] = std::sqrt(positive(c.joint_regularization.at(i)));
      any = any || c.joint_regularization[i] > 0.0;
    }
    if (any) {
      for (std::size_t i = 0; i < n; ++i) r.push_back(diag[i] * (q[i] - q_rest_active_[i]));
      append_diagonal(J, diag);
    }
  }

  // Joint coupling.
  for (const JointCouplingRegularization& rule : c.joint_coupling) {
    const double s = std::sqrt(rule.weight);
    r.push_back(s * (q.at(rule.index_a) - q.at(rule.index_b) - rule.offset));
    // A rule of a joint with itself is a constant: its two entries cancel.
    const std::size_t row = append_zero_row(J);
    J.data[row + rule.index_a] += s;
    J.data[row + rule.index_b] -= s;
  }

  // Deep flex; the activation depends on q_prev only.
  for (const DeepFlexRegularization& rule : c.deep_flex) {
    const double s = deep_flex_activation(rule, q_prev) * std::sqrt(rule.weight);
    r.push_back(s * (q.at(rule.controlled_index) - rule.target_rad));
    const std::size_t row = append_zero_row(J);
    J.data[row + rule.controlled_index] = s;
  }

  // Velocity towards the previous solution.
  {
    std::vector<double> diag(n);
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) {
      diag[i] = std::sqrt(positive(c.velocity_regularization.at(i)));
      any = any || c.velocity_regularization[i] > 0.0;
    }
    if (any) {
      for (std::size_t i = 0; i < n; ++i) r.push_back(diag[i] * (q[i] - q_prev[i]));
      append_diagonal(J, diag);
    }
  }
}

bool RetargetObjective::prepare_frame(const RetargetTargetFrame& target,
                                      const std::vector<std::string>& model_fingers,
                                      ObjectiveFrame& out) const {
  const RetargetObjectiveConfig& c = config_;
  out.thumb_tip = index_of(model_fingers, kThumb);
  if (out.thumb_tip == model_fingers.size()) return false;
  out.fingers.resize(finger_order_.size());
  for (std::size_t i = 0; i < finger_order_.size(); ++i) {
    const std::string& f = finger_order_[i];
    ObjectiveFrame::Finger& e = out.fingers[i];
    e.tip = index_of(model_fingers, f);
    const auto position = target.target_positions.find(f);
    if (e.tip == model_fingers.size() || position == target.target_positions.end()) return false;
    e.shape_weight = shape_term_weight(c, target, f);
    e.target_position = position->second;
    const Vec3* pinch = active_pinch(c, target, f, e.pinch_scale);
    e.pinch = pinch != nullptr;
    if (e.pinch) e.pinch_vector = *pinch;
    if (e.pinch && anchored_) e.anchor_ratio = anchor_ratio(c, target, f);
    e.orientation_weight = orientation_term_weight(c, target, f);
    const bool any_axis = axis_weights_[0] > 0.0 || axis_weights_[1] > 0.0 || axis_weights_[2] > 0.0;
    if (e.orientation_weight > 0.0 && any_axis) {
      const auto rotation = target.target_rotations.find(f);
      if (rotation == target.target_rotations.end()) return false;
      e.target_rotation = rotation->second;
    }
  }
  std::string partner;
  out.pad_alignment_weight = pad_alignment_weight(c, target, finger_order_, partner);
  out.partner_tip = index_of(model_fingers, partner);
  return !(out.pad_alignment_weight > 0.0) || out.partner_tip != model_fingers.size();
}

void RetargetObjective::normal_equations(const HandTipKinematics& tips, const ObjectiveFrame& frame,
                                         const std::vector<double>& q, const std::vector<double>& q_prev,
                                         ObjectiveNormalEquations& out) const {
  check_sizes(q, q_prev, q_rest_active_);
  ObjectiveLinearization& rows = out.tip_rows;
  clear_linearization(rows, q.size(), 6 * finger_order_.size());
  append_tip_rows(tips, frame, rows.residual, rows.jacobian);
  tip_normal_equations(rows, out);
  add_joint_normal_equations(q, q_prev, out);
}

double RetargetObjective::cost(const HandTipKinematics& tips, const ObjectiveFrame& frame,
                               const std::vector<double>& q, const std::vector<double>& q_prev) const {
  check_sizes(q, q_prev, q_rest_active_);
  double sum = 0.0;
  add_tip_squares(tips, frame, sum);
  add_joint_squares(q, q_prev, sum);
  return 0.5 * sum;
}

// The rows of the map-based append_tip_rows, value for value, read through the frame's indices.
void RetargetObjective::append_tip_rows(const HandTipKinematics& tips, const ObjectiveFrame& frame,
                                        std::vector<double>& r, DenseMatrix& J) const {
  const std::size_t n = J.cols;
  for (const ObjectiveFrame::Finger& e : frame.fingers) {
    if (!(e.shape_weight > 0.0)) continue;
    const double sw = std::sqrt(e.shape_weight);
    append_scaled(r, sub(tips.tips[e.tip].position_wrist, e.target_position), sw);
    append_matrix_block(J, tips.tips[e.tip].position_jacobian, sw);
  }

  const TipKinematics& thumb = tips.tips[frame.thumb_tip];
  for (const ObjectiveFrame::Finger& e : frame.fingers) {
    if (!e.pinch) continue;
    const TipKinematics& tip = tips.tips[e.tip];
    const Vec3 d = sub(tip.position_wrist, thumb.position_wrist);
    const double a = e.pinch_scale;
    if (!anchored_) {
      append_scaled(r, sub(d, e.pinch_vector), a);
      J.rows += 3;
      const std::vector<double>& Jf = tip.position_jacobian.data;
      const std::vector<double>& Jt = thumb.position_jacobian.data;
      for (std::size_t k = 0; k < Jf.size(); ++k) J.data.push_back(a * (Jf[k] - Jt[k]));
    } else {
      const double u = e.anchor_ratio;
      if (u > 0.0) {
        const double s = a * std::sqrt(u);
        append_scaled(r, sub(e.pinch_vector, d), s);
        append_matrix_block(J, thumb.position_jacobian, s);
      }
      if (1.0 - u > 0.0) {
        const double s = a * std::sqrt(1.0 - u);
        append_scaled(r, sub(d, e.pinch_vector), s);
        append_matrix_block(J, tip.position_jacobian, s);
      }
    }
  }

  const Mat3& W = tips.wrist_rotation;
  if (frame.pad_alignment_weight > 0.0) {
    const TipKinematics& partner = tips.tips[frame.partner_tip];
    const double se = std::sqrt(frame.pad_alignment_weight);
    append_scaled(r, add(column(thumb.rotation_wrist, 2), column(partner.rotation_wrist, 2)), se);
    const Vec3 zw_t = column(thumb.rotation_world, 2);
    const Vec3 zw_p = column(partner.rotation_world, 2);
    const std::size_t row0 = append_zero_row(J);
    append_zero_row(J);
    append_zero_row(J);
    for (std::size_t i = 0; i < n; ++i) {
      const Vec3 col = transpose_mul(W, add(cross(angular_column(thumb.angular_jacobian, i), zw_t),
                                            cross(angular_column(partner.angular_jacobian, i), zw_p)));
      for (int k = 0; k < 3; ++k) J.data[row0 + k * n + i] = se * col[k];
    }
  }

  for (const ObjectiveFrame::Finger& e : frame.fingers) {
    if (!(e.orientation_weight > 0.0)) continue;
    const TipKinematics& tip = tips.tips[e.tip];
    for (int k = 0; k < 3; ++k) {
      const double axis = axis_weights_[static_cast<std::size_t>(k)];
      if (!(axis > 0.0)) continue;
      const double s = std::sqrt(e.orientation_weight) * std::sqrt(axis);
      append_scaled(r, sub(column(tip.rotation_wrist, k), column(e.target_rotation, k)), s);
      const Vec3 ck = column(tip.rotation_world, k);
      const std::size_t row0 = append_zero_row(J);
      append_zero_row(J);
      append_zero_row(J);
      for (std::size_t i = 0; i < n; ++i) {
        const Vec3 col = transpose_mul(W, cross(angular_column(tip.angular_jacobian, i), ck));
        for (int a = 0; a < 3; ++a) J.data[row0 + a * n + i] = s * col[a];
      }
    }
  }
}

// The squares of the map-based residual_terms' fingertip rows, value for value, in their order.
void RetargetObjective::add_tip_squares(const HandTipKinematics& tips, const ObjectiveFrame& frame,
                                        double& sum) const {
  for (const ObjectiveFrame::Finger& e : frame.fingers) {
    add_scaled_squares(sum, sub(tips.tips[e.tip].position_wrist, e.target_position),
                       std::sqrt(e.shape_weight));
  }
  const TipKinematics& thumb = tips.tips[frame.thumb_tip];
  for (const ObjectiveFrame::Finger& e : frame.fingers) {
    if (!e.pinch) continue;
    const Vec3 d = sub(tips.tips[e.tip].position_wrist, thumb.position_wrist);
    if (!anchored_) {
      add_scaled_squares(sum, sub(d, e.pinch_vector), e.pinch_scale);
    } else {
      const double u = e.anchor_ratio;
      add_scaled_squares(sum, sub(e.pinch_vector, d), e.pinch_scale * std::sqrt(u));
      add_scaled_squares(sum, sub(d, e.pinch_vector), e.pinch_scale * std::sqrt(positive(1.0 - u)));
    }
  }
  if (frame.pad_alignment_weight > 0.0) {
    const TipKinematics& partner = tips.tips[frame.partner_tip];
    add_scaled_squares(sum, add(column(thumb.rotation_wrist, 2), column(partner.rotation_wrist, 2)),
                       std::sqrt(frame.pad_alignment_weight));
  }
  for (const ObjectiveFrame::Finger& e : frame.fingers) {
    if (!(e.orientation_weight > 0.0)) continue;
    for (int k = 0; k < 3; ++k) {
      const double axis = axis_weights_[static_cast<std::size_t>(k)];
      if (!(axis > 0.0)) continue;
      add_scaled_squares(sum, sub(column(tips.tips[e.tip].rotation_wrist, k), column(e.target_rotation, k)),
                         std::sqrt(e.orientation_weight) * std::sqrt(axis));
    }
  }
}

// The squares of residual_terms' joint-space rows, value for value, in their order.
void RetargetObjective::add_joint_squares(const std::vector<double>& q, const std::vector<double>& q_prev,
                                          double& sum) const {
  const RetargetObjectiveConfig& c = config_;
  const std::size_t n = q.size();
  for (std::size_t i = 0; i < n; ++i) {
    const double r = std::sqrt(positive(c.joint_regularization.at(i))) * (q[i] - q_rest_active_[i]);
    sum += r * r;
  }
  for (const JointCouplingRegularization& rule : c.joint_coupling) {
    const double r = std::sqrt(rule.weight) * (q.at(rule.index_a) - q.at(rule.index_b) - rule.offset);
    sum += r * r;
  }
  for (const DeepFlexRegularization& rule : c.deep_flex) {
    const double r = deep_flex_activation(rule, q_prev) * std::sqrt(rule.weight) *
                     (q.at(rule.controlled_index) - rule.target_rad);
    sum += r * r;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const double r = std::sqrt(positive(c.velocity_regularization.at(i))) * (q[i] - q_prev[i]);
    sum += r * r;
  }
}

double RetargetObjective::joint_cost_bound(const std::vector<double>& q,
                                           const std::vector<double>& q_prev) const {
  const RetargetObjectiveConfig& c = config_;
  const std::vector<double>& rest = q_rest_active_;
  if (rest.size() != q.size() || q_prev.size() != q.size() || c.joint_regularization.size() != q.size() ||
      c.velocity_regularization.size() != q.size()) {
    return 0.0;  // no bound; the full evaluation reports the mismatch
  }
  double sum = 0.0;
  for (std::size_t i = 0; i < q.size(); ++i) {
    const double a = std::sqrt(positive(c.joint_regularization[i])) * (q[i] - rest[i]);
    const double b = std::sqrt(positive(c.velocity_regularization[i])) * (q[i] - q_prev[i]);
    sum += a * a + b * b;
  }
  for (const JointCouplingRegularization& rule : c.joint_coupling) {
    if (rule.index_a >= q.size() || rule.index_b >= q.size()) return 0.0;
    const double r = std::sqrt(rule.weight) * (q[rule.index_a] - q[rule.index_b] - rule.offset);
    sum += r * r;
  }
  return 0.5 * sum;
}

}  // namespace kelto::hand
