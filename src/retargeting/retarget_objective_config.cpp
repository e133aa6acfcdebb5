#include "retargeting/retarget_objective_config.hpp"

#include <cmath>
#include <set>
#include <stdexcept>

#include "retargeting/names.hpp"
#include "retargeting/number_setting.hpp"

namespace kelto::hand {
namespace {

using detail::kAxisNames;
using detail::starts_with;

bool ends_with(const std::string& text, char last) {
  return !text.empty() && text.back() == last;
}

std::string trim_and_lower(const std::string& text) {
  const char* blanks = " \t\n\v\f\r";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  const std::size_t last = text.find_last_not_of(blanks);
  std::string out = text.substr(first, last - first + 1);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The six simple mirror rules of the velocity overrides; the name itself when none applies.
std::string mirrored_velocity_name(const std::string& n) {
  if (starts_with(n, "l_")) return "r_" + n.substr(2);
  if (starts_with(n, "r_")) return "l_" + n.substr(2);
  if (starts_with(n, "left_")) return "right_" + n.substr(5);
  if (starts_with(n, "right_")) return "left_" + n.substr(6);
  if (ends_with(n, 'L')) return n.substr(0, n.size() - 1) + "R";
  if (ends_with(n, 'R')) return n.substr(0, n.size() - 1) + "L";
  return n;
}

std::string side_aware_joint_name(const std::string& name, const std::set<std::string>& active) {
  std::vector<std::string> candidates{name, "right_" + name, "left_" + name, "r_" + name, "l_" + name};
  if (starts_with(name, "right_")) candidates.push_back("left_" + name.substr(6));
  if (starts_with(name, "left_")) candidates.push_back("right_" + name.substr(5));
  if (starts_with(name, "r_")) candidates.push_back("l_" + name.substr(2));
  if (starts_with(name, "l_")) candidates.push_back("r_" + name.substr(2));
  if (ends_with(name, 'R')) candidates.push_back(name.substr(0, name.size() - 1) + "L");
  if (ends_with(name, 'L')) candidates.push_back(name.substr(0, name.size() - 1) + "R");
  if (starts_with(name, "FR")) candidates.push_back("FL" + name.substr(2));
  if (starts_with(name, "FL")) candidates.push_back("FR" + name.substr(2));
  if (name == "Roll_41R") candidates.push_back("Link_41L");
  if (name == "Link_41L") candidates.push_back("Roll_41R");
  for (const std::string& candidate : candidates) {
    if (active.count(candidate) != 0) return candidate;
  }
  throw std::runtime_error("solver.joint_coupling_regularization references unknown active joint: " + name);
}

}  // namespace

RetargetObjectiveConfig RetargetObjectiveConfig::from_config(
    const Config& config, const std::vector<std::string>& active_joint_names) {
  RetargetObjectiveConfig out;
  auto read_number = [&config](const std::string& key, double& target) {
    if (config.contains(key)) target = config.number(key);
  };

  read_number("solver.weights.shape", out.shape_weight);
  read_number("solver.weights.pinch", out.pinch_weight);
  read_number("solver.weights.pinch_pad_alignment", out.pinch_pad_alignment_weight);
  read_number("solver.weights.orientation", out.orientation_weight);
  if (config.contains("solver.weights.pinch_mode")) {
    out.pinch_mode = trim_and_lower(config.string("solver.weights.pinch_mode"));
  }
  detail::read_number_refusing_nan(config, "solver.weights.pinch_thumb_anchor_ratio",
                                   out.pinch_thumb_anchor_ratio);
  if (config.contains("solver.weights.pinch_fixed_anchor_ratio")) {
    out.pinch_fixed_anchor_ratio = config.boolean("solver.weights.pinch_fixed_anchor_ratio");
  }

  for (const char* finger : {"thumb", "first", "middle", "ring", "little"}) {
    const std::string orientation_key = std::string("solver.weights.orientation_by_finger.") + finger;
    if (config.contains(orientation_key)) out.orientation_by_finger[finger] = config.number(orientation_key);
    const std::string pinch_key = std::string("solver.weights.pinch_by_finger.") + finger;
    if (config.contains(pinch_key)) out.pinch_by_finger[finger] = config.number(pinch_key);
  }
  for (const char* axis : kAxisNames) {
    const std::string key = std::string("solver.weights.orientation_axis_weights.") + axis;
    if (config.contains(key)) out.orientation_axis_weights[axis] = config.number(key);
  }

  double joint_default = 1e-4;
  double velocity_default = 5e-4;
  read_number("solver.joint_regularization.default_weight", joint_default);
  read_number("solver.velocity_regularization.default_weight", velocity_default);
  out.joint_regularization.assign(active_joint_names.size(), joint_default);
  out.velocity_regularization.assign(active_joint_names.size(), velocity_default);

  const std::set<std::string> active(active_joint_names.begin(), active_joint_names.end());
  std::map<std::string, std::uint64_t> position;
  for (std::size_t k = 0; k < active_joint_names.size(); ++k) position.emplace(active_joint_names[k], k);

  if (config.contains("solver.velocity_regularization.by_joint")) {
    const std::string prefix = "solver.velocity_regularization.by_joint.";
    for (std::size_t k = 0; k < active_joint_names.size(); ++k) {
      const std::string& n = active_joint_names[k];
      if (config.contains(prefix + n)) {
        out.velocity_regularization[k] = config.number(prefix + n);
        continue;
      }
      const std::string m = mirrored_velocity_name(n);
      if (config.contains(prefix + m)) out.velocity_regularization[k] = config.number(prefix + m);
    }
  }

  const std::string coupling_key = "solver.joint_coupling_regularization";
  if (config.contains(coupling_key)) {
    const std::size_t count = config.size(coupling_key);
    for (std::size_t i = 0; i < count; ++i) {
      const std::string p = coupling_key + "." + std::to_string(i) + ".";
      JointCouplingRegularization entry;
      entry.joint_a = side_aware_joint_name(config.string(p + "joint_a"), active);
      entry.joint_b = side_aware_joint_name(config.string(p + "joint_b"), active);
      entry.weight = config.contains(p + "weight") ? config.number(p + "weight") : 0.0;
      if (!(entry.weight > 0.0)) continue;
      entry.index_a = position.at(entry.joint_a);
      entry.index_b = position.at(entry.joint_b);
      entry.offset = config.contains(p + "offset") ? config.number(p + "offset") : 0.0;
      out.joint_coupling.push_back(entry);
    }
  }

  const std::string b = "solver.deep_flex_regularization";
  if (config.contains(b)) {
    double start = 1.1, full = 1.45, block_weight = 0.0;
    read_number(b + ".start_rad", start);
    read_number(b + ".full_rad", full);
    read_number(b + ".weight", block_weight);
    const char* differ = "solver.deep_flex_regularization start_rad and full_rad must differ";
    if (std::abs(full - start) <= 1e-12) throw std::runtime_error(differ);
    const std::size_t count = config.contains(b + ".pairs") ? config.size(b + ".pairs") : 0;
    for (std::size_t i = 0; i < count; ++i) {
      const std::string p = b + ".pairs." + std::to_string(i) + ".";
      DeepFlexRegularization pair;
      pair.weight = config.contains(p + "weight") ? config.number(p + "weight") : block_weight;
      if (!(pair.weight > 0.0)) continue;
      pair.driver_joint = side_aware_joint_name(config.string(p + "driver_joint"), active);
      pair.controlled_joint = side_aware_joint_name(config.string(p + "controlled_joint"), active);
      if (pair.driver_joint == pair.controlled_joint) {
        throw std::runtime_error("solver.deep_flex_regularization joints must differ");
      }
      pair.start_rad = config.contains(p + "start_rad") ? config.number(p + "start_rad") : start;
      pair.full_rad = config.contains(p + "full_rad") ? config.number(p + "full_rad") : full;
      if (std::abs(pair.full_rad - pair.start_rad) <= 1e-12) throw std::runtime_error(differ);
      pair.driver_index = position.at(pair.driver_joint);
      pair.controlled_index = position.at(pair.controlled_joint);
      pair.target_rad = config.contains(p + "target_rad") ? config.number(p + "target_rad") : 0.0;
      out.deep_flex.push_back(pair);
    }
  }
  return out;
}

}  // namespace kelto::hand
