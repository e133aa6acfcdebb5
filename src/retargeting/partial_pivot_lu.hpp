// LU decomposition with partial pivoting of a small dense square matrix, on caller-owned storage so that a
// solver calling it again and again does not allocate.
#pragma once

#include <cstddef>
#include <vector>

namespace kelto::hand::detail {

// The factors of one matrix: unit lower L below the diagonal of `lu`, U on and above it, both row-major,
// and the row swapped into place k at step k in `pivots`.
struct PartialPivLU {
  std::size_t n = 0;
  std::vector<double> lu;
  std::vector<std::size_t> pivots;
};

// Factors the n x n row-major matrix `a` (copied into `out`). At each column the row whose entry is the
// largest in magnitude on or below the diagonal becomes the pivot row; a column with nothing but zeros there
// is left unscaled, so that the solve then divides by zero and its result is not finite.
void factor_partial_pivot_lu(const double* a, std::size_t n, PartialPivLU& out);

// Solves A x = b in place in `b` (n values) with the factors of A.
void solve_partial_pivot_lu(const PartialPivLU& f, double* b);

}  // namespace kelto::hand::detail
