// The helpers shared by the retargeting cost's evaluations by name and by index: the weights of the terms,
// the appending of rows and the normal equations' pieces.
#pragma once

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "kinematics/vec3.hpp"
#include "retargeting/map_lookup.hpp"
#include "retargeting/names.hpp"
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

inline void append_matrix_block(DenseMatrix& matrix, const DenseMatrix& block, double s) {
  if (block.cols != matrix.cols)
    throw std::runtime_error("Objective Jacobian block has the wrong column count");
  matrix.rows += block.rows;
  for (double value : block.data) matrix.data.push_back(s * value);
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

// JᵀJ of the row-major J into A over each row's non-zero entries, the rows added one after the other as
// the dense product adds them, so the sums are the same; the lower triangle mirrors the upper. False, with
// A unfinished, when J has an entry that is not finite (whose product with a zero is not zero).
inline bool sparse_gram(const DenseMatrix& J, std::vector<std::size_t>& nonzero, std::vector<double>& A) {
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
inline void tip_normal_equations(const ObjectiveLinearization& tips, ObjectiveNormalEquations& out) {
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
inline void add_joint_row(ObjectiveNormalEquations& out, double r, double s, std::size_t a,
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
inline std::size_t index_of(const std::vector<std::string>& names, const std::string& name) {
  return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

inline void add_scaled_squares(double& sum, const Vec3& v, double s) {
  for (int a = 0; a < 3; ++a) {
    const double value = s * v[a];
    sum += value * value;
  }
}

}  // namespace kelto::hand::objective_rows
