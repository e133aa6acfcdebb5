// Small helpers for the name lists and name spellings that the retargeting and calibration readers share.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

namespace kelto::hand::detail {

// The orientation axes by index, as the configuration names them.
inline constexpr const char* kAxisNames[3] = {"x", "y", "z"};

inline bool contains_name(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

inline bool starts_with(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace kelto::hand::detail
