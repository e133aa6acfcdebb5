#include "retargeting/retarget_objective.hpp"

#include <stdexcept>
#include <utility>

#include "retargeting/objective_rows.hpp"

namespace kelto::hand {

using namespace objective_rows;

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

}  // namespace kelto::hand
