// The retargeting cost over a frame prepared once per solve, with the fingertips read by index.
#include "retargeting/retarget_objective.hpp"

#include "retargeting/objective_rows.hpp"

namespace kelto::hand {

using namespace objective_rows;

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
  tip_rows_normal_equations(IndexedTips{tips, frame}, anchored_, axis_weights_, q.size(), out);
  add_joint_normal_equations(q, q_prev, out);
}

double RetargetObjective::cost(const HandTipKinematics& tips, const ObjectiveFrame& frame,
                               const std::vector<double>& q, const std::vector<double>& q_prev) const {
  check_sizes(q, q_prev, q_rest_active_);
  double sum = 0.0;
  tip_terms(IndexedTips{tips, frame}, anchored_, axis_weights_,
            [&sum](TipTerm, const Vec3& v, double s) { add_scaled_squares(sum, v, s); });
  add_joint_squares(q, q_prev, sum);
  return 0.5 * sum;
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
