#include "retargeting/retarget_objective.hpp"

#include <stdexcept>
#include <utility>

#include "retargeting/objective_rows.hpp"

namespace kelto::hand {

using namespace objective_rows;

namespace {

std::vector<double>& terms_of(ObjectiveResidualTerms& terms, TipTerm term) {
  switch (term) {
    case TipTerm::shape:
      return terms.shape;
    case TipTerm::pinch:
      return terms.pinch;
    case TipTerm::pad_alignment:
      return terms.pinch_pad_alignment;
    case TipTerm::orientation:
      break;
  }
  return terms.orientation;
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
  tip_terms(NamedTips<HandKinematicsState>(state, c, target, finger_order_), anchored_, axis_weights_,
            [&terms](TipTerm term, const Vec3& v, double s) { append_scaled(terms_of(terms, term), v, s); });

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
  const NamedTips<HandKinematicsLinearization> tips(lin, config_, target, finger_order_);
  size_rows(out, n, tip_row_count(tips, anchored_, axis_weights_));
  const bool consistent = write_exact_tip_rows(tips, anchored_, axis_weights_, out);
  append_joint_rows(q, q_prev, out.residual, out.jacobian);
  if (!consistent || out.jacobian.rows != out.residual.size()) {
    throw std::runtime_error("Objective residual and Jacobian row counts differ");
  }
}

void RetargetObjective::normal_equations(const HandKinematicsLinearization& lin,
                                         const RetargetTargetFrame& target, const std::vector<double>& q,
                                         const std::vector<double>& q_prev,
                                         ObjectiveNormalEquations& out) const {
  check_sizes(q, q_prev, q_rest_active_);
  const NamedTips<HandKinematicsLinearization> tips(lin, config_, target, finger_order_);
  tip_rows_normal_equations(tips, anchored_, axis_weights_, q.size(), out);
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
