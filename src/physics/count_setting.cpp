#include "physics/count_setting.hpp"

#include <climits>

#include "config/config.hpp"

namespace kelto::hand {

int count_setting(const Config& config, const std::string& key, int absent) {
  if (!config.contains(key)) return absent;
  const double value = config.number(key);
  if (!(value >= 2.0)) return 1;
  if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
  return static_cast<int>(value);
}

}  // namespace kelto::hand
