// Optional number settings that no clamp can guard against a NaN.
#pragma once

#include <cmath>
#include <stdexcept>
#include <string>

#include "config/config.hpp"

namespace kelto::hand::detail {

// Writes the number at `key` into `target` when the key is present. A NaN passes every range clamp and
// then spreads into each later result, so it is refused here.
inline void read_number_refusing_nan(const Config& config, const std::string& key, double& target) {
  if (!config.contains(key)) return;
  const double value = config.number(key);
  if (std::isnan(value)) throw std::runtime_error(key + " must be a number");
  target = value;
}

}  // namespace kelto::hand::detail
