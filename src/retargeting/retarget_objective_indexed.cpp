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
