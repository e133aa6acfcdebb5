// The normal equations' pieces of the retargeting cost: JᵀJ and Jᵀr of the fingertip rows over the columns
// that can hold entries other than zero, and the joint-space rows added straight into them.
#pragma once

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <vector>

#include "retargeting/retarget_objective.hpp"

namespace kelto::hand::objective_rows {

// JᵀJ of the blocks' rows into A (n x n, the upper triangle, then mirrored) over the recorded columns. Each
// entry adds its products row after row as the dense product adds them; a product left out has a zero
// factor, and adding the zero to a sum that starts at +0 changes nothing (the sum cannot become -0), so the
// sums are the same while every entry is finite.
inline void block_gram(const DenseMatrix& J, const std::vector<std::size_t>& columns,
                       const std::vector<std::size_t>& ends, std::vector<double>& A) {
  const std::size_t n = J.cols;
  // The upper triangle starts at zero; the lower one is copied from it at the end.
  for (std::size_t i = 0; i < n; ++i) std::fill(A.begin() + i * n + i, A.begin() + (i + 1) * n, 0.0);
  std::size_t begin = 0;
  for (std::size_t b = 0; b < ends.size(); ++b) {
    const double* r0 = J.data.data() + 3 * b * n;
    const double* r1 = r0 + n;
    const double* r2 = r1 + n;
    const std::size_t* c = columns.data();
    for (std::size_t a = begin; a < ends[b]; ++a) {
      const std::size_t i = c[a];
      const double x0 = r0[i], x1 = r1[i], x2 = r2[i];
      double* Ai = A.data() + i * n;
      for (std::size_t k = a; k < ends[b]; ++k) {
        const std::size_t j = c[k];
        double sum = Ai[j];
        sum += x0 * r0[j];
        sum += x1 * r1[j];
        sum += x2 * r2[j];
        Ai[j] = sum;
      }
    }
    begin = ends[b];
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) A[j * n + i] = A[i * n + j];
  }
}

// Jᵀr of the blocks' rows into g over the recorded columns, each entry adding its products row after row
// from +0 as the dense matrix-vector product adds them (the same sums while J and r are finite).
inline void block_transpose_product(const DenseMatrix& J, const std::vector<double>& r,
                                    const std::vector<std::size_t>& columns,
                                    const std::vector<std::size_t>& ends, std::vector<double>& g) {
  const std::size_t n = J.cols;
  Eigen::Map<Eigen::VectorXd>(g.data(), static_cast<Eigen::Index>(g.size())).setZero();
  std::size_t begin = 0;
  for (std::size_t b = 0; b < ends.size(); ++b) {
    const double* r0 = J.data.data() + 3 * b * n;
    const double e0 = r[3 * b], e1 = r[3 * b + 1], e2 = r[3 * b + 2];
    for (std::size_t a = begin; a < ends[b]; ++a) {
      const std::size_t i = columns[a];
      double sum = g[i];
      sum += r0[i] * e0;
      sum += r0[n + i] * e1;
      sum += r0[2 * n + i] * e2;
      g[i] = sum;
    }
    begin = ends[b];
  }
}

// True when every diagonal entry of the n x n A is finite: each finite entry of J adds a finite square
// to one of them, a non-finite entry makes its sum non-finite.
inline bool finite_diagonal(const std::vector<double>& A, std::size_t n) {
  bool finite = true;
  for (std::size_t i = 0; i < n; ++i) finite = finite && std::isfinite(A[i * n + i]);
  return finite;
}

// Whether every value of `values` (a vector, an array) is finite.
template <typename Values>
bool all_finite(const Values& values) {
  return std::all_of(std::begin(values), std::end(values), [](double v) { return std::isfinite(v); });
}

// JᵀJ, Jᵀr and the sum of squares of the fingertip rows, which come in blocks of three (one vector term
// each) whose columns with entries other than zero are listed in out.nonzero_columns and out.block_ends
// (the entries of the other columns are zeros). The products over those columns while J is finite, the
// dense ones otherwise (a non-finite entry times a zero is not zero), after `exact_rows` has written
// the rows again as the map-based evaluation writes them. Jᵀr over the columns also needs a finite r, at
// least two columns (the dense product of one column is a dot product, added up in another order) and
// fewer than 128 rows (the dense product adds longer columns in parts).
template <typename ExactRows>
void tip_normal_equations(const ObjectiveLinearization& tips, ObjectiveNormalEquations& out,
                          ExactRows&& exact_rows) {
  using RowMajorMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
  const DenseMatrix& Jd = tips.jacobian;
  const auto n = static_cast<Eigen::Index>(Jd.cols);
  const auto rows = static_cast<Eigen::Index>(Jd.rows);
  out.JtJ.rows = out.JtJ.cols = Jd.cols;
  out.JtJ.data.resize(Jd.cols * Jd.cols);
  out.g.resize(Jd.cols);
  Eigen::Map<Eigen::MatrixXd> JtJ(out.JtJ.data.data(), n, n);
  Eigen::Map<Eigen::VectorXd> g(out.g.data(), n);
  double sum = 0.0;
  for (double value : tips.residual) sum += value * value;
  out.cost = sum;
  if (rows == 0) {
    JtJ.setZero();
    g.setZero();
    return;
  }
  const Eigen::Map<const RowMajorMatrix> J(Jd.data.data(), rows, n);
  const Eigen::Map<const Eigen::VectorXd> r(tips.residual.data(), rows);
  block_gram(Jd, out.nonzero_columns, out.block_ends, out.JtJ.data);
  const bool finite = finite_diagonal(out.JtJ.data, Jd.cols) || all_finite(Jd.data);
  const bool sparse_g = finite && std::isfinite(sum) && Jd.cols >= 2 && Jd.rows < 128;
  if (!finite || !sparse_g) exact_rows();
  if (!finite) JtJ.noalias() = J.transpose() * J;
  if (sparse_g) {
    block_transpose_product(Jd, tips.residual, out.nonzero_columns, out.block_ends, out.g);
  } else {
    g.noalias() = J.transpose() * r;
  }
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

}  // namespace kelto::hand::objective_rows
