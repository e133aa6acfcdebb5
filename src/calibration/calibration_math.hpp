// The vector and matrix helpers of the calibration fits, and an ordering for captured values.
#pragma once

#include <array>
#include <cmath>

#include "kinematics/vec3.hpp"

namespace kelto::hand::detail::calmath {

// The shared 3-vector and 3x3 matrix helpers (kinematics/vec3.hpp), reached from the fits as cm::add,
// cm::mul, cm::kIdentity and so on.
using namespace kelto::hand::detail;

// Ascending order with NaN after every number, so that sorting captured values never breaks the
// ordering rules of the standard algorithms.
inline bool nan_last_less(double a, double b) {
  return a < b || (!std::isnan(a) && std::isnan(b));
}

}  // namespace kelto::hand::detail::calmath
