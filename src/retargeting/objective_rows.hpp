// The helpers shared by the retargeting cost's evaluations by name and by index: the weights of the terms
// and the writing of the fingertip rows (their normal equations' products are in
// objective_normal_equations.hpp).
#pragma once

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "kinematics/vec3.hpp"
#include "retargeting/map_lookup.hpp"
#include "retargeting/names.hpp"
#include "retargeting/objective_normal_equations.hpp"
#include "retargeting/retarget_objective.hpp"

namespace kelto::hand::objective_rows {

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

inline const std::string kThumb = "thumb";
inline double positive(double w) {
  return w > 0.0 ? w : 0.0;
}

inline void append_scaled(std::vector<double>& values, const Vec3& v, double s) {
  values.push_back(s * v[0]);
  values.push_back(s * v[1]);
  values.push_back(s * v[2]);
}

inline void append_diagonal(DenseMatrix& matrix, const std::vector<double>& d) {
  const std::size_t n = matrix.cols;
  if (d.size() != n) throw std::runtime_error("Objective diagonal has the wrong size");
  const std::size_t start = matrix.data.size();
  matrix.data.resize(start + n * n, 0.0);
  for (std::size_t i = 0; i < n; ++i) matrix.data[start + i * n + i] = d[i];
  matrix.rows += n;
}

// Appends one zero Jacobian row and returns the offset of its first element.
inline std::size_t append_zero_row(DenseMatrix& matrix) {
  const std::size_t start = matrix.data.size();
  matrix.data.resize(start + matrix.cols, 0.0);
  matrix.rows += 1;
  return start;
}

inline std::string debug_string(const std::map<std::string, DiagnosticValue>& diagnostics,
                                const std::string& key) {
  const auto it = diagnostics.find(key);
  if (it == diagnostics.end()) return std::string();
  if (const std::string* text = std::get_if<std::string>(&it->second)) return *text;
  return std::string();
}

// Share of an anchored pinch correction carried by the thumb.
inline double anchor_ratio(const RetargetObjectiveConfig& config, const RetargetTargetFrame& target,
                           const std::string& finger) {
  const double s_t = positive(1.0 - positive(value_or(target.shape_weights, kThumb, 1.0)));
  const double s_f = positive(1.0 - positive(value_or(target.shape_weights, finger, 1.0)));
  if (!config.pinch_fixed_anchor_ratio && s_t + s_f > 1e-9) return s_t / (s_t + s_f);
  return std::min(std::max(config.pinch_thumb_anchor_ratio, 0.0), 1.0);
}

inline double deep_flex_activation(const DeepFlexRegularization& rule, const std::vector<double>& q_prev) {
  const double m = (q_prev.at(rule.driver_index) - rule.start_rad) / (rule.full_rad - rule.start_rad);
  if (m <= 0.0) return 0.0;
  if (m >= 1.0) return 1.0;
  return m * m * (3.0 - 2.0 * m);
}

// Column i of an angular Jacobian (3 rows, world axes).
inline Vec3 angular_column(const DenseMatrix& omega, std::size_t i) {
  if (omega.rows < 3 || i >= omega.cols || omega.data.size() < 3 * omega.cols) {
    throw std::out_of_range("Objective angular Jacobian has too few columns");
  }
  return {omega.data[i], omega.data[omega.cols + i], omega.data[2 * omega.cols + i]};
}

// Weight of finger f's tip position term.
inline double shape_term_weight(const RetargetObjectiveConfig& c, const RetargetTargetFrame& target,
                                const std::string& f) {
  return positive(c.shape_weight * value_or(target.shape_weights, f, 1.0));
}

// The thumb-to-finger vector finger f is held to, with the square root of that term's weight in `scale`;
// null when f has no active pinch this frame.
inline const Vec3* active_pinch(const RetargetObjectiveConfig& c, const RetargetTargetFrame& target,
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
inline double pad_alignment_weight(const RetargetObjectiveConfig& c, const RetargetTargetFrame& target,
                                   const std::vector<std::string>& finger_order, std::string& partner) {
  partner = debug_string(target.diagnostics, "pinch_strongest_partner");
  if (partner == kThumb || !contains_name(finger_order, partner)) return 0.0;
  return positive(c.pinch_pad_alignment_weight * value_or(target.pinch_weights, partner, 0.0));
}

// Weight of finger f's tip orientation terms, before the per-axis weights.
inline double orientation_term_weight(const RetargetObjectiveConfig& c, const RetargetTargetFrame& target,
                                      const std::string& f) {
  return positive(c.orientation_weight * value_or(target.orientation_weights, f, 1.0) *
                  value_or(c.orientation_by_finger, f, 1.0));
}

// Weight of the tip axis k; zero when that axis is not held.
inline double axis_weight(const RetargetObjectiveConfig& c, int k) {
  const auto axis = c.orientation_axis_weights.find(kAxisNames[k]);
  if (axis == c.orientation_axis_weights.end() || !(axis->second > 0.0)) return 0.0;
  return axis->second;
}

inline void check_sizes(const std::vector<double>& q, const std::vector<double>& q_prev,
                        const std::vector<double>& q_rest) {
  if (q.size() != q_prev.size() || q_rest.size() != q.size()) {
    throw std::runtime_error("Objective joint vectors have different sizes");
  }
}

// Empties `out` for n columns, keeping its storage, with room for `rows` rows.
inline void clear_linearization(ObjectiveLinearization& out, std::size_t n, std::size_t rows) {
  out.residual.clear();
  out.jacobian.data.clear();
  out.jacobian.rows = 0;
  out.jacobian.cols = n;
  out.residual.reserve(rows);
  out.jacobian.data.reserve(rows * n);
}

// Sizes `out` for `rows` rows of n columns without clearing it: the writer of the rows sets every entry.
inline void size_rows(ObjectiveLinearization& out, std::size_t n, std::size_t rows) {
  out.residual.resize(rows);
  out.jacobian.rows = rows;
  out.jacobian.cols = n;
  out.jacobian.data.resize(rows * n);
}

inline std::uint64_t bits(double v) {
  std::uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

// Position of `name` in `names`, or names.size().
inline std::size_t index_of(const std::vector<std::string>& names, const std::string& name) {
  return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

inline void add_scaled_squares(double& sum, const Vec3& v, double s) {
  for (int a = 0; a < 3; ++a) {
    const double value = s * v[a];
    sum += value * value;
  }
}

// The fingertips and targets of one evaluation, by index into a prepared frame: finger i of the
// objective's order, and the tips in the model's finger order.
struct IndexedTips {
  const HandTipKinematics& kinematics;
  const ObjectiveFrame& frame;

  std::size_t count() const { return frame.fingers.size(); }
  std::size_t finger(std::size_t i) const { return frame.fingers[i].tip; }
  std::size_t thumb() const { return frame.thumb_tip; }
  std::size_t partner() const { return frame.partner_tip; }
  const Mat3& wrist_rotation() const { return kinematics.wrist_rotation; }
  const Vec3& position(std::size_t t) const { return kinematics.tips[t].position_wrist; }
  const Mat3& rotation_wrist(std::size_t t) const { return kinematics.tips[t].rotation_wrist; }
  const Mat3& rotation_world(std::size_t t) const { return kinematics.tips[t].rotation_world; }
  const DenseMatrix& position_jacobian(std::size_t t) const { return kinematics.tips[t].position_jacobian; }
  const DenseMatrix& angular_jacobian(std::size_t t) const { return kinematics.tips[t].angular_jacobian; }

  double shape_weight(std::size_t i) const { return frame.fingers[i].shape_weight; }
  const Vec3& target_position(std::size_t i) const { return frame.fingers[i].target_position; }
  const Vec3* pinch(std::size_t i, double& scale) const {
    const ObjectiveFrame::Finger& e = frame.fingers[i];
    if (!e.pinch) return nullptr;
    scale = e.pinch_scale;
    return &e.pinch_vector;
  }
  double anchor_ratio(std::size_t i) const { return frame.fingers[i].anchor_ratio; }
  double pad_weight() const { return frame.pad_alignment_weight; }
  double orientation_weight(std::size_t i) const { return frame.fingers[i].orientation_weight; }
  const Mat3& target_rotation(std::size_t i) const { return frame.fingers[i].target_rotation; }
};

// The same by finger name over a kinematics state or linearization and a target frame: the weights are
// worked out when read, each tip or target is looked up strictly when a term reads it (a missing one
// throws std::out_of_range "map::at:  key not found").
template <typename Kinematics>
struct NamedTips {
  NamedTips(const Kinematics& k, const RetargetObjectiveConfig& c, const RetargetTargetFrame& t,
            const std::vector<std::string>& order)
      : kinematics(k), config(c), target(t), fingers(order) {
    pad = pad_alignment_weight(config, target, fingers, partner_name);
  }

  const Kinematics& kinematics;
  const RetargetObjectiveConfig& config;
  const RetargetTargetFrame& target;
  const std::vector<std::string>& fingers;
  std::string partner_name;
  double pad = 0.0;

  std::size_t count() const { return fingers.size(); }
  const std::string& finger(std::size_t i) const { return fingers[i]; }
  const std::string& thumb() const { return kThumb; }
  const std::string& partner() const { return partner_name; }
  const Mat3& wrist_rotation() const { return kinematics.wrist_rotation; }
  const Vec3& position(const std::string& f) const { return finger_at(kinematics.tip_positions_wrist, f); }
  const Mat3& rotation_wrist(const std::string& f) const {
    return finger_at(kinematics.tip_rotations_wrist, f);
  }
  const Mat3& rotation_world(const std::string& f) const {
    return finger_at(kinematics.tip_rotations_world, f);
  }
  const DenseMatrix& position_jacobian(const std::string& f) const {
    return finger_at(kinematics.tip_position_jacobians, f);
  }
  const DenseMatrix& angular_jacobian(const std::string& f) const {
    return finger_at(kinematics.tip_angular_jacobians, f);
  }

  double shape_weight(std::size_t i) const { return shape_term_weight(config, target, fingers[i]); }
  const Vec3& target_position(std::size_t i) const { return finger_at(target.target_positions, fingers[i]); }
  const Vec3* pinch(std::size_t i, double& scale) const {
    return active_pinch(config, target, fingers[i], scale);
  }
  double anchor_ratio(std::size_t i) const {
    return objective_rows::anchor_ratio(config, target, fingers[i]);
  }
  double pad_weight() const { return pad; }
  double orientation_weight(std::size_t i) const {
    return orientation_term_weight(config, target, fingers[i]);
  }
  const Mat3& target_rotation(std::size_t i) const { return finger_at(target.target_rotations, fingers[i]); }
};

// The fingertip terms in the order in which the cost joins them.
enum class TipTerm { shape, pinch, pad_alignment, orientation };

// Every fingertip residual triple, zero ones included, as sink(term, v, s) for the residual s·v, in the
// cost's order.
template <typename Tips, typename Sink>
void tip_terms(const Tips& tips, bool anchored, const std::array<double, 3>& axis_weights, Sink&& sink) {
  for (std::size_t i = 0; i < tips.count(); ++i) {
    sink(TipTerm::shape, sub(tips.position(tips.finger(i)), tips.target_position(i)),
         std::sqrt(tips.shape_weight(i)));
  }
  const Vec3& p_thumb = tips.position(tips.thumb());
  for (std::size_t i = 0; i < tips.count(); ++i) {
    double a = 0.0;
    const Vec3* pinch = tips.pinch(i, a);
    if (pinch == nullptr) continue;
    const Vec3 d = sub(tips.position(tips.finger(i)), p_thumb);
    const Vec3& v = *pinch;
    if (!anchored) {
      sink(TipTerm::pinch, sub(d, v), a);
    } else {
      const double u = tips.anchor_ratio(i);
      sink(TipTerm::pinch, sub(v, d), a * std::sqrt(u));
      sink(TipTerm::pinch, sub(d, v), a * std::sqrt(positive(1.0 - u)));
    }
  }
  const double E = tips.pad_weight();
  if (E > 0.0) {
    sink(TipTerm::pad_alignment,
         add(column(tips.rotation_wrist(tips.thumb()), 2), column(tips.rotation_wrist(tips.partner()), 2)),
         std::sqrt(E));
  }
  for (std::size_t i = 0; i < tips.count(); ++i) {
    const double I = tips.orientation_weight(i);
    if (!(I > 0.0)) continue;
    for (int k = 0; k < 3; ++k) {
      const double axis = axis_weights[static_cast<std::size_t>(k)];
      if (!(axis > 0.0)) continue;
      // The rotations are needed only for the axes held.
      const Mat3& R = tips.rotation_wrist(tips.finger(i));
      const Mat3& T = tips.target_rotation(i);
      sink(TipTerm::orientation, sub(column(R, k), column(T, k)), std::sqrt(I) * std::sqrt(axis));
    }
  }
}

// The number of fingertip rows that write_tip_rows writes: the terms that can be non-zero, three rows each.
template <typename Tips>
std::size_t tip_row_count(const Tips& tips, bool anchored, const std::array<double, 3>& axis_weights) {
  std::size_t terms = 0;
  for (std::size_t i = 0; i < tips.count(); ++i) terms += tips.shape_weight(i) > 0.0;
  for (std::size_t i = 0; i < tips.count(); ++i) {
    double a = 0.0;
    if (tips.pinch(i, a) == nullptr) continue;
    const double u = anchored ? tips.anchor_ratio(i) : 0.0;
    terms += anchored ? (u > 0.0) + (1.0 - u > 0.0) : 1;
  }
  terms += tips.pad_weight() > 0.0;
  const std::size_t axes = (axis_weights[0] > 0.0) + (axis_weights[1] > 0.0) + (axis_weights[2] > 0.0);
  for (std::size_t i = 0; i < tips.count(); ++i) terms += tips.orientation_weight(i) > 0.0 ? axes : 0;
  return 3 * terms;
}

// Writes the next three rows, residual and Jacobian, of sized storage in place.
struct RowCursor {
  double* r;
  double* J;
  std::size_t n;
  // Where the blocks' column lists go (see tip_normal_equations); none when null.
  std::size_t* columns = nullptr;
  std::size_t* ends = nullptr;
  // With the lists recorded, the columns of joints that do not turn a tip are left out of its axis rows
  // when the wrist rotation is finite.
  bool finite_wrist = false;
  bool consistent = true;  // false once a position Jacobian was not three rows of n entries
  std::size_t listed = 0, blocks = 0;

  // Writes s·v into the next three residual rows and returns the next three Jacobian rows.
  double* next(const Vec3& v, double s) {
    r[0] = s * v[0];
    r[1] = s * v[1];
    r[2] = s * v[2];
    r += 3;
    double* rows = J;
    J += 3 * n;
    return rows;
  }
  void end_block() {
    if (ends != nullptr) ends[blocks++] = listed;
  }
  // Lists the columns of the three rows at `rows` that have an entry other than +0 or -0.
  void record(const double* rows) {
    if (columns == nullptr) return;
    // In locals: the stores into `columns` could otherwise change the members for all the compiler knows.
    const std::size_t width = n;
    std::size_t* list = columns;
    std::size_t m = listed;
    for (std::size_t i = 0; i < width; ++i) {
      list[m] = i;
      m += ((bits(rows[i]) | bits(rows[width + i]) | bits(rows[2 * width + i])) << 1) != 0;
    }
    listed = m;
    end_block();
  }
  // Whether `block` can be written as three rows; it throws when its width is not n.
  bool fits(const DenseMatrix& block) {
    if (block.cols != n) throw std::runtime_error("Objective Jacobian block has the wrong column count");
    consistent = consistent && block.rows == 3 && block.data.size() == 3 * n;
    return block.rows == 3 && block.data.size() == 3 * n;
  }
};

inline void write_scaled(double* rows, const DenseMatrix& block, double s) {
  for (std::size_t k = 0; k < block.data.size(); ++k) rows[k] = s * block.data[k];
}

// Throws as angular_column does when `omega` lacks a column of the n read.
inline void check_angular_columns(const DenseMatrix& omega, std::size_t n) {
  if (n > 0) angular_column(omega, n - 1);
}

inline Vec3 angular_column_unchecked(const DenseMatrix& omega, std::size_t i) {
  return {omega.data[i], omega.data[omega.cols + i], omega.data[2 * omega.cols + i]};
}

// The rows s·Wᵀ(ω_i × axis) of a tip axis held, ω_i the angular Jacobian's column of joint i. A zero ω_i
// with a finite W, axis and s gives zeros (of either sign, which no sum over the listed columns sees);
// those are written as +0 and not listed when the cursor may leave them out.
inline void write_axis_rows(RowCursor& out, double* rows, const Mat3& W, const DenseMatrix& omega,
                            const Vec3& axis, double s) {
  const std::size_t n = out.n;
  const bool skip = out.columns != nullptr && out.finite_wrist && all_finite(axis) && std::isfinite(s);
  std::size_t* list = out.columns;
  std::size_t m = out.listed;
  for (std::size_t i = 0; i < n; ++i) {
    const Vec3 w = angular_column_unchecked(omega, i);
    if (skip && ((bits(w[0]) | bits(w[1]) | bits(w[2])) << 1) == 0) {
      rows[i] = rows[n + i] = rows[2 * n + i] = 0.0;
      continue;
    }
    const Vec3 col = transpose_mul(W, cross(w, axis));
    for (std::size_t a = 0; a < 3; ++a) rows[a * n + i] = s * col[a];
    if (list != nullptr) list[m++] = i;
  }
  out.listed = m;
  out.end_block();
}

// The rows of the shape, pinch, pad alignment and orientation terms that can be non-zero, with their
// derivatives, from the first rows of r and J on (sized by tip_row_count). Reads each tip and target
// when its term needs it, the checks of a term before its rows. False when a position Jacobian is not
// three rows of J's width (its rows are then left unwritten).
template <typename Tips>
bool write_tip_rows(const Tips& tips, bool anchored, const std::array<double, 3>& axis_weights,
                    RowCursor& out) {
  const std::size_t n = out.n;
  for (std::size_t i = 0; i < tips.count(); ++i) {
    const double w = tips.shape_weight(i);
    if (!(w > 0.0)) continue;
    const double sw = std::sqrt(w);
    const auto& f = tips.finger(i);
    double* rows = out.next(sub(tips.position(f), tips.target_position(i)), sw);
    const DenseMatrix& block = tips.position_jacobian(f);
    if (out.fits(block)) write_scaled(rows, block, sw);
    out.record(rows);
  }

  const auto& thumb = tips.thumb();
  const Vec3& p_thumb = tips.position(thumb);
  const DenseMatrix& J_thumb = tips.position_jacobian(thumb);
  for (std::size_t i = 0; i < tips.count(); ++i) {
    double a = 0.0;
    const Vec3* pinch = tips.pinch(i, a);
    if (pinch == nullptr) continue;
    const auto& f = tips.finger(i);
    const Vec3 d = sub(tips.position(f), p_thumb);
    const Vec3& v = *pinch;
    const DenseMatrix& J_f = tips.position_jacobian(f);
    if (!anchored) {
      if (J_f.rows != J_thumb.rows || J_f.cols != J_thumb.cols || J_f.data.size() != J_thumb.data.size()) {
        throw std::runtime_error("Objective Jacobian matrices have different shapes");
      }
      double* rows = out.next(sub(d, v), a);
      if (out.fits(J_f)) {
        for (std::size_t k = 0; k < J_f.data.size(); ++k) rows[k] = a * (J_f.data[k] - J_thumb.data[k]);
      }
      out.record(rows);
    } else {
      const double u = tips.anchor_ratio(i);
      if (u > 0.0) {
        const double s = a * std::sqrt(u);
        double* rows = out.next(sub(v, d), s);
        if (out.fits(J_thumb)) write_scaled(rows, J_thumb, s);
        out.record(rows);
      }
      if (1.0 - u > 0.0) {
        const double s = a * std::sqrt(1.0 - u);
        double* rows = out.next(sub(d, v), s);
        if (out.fits(J_f)) write_scaled(rows, J_f, s);
        out.record(rows);
      }
    }
  }

  const Mat3& W = tips.wrist_rotation();
  const double E = tips.pad_weight();
  if (E > 0.0) {
    const auto& partner = tips.partner();
    const double se = std::sqrt(E);
    const Vec3 z_t = column(tips.rotation_wrist(thumb), 2), z_p = column(tips.rotation_wrist(partner), 2);
    const DenseMatrix& omega_t = tips.angular_jacobian(thumb);
    const DenseMatrix& omega_p = tips.angular_jacobian(partner);
    const Vec3 zw_t = column(tips.rotation_world(thumb), 2);
    const Vec3 zw_p = column(tips.rotation_world(partner), 2);
    double* rows = out.next(add(z_t, z_p), se);
    check_angular_columns(omega_t, n);
    check_angular_columns(omega_p, n);
    for (std::size_t i = 0; i < n; ++i) {
      const Vec3 col = transpose_mul(W, add(cross(angular_column_unchecked(omega_t, i), zw_t),
                                            cross(angular_column_unchecked(omega_p, i), zw_p)));
      for (std::size_t k = 0; k < 3; ++k) rows[k * n + i] = se * col[k];
    }
    out.record(rows);
  }

  for (std::size_t i = 0; i < tips.count(); ++i) {
    const double I = tips.orientation_weight(i);
    if (!(I > 0.0)) continue;
    const auto& f = tips.finger(i);
    for (int k = 0; k < 3; ++k) {
      const double axis = axis_weights[static_cast<std::size_t>(k)];
      if (!(axis > 0.0)) continue;
      const Mat3& R = tips.rotation_wrist(f);
      const Mat3& T = tips.target_rotation(i);
      const DenseMatrix& omega = tips.angular_jacobian(f);
      const double s = std::sqrt(I) * std::sqrt(axis);
      const Vec3 ck = column(tips.rotation_world(f), k);
      double* rows = out.next(sub(column(R, k), column(T, k)), s);
      check_angular_columns(omega, n);
      write_axis_rows(out, rows, W, omega, ck, s);
    }
  }
  return out.consistent;
}

// The fingertip rows of `tips` into `out` from its first row on (sized for them, n columns), as the
// map-based evaluation writes them; false as write_tip_rows.
template <typename Tips>
bool write_exact_tip_rows(const Tips& tips, bool anchored, const std::array<double, 3>& axis_weights,
                          ObjectiveLinearization& out) {
  RowCursor cursor{out.residual.data(), out.jacobian.data.data(), out.jacobian.cols};
  return write_tip_rows(tips, anchored, axis_weights, cursor);
}

// The fingertip rows of `tips` into out.tip_rows (n columns), with their blocks' column lists, and their
// normal equations into `out`.
template <typename Tips>
void tip_rows_normal_equations(const Tips& tips, bool anchored, const std::array<double, 3>& axis_weights,
                               std::size_t n, ObjectiveNormalEquations& out) {
  ObjectiveLinearization& rows = out.tip_rows;
  const std::size_t count = tip_row_count(tips, anchored, axis_weights);
  size_rows(rows, n, count);
  out.nonzero_columns.resize(count / 3 * n);
  out.block_ends.resize(count / 3);
  const Mat3& W = tips.wrist_rotation();
  RowCursor cursor{rows.residual.data(),       rows.jacobian.data.data(), n,
                   out.nonzero_columns.data(), out.block_ends.data(),     all_finite(W)};
  if (!write_tip_rows(tips, anchored, axis_weights, cursor)) {
    throw std::runtime_error("Objective residual and Jacobian row counts differ");
  }
  tip_normal_equations(rows, out, [&] { write_exact_tip_rows(tips, anchored, axis_weights, rows); });
}

}  // namespace kelto::hand::objective_rows
