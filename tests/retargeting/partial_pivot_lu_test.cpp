// The solver's LU against Eigen's on general, ill-conditioned, pivot-needing and singular systems.
#include "retargeting/partial_pivot_lu.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace kelto::hand::detail {
namespace {

using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

std::vector<double> lu_solve(const RowMajor& a, const Eigen::VectorXd& b) {
  PartialPivLU f;
  factor_partial_pivot_lu(a.data(), static_cast<std::size_t>(a.rows()), f);
  std::vector<double> x(b.data(), b.data() + b.size());
  solve_partial_pivot_lu(f, x.data());
  return x;
}

TEST(PartialPivotLU, AgreesWithEigen) {
  struct Row {
    std::string name;
    int n;
    double diagonal;  // added to a random matrix; large values make it diagonally dominant
    bool symmetric;
    double agreement;  // relative to the largest element of the solution; rounding grows with the condition
  };
  const std::vector<Row> rows = {{"1 x 1", 1, 0.0, false, 1e-15},
                                 {"general 5 x 5", 5, 0.0, false, 1e-12},
                                 {"general 17 x 17", 17, 0.0, false, 1e-10},
                                 {"damped Gram 17 x 17", 17, 1e-4, true, 1e-8},
                                 {"nearly singular Gram", 17, 1e-9, true, 1e-5},
                                 {"general 40 x 40", 40, 0.0, false, 1e-10}};
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RowMajor a(row.n, row.n);
    for (int i = 0; i < row.n; ++i)
      for (int j = 0; j < row.n; ++j) a(i, j) = u(rng);
    if (row.symmetric) {
      const RowMajor j = a.topRows(row.n / 3 + 1);  // a rank-deficient Gram matrix, as JᵀJ of few rows
      a = j.transpose() * j;
    }
    a.diagonal().array() += row.diagonal;
    Eigen::VectorXd b(row.n);
    for (int i = 0; i < row.n; ++i) b[i] = u(rng);
    const Eigen::VectorXd expected = Eigen::MatrixXd(a).partialPivLu().solve(b);
    const std::vector<double> got = lu_solve(a, b);
    const double scale = expected.cwiseAbs().maxCoeff();
    for (int i = 0; i < row.n; ++i) EXPECT_NEAR(got[i], expected[i], row.agreement * scale) << i;
    // The solution solves the system, whatever Eigen's rounding.
    const Eigen::VectorXd x = Eigen::Map<const Eigen::VectorXd>(got.data(), row.n);
    EXPECT_LE((a * x - b).norm(), 1e-8 * (a.norm() * x.norm() + b.norm()));
  }
}

TEST(PartialPivotLU, PivotsZeroDiagonalAndFailsNonFiniteWhenSingular) {
  RowMajor swap(3, 3);
  swap << 0, 2, 0, 1, 0, 0, 0, 0, 4;
  const std::vector<double> x = lu_solve(swap, Eigen::Vector3d(2, 3, 8));
  EXPECT_EQ(x, (std::vector<double>{3, 1, 2}));

  RowMajor singular(3, 3);
  singular << 1, 2, 3, 2, 4, 6, 0, 0, 1;
  bool finite = true;
  for (double v : lu_solve(singular, Eigen::Vector3d(1, 1, 1))) finite = finite && std::isfinite(v);
  EXPECT_FALSE(finite) << "a singular system must not give a finite solution";

  RowMajor with_nan = RowMajor::Identity(3, 3);
  with_nan(1, 0) = std::nan("");
  finite = true;
  for (double v : lu_solve(with_nan, Eigen::Vector3d(1, 1, 1))) finite = finite && std::isfinite(v);
  EXPECT_FALSE(finite);
}

}  // namespace
}  // namespace kelto::hand::detail
