#include "kinematics/hand_metadata.hpp"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <system_error>
#include <unordered_map>

#include "config/config.hpp"
#include "config/resource_root.hpp"

namespace kelto::hand::detail {

namespace {

bool directory_exists(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
}

bool regular_file_exists(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

std::vector<double> two_values(const Config& config, const std::string& key, const std::string& message) {
  std::vector<double> values = config.numbers(key);
  if (values.size() != 2) throw std::runtime_error(message);
  return values;
}

double clamp(double value, double lower, double upper) {
  if (value < lower) return lower;
  if (value > upper) return upper;
  return value;
}

// The same joint written with the other prefix convention ("right_" ↔ "rh_", "left_" ↔ "lh_").
std::string other_spelling(const std::string& name) {
  static const std::pair<const char*, const char*> kPrefixes[] = {
      {"right_", "rh_"}, {"left_", "lh_"}, {"rh_", "right_"}, {"lh_", "left_"}};
  for (const auto& [from, to] : kPrefixes) {
    const std::string prefix = from;
    if (name.compare(0, prefix.size(), prefix) == 0) return to + name.substr(prefix.size());
  }
  return {};
}

void load_pose_joint_specs(const Config& metadata, HandJointMetadata& out) {
  const std::string& side = out.side;
  for (const std::string& finger : out.finger_order) {
    const std::string own_key = side + ".pose_joint_names." + finger;
    const std::string native_key = "native_pose_joint_names." + side + "." + finger;
    std::string key;
    if (metadata.contains(own_key)) {
      key = own_key;
    } else if (metadata.contains(native_key)) {
      key = native_key;
    } else {
      throw std::runtime_error("Pinocchio metadata is missing: " + native_key);
    }
    PoseJointSpec spec;
    spec.joints = metadata.strings(key);
    if (spec.joints.empty()) throw std::runtime_error("Pinocchio pose joint list is empty: " + key);
    const std::string multiplier_key = side + ".pose_joint_multipliers." + finger;
    if (metadata.contains(multiplier_key)) {
      spec.multipliers = metadata.numbers(multiplier_key);
      if (spec.multipliers.size() != spec.joints.size()) {
        throw std::runtime_error("Pinocchio pose joint multipliers have the wrong size: " + multiplier_key);
      }
    } else {
      spec.multipliers.assign(spec.joints.size(), 1.0);
    }
    out.pose_joint_specs[finger] = std::move(spec);
  }
}

}  // namespace

double coupling_polynomial(const PassiveCoupling& coupling, double x) {
  double value = 0.0;
  for (auto it = coupling.coefficients.rbegin(); it != coupling.coefficients.rend(); ++it)
    value = value * x + *it;
  return value;
}

double coupling_polynomial_slope(const PassiveCoupling& coupling, double x) {
  double slope = 0.0;
  const std::size_t n = coupling.coefficients.size();
  for (std::size_t k = n; k-- > 1;) slope = slope * x + static_cast<double>(k) * coupling.coefficients[k];
  return slope;
}

HandResourcePaths locate_hand_resources(const Config& config, const std::string& side, std::string& hand_type,
                                        std::vector<std::string>& finger_order) {
  hand_type = config.string("hand.type");
  finger_order = config.strings("retargeting.finger_order");
  if (finger_order.empty()) throw std::runtime_error("retargeting.finger_order must not be empty");
  const std::filesystem::path config_dir = config.string("__config_dir__");

  std::filesystem::path root = runtime_resource_root();
  if (root.empty() && config.contains("__resource_root__")) root = config.string("__resource_root__");

  HandResourcePaths paths;
  paths.resource_dir = root.empty() ? config_dir / "resources" : root / "hands" / hand_type / "resources";
  if (!directory_exists(paths.resource_dir)) {
    std::filesystem::path dir = config_dir;
    while (!dir.empty()) {
      const std::filesystem::path candidate =
          dir / "kelto_hand" / "resources" / "hands" / hand_type / "resources";
      if (directory_exists(candidate)) {
        paths.resource_dir = candidate;
        break;
      }
      if (dir == dir.root_path()) break;
      dir = dir.parent_path();
    }
  }
  const std::filesystem::path pinocchio_dir = paths.resource_dir / "pinocchio";
  paths.metadata = pinocchio_dir / "metadata.yaml";
  paths.urdf = pinocchio_dir / (side + ".urdf");
  if (!regular_file_exists(paths.urdf)) paths.urdf = pinocchio_dir / side / "hand.urdf";
  paths.pose_library = paths.resource_dir.parent_path() / "pose_library.yaml";
  return paths;
}

HandJointMetadata load_hand_metadata(const Config& config, const std::string& side) {
  HandJointMetadata out;
  out.side = side;
  out.paths = locate_hand_resources(config, side, out.hand_type, out.finger_order);
  auto metadata = std::make_shared<const Config>(Config::load(out.paths.metadata.string(), "", ""));
  out.metadata = metadata;

  out.joint_names = metadata->strings(side + ".joint_order");
  if (out.joint_names.empty()) {
    throw std::runtime_error("Pinocchio metadata contains no joints for hand.type=" + out.hand_type);
  }
  for (const std::string& joint : out.joint_names) {
    const std::string rad_key = side + ".joint_limits_rad." + joint;
    const std::string key = metadata->contains(rad_key) ? rad_key : side + ".joint_limits." + joint;
    const std::vector<double> limits =
        two_values(*metadata, key, "Joint limits must contain two values: " + joint);
    out.lower.push_back(limits[0]);
    out.upper.push_back(limits[1]);
  }
  load_pose_joint_specs(*metadata, out);
  const std::string fixed_key = side + ".fixed_joint_names";
  if (metadata->contains(fixed_key)) {
    for (std::string& name : metadata->strings(fixed_key)) out.fixed_joint_names.insert(std::move(name));
  }
  const std::string active_key = side + ".active_joint_order";
  if (metadata->contains(active_key)) out.active_joint_order = metadata->strings(active_key);
  load_passive_couplings(*metadata, out);
  build_active_joint_metadata(*metadata, out);
  return out;
}

void load_passive_couplings(const Config& metadata, HandJointMetadata& out) {
  const std::string& side = out.side;
  out.couplings.clear();
  const std::string form1_key = side + ".passive_joint_couplings";
  if (metadata.contains(form1_key) && metadata.size(form1_key) > 0) {
    const std::size_t count = metadata.size(form1_key);
    for (std::size_t i = 0; i < count; ++i) {
      const std::string element = form1_key + "." + std::to_string(i) + ".";
      PassiveCoupling coupling;
      coupling.driver = joint_index(out.joint_names, metadata.string(element + "driver"));
      coupling.child = joint_index(out.joint_names, metadata.string(element + "child"));
      if (coupling.driver == coupling.child)
        throw std::runtime_error("Passive coupling driver and child must differ");
      const double offset = metadata.contains(element + "offset") ? metadata.number(element + "offset") : 0.0;
      const double multiplier =
          metadata.contains(element + "multiplier") ? metadata.number(element + "multiplier") : 1.0;
      coupling.coefficients = {offset, multiplier};
      out.couplings.push_back(std::move(coupling));
    }
    return;
  }
  std::string key = side + ".equality_constraints";
  if (!metadata.contains(key)) key = side + ".passive_couplings";
  if (!metadata.contains(key)) return;
  const std::size_t count = metadata.size(key);
  for (std::size_t i = 0; i < count; ++i) {
    const std::string element = key + "." + std::to_string(i) + ".";
    PassiveCoupling coupling;
    coupling.coefficients = metadata.numbers(element + "polycoef");
    coupling.driver = joint_index(out.joint_names, metadata.string(element + "independent_joint"));
    coupling.child = joint_index(out.joint_names, metadata.string(element + "dependent_joint"));
    if (metadata.contains(element + "input_unit")) {
      coupling.input_scale = angle_unit_scale(metadata.string(element + "input_unit"));
    }
    if (metadata.contains(element + "output_unit")) {
      coupling.output_scale = 1.0 / angle_unit_scale(metadata.string(element + "output_unit"));
    }
    if (coupling.driver == coupling.child)
      throw std::runtime_error("Passive coupling driver and child must differ");
    out.couplings.push_back(std::move(coupling));
  }
}

void build_active_joint_metadata(const Config& metadata, HandJointMetadata& out) {
  out.active_indices.clear();
  out.active_joint_names.clear();
  out.active_lower.clear();
  out.active_upper.clear();
  for (std::size_t i = 0; i < out.joint_names.size(); ++i) {
    const std::string& name = out.joint_names[i];
    const bool coupled = std::any_of(out.couplings.begin(), out.couplings.end(),
                                     [i](const PassiveCoupling& c) { return c.child == i; });
    if (coupled || out.fixed_joint_names.count(name) > 0) continue;
    if (!out.active_joint_order.empty() &&
        std::find(out.active_joint_order.begin(), out.active_joint_order.end(), name) ==
            out.active_joint_order.end()) {
      continue;
    }
    const std::string key = out.side + ".active_joint_limits." + name;
    double lower = out.lower[i];
    double upper = out.upper[i];
    if (metadata.contains(key)) {
      const std::vector<double> limits =
          two_values(metadata, key, "Active joint limits must contain two values: " + name);
      lower = limits[0];
      upper = limits[1];
    }
    out.active_indices.push_back(i);
    out.active_joint_names.push_back(name);
    out.active_lower.push_back(lower);
    out.active_upper.push_back(upper);
  }
  if (out.active_indices.empty()) throw std::runtime_error("Pinocchio hand has no active joints");
}

std::size_t joint_index(const std::vector<std::string>& joint_names, const std::string& name) {
  const auto it = std::find(joint_names.begin(), joint_names.end(), name);
  if (it == joint_names.end()) throw std::runtime_error("Passive coupling joint was not found: " + name);
  return static_cast<std::size_t>(it - joint_names.begin());
}

double angle_unit_scale(const std::string& unit) {
  if (unit.empty() || unit == "rad" || unit == "radian" || unit == "radians") return 1.0;
  if (unit == "deg" || unit == "degree" || unit == "degrees") return 57.29577951308232;
  throw std::runtime_error("Unsupported passive coupling angle unit: " + unit);
}

std::vector<std::size_t> fixed_joint_indices(const HandJointMetadata& meta) {
  std::vector<std::size_t> indices;
  for (std::size_t i = 0; i < meta.joint_names.size(); ++i) {
    if (meta.fixed_joint_names.count(meta.joint_names[i]) > 0) indices.push_back(i);
  }
  return indices;
}

std::vector<double> project_passive(const HandJointMetadata& meta, std::vector<double> q) {
  project_passive_in_place(meta, fixed_joint_indices(meta), q);
  return q;
}

void project_passive_in_place(const HandJointMetadata& meta, const std::vector<std::size_t>& fixed,
                              std::vector<double>& q) {
  if (q.size() != meta.joint_names.size())
    throw std::runtime_error("Full hand joint vector has the wrong size");
  for (std::size_t i = 0; i < q.size(); ++i) q[i] = clamp(q[i], meta.lower[i], meta.upper[i]);
  for (std::size_t i : fixed) q[i] = 0.0;
  const std::size_t passes = meta.couplings.size();
  // A pass depends on q alone: once one changes no bit of it, the passes after it change nothing either.
  bool changed = true;
  for (std::size_t pass = 0; pass < passes && changed; ++pass) {
    changed = false;
    for (const PassiveCoupling& c : meta.couplings) {
      const double value = c.output_scale * coupling_polynomial(c, c.input_scale * q[c.driver]);
      const double clamped = clamp(value, meta.lower[c.child], meta.upper[c.child]);
      if (!(clamped == q[c.child]) || std::signbit(clamped) != std::signbit(q[c.child])) changed = true;
      q[c.child] = clamped;
    }
  }
}

std::vector<double> expand(const HandJointMetadata& meta, const std::vector<double>& rest_full,
                           const std::vector<double>& q_active) {
  std::vector<double> full;
  expand_into(meta, fixed_joint_indices(meta), rest_full, q_active, full);
  return full;
}

void expand_into(const HandJointMetadata& meta, const std::vector<std::size_t>& fixed,
                 const std::vector<double>& rest_full, const std::vector<double>& q_active,
                 std::vector<double>& full) {
  if (q_active.size() != meta.active_indices.size()) {
    throw std::runtime_error("Active hand joint vector has the wrong size");
  }
  full = rest_full;
  for (std::size_t k = 0; k < q_active.size(); ++k) full[meta.active_indices[k]] = q_active[k];
  project_passive_in_place(meta, fixed, full);
}

std::vector<double> select_active(const HandJointMetadata& meta, const std::vector<double>& q_full) {
  return select_active(meta, fixed_joint_indices(meta), q_full);
}

std::vector<double> select_active(const HandJointMetadata& meta, const std::vector<std::size_t>& fixed,
                                  const std::vector<double>& q_full) {
  std::vector<double> projected = q_full;
  project_passive_in_place(meta, fixed, projected);
  std::vector<double> active;
  active.reserve(meta.active_indices.size());
  for (std::size_t index : meta.active_indices) active.push_back(projected[index]);
  return active;
}

std::vector<double> load_pose(const std::filesystem::path& pose_library, const std::string& name,
                              const std::map<std::string, PoseJointSpec>& specs,
                              const std::vector<std::string>& joint_names, const std::vector<double>& lower,
                              const std::vector<double>& upper) {
  const YAML::Node root = YAML::LoadFile(pose_library.string());
  YAML::Node poses;
  if (root.IsMap()) {
    const YAML::Node found_poses = root["poses"];
    if (found_poses.IsDefined()) poses = found_poses;
  }
  YAML::Node entry;
  bool found = false;
  if (poses.IsSequence()) {
    for (const YAML::Node& candidate : poses) {
      if (candidate["name"].as<std::string>() == name) {
        entry = candidate;
        found = true;
        break;
      }
    }
  }
  if (!found) throw std::runtime_error("Unsupported hand pose: " + name);

  std::unordered_map<std::string, double> values;
  const YAML::Node finger_angles = entry["finger_angles_rad"];
  if (finger_angles.IsMap()) {
    for (const auto& [finger, spec] : specs) {
      const YAML::Node list = finger_angles[finger];
      if (!list.IsDefined()) {
        throw std::runtime_error("Pose " + name + " is missing finger: " + finger);
      }
      const std::vector<double> angles = list.as<std::vector<double>>();
      if (angles.size() != spec.joints.size()) {
        throw std::runtime_error("Pose " + name + " finger " + finger + " has the wrong joint count");
      }
      for (std::size_t k = 0; k < angles.size(); ++k)
        values[spec.joints[k]] = angles[k] * spec.multipliers[k];
    }
  }
  const YAML::Node joint_angles = entry["joint_angles_rad"];
  if (joint_angles.IsMap()) {
    for (const auto& pair : joint_angles) values[pair.first.as<std::string>()] = pair.second.as<double>();
  }

  std::vector<double> full(joint_names.size(), 0.0);
  for (std::size_t i = 0; i < joint_names.size(); ++i) {
    double value = 0.0;
    auto it = values.find(joint_names[i]);
    if (it == values.end()) {
      const std::string other = other_spelling(joint_names[i]);
      if (!other.empty()) it = values.find(other);
    }
    if (it != values.end()) value = it->second;
    full[i] = clamp(value, lower[i], upper[i]);
  }
  return full;
}

std::string rest_pose_name(const Config& config) {
  return config.contains("hand.rest_pose") ? config.string("hand.rest_pose") : std::string("open");
}

}  // namespace kelto::hand::detail
