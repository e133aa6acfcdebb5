#include "retargeting/partial_pivot_lu.hpp"

#include <algorithm>
#include <cmath>

namespace kelto::hand::detail {
namespace {

// The first row at or below k whose entry in column k is the largest in magnitude.
std::size_t pivot_row(const std::vector<double>& lu, std::size_t n, std::size_t k) {
  std::size_t best_row = k;
  double best = std::abs(lu[k * n + k]);
  for (std::size_t i = k + 1; i < n; ++i) {
    const double value = std::abs(lu[i * n + k]);
    if (value > best) {
      best = value;
      best_row = i;
    }
  }
  return best_row;
}

// Scales column k below the pivot into L's multipliers and removes the pivot row from the rows below.
void eliminate(std::vector<double>& lu, std::size_t n, std::size_t k) {
  const double* pivot = &lu[k * n];
  const double diagonal = pivot[k];
  for (std::size_t i = k + 1; i < n; ++i) {
    double* row = &lu[i * n];
    row[k] /= diagonal;
    const double l = row[k];
    for (std::size_t j = k + 1; j < n; ++j) row[j] -= l * pivot[j];
  }
}

}  // namespace

void factor_partial_pivot_lu(const double* a, std::size_t n, PartialPivLU& out) {
  out.n = n;
  out.lu.assign(a, a + n * n);
  out.pivots.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t p = pivot_row(out.lu, n, k);
    out.pivots[k] = p;
    if (out.lu[p * n + k] == 0.0) continue;  // nothing to eliminate with; U keeps the zero
    if (p != k) std::swap_ranges(&out.lu[k * n], &out.lu[k * n] + n, &out.lu[p * n]);
    eliminate(out.lu, n, k);
  }
}

void solve_partial_pivot_lu(const PartialPivLU& f, double* b) {
  const std::size_t n = f.n;
  for (std::size_t k = 0; k < n; ++k) std::swap(b[k], b[f.pivots[k]]);
  for (std::size_t i = 0; i < n; ++i) {
    const double* row = &f.lu[i * n];
    double sum = b[i];
    for (std::size_t j = 0; j < i; ++j) sum -= row[j] * b[j];
    b[i] = sum;
  }
  for (std::size_t i = n; i-- > 0;) {
    const double* row = &f.lu[i * n];
    double sum = b[i];
    for (std::size_t j = i + 1; j < n; ++j) sum -= row[j] * b[j];
    b[i] = sum / row[i];
  }
}

}  // namespace kelto::hand::detail
