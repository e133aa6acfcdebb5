#include "calibration/calibration_profile.hpp"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>
#include <stdexcept>

#include "retargeting/names.hpp"

namespace kelto::hand {
namespace {

using detail::contains_name;

namespace fs = std::filesystem;

bool regular_file_exists(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(fs::status(path, ec));
}

fs::path find_pose_library(const Config& config) {
  const fs::path d0 = config.string("__config_dir__");
  const fs::path first = d0 / "pose_library.yaml";
  if (regular_file_exists(first)) return first;

  const std::string hand_type = config.string("hand.type");
  fs::path d = d0;
  while (!d.empty()) {
    const fs::path candidate = d / "kelto_hand" / "resources" / "hands" / hand_type / "pose_library.yaml";
    if (regular_file_exists(candidate)) return candidate;
    if (d == d.root_path()) break;
    fs::path parent = d.parent_path();
    if (parent == d) break;
    d = std::move(parent);
  }
  throw std::runtime_error("Pose library was not found: " + first.string());
}

// The child of a mapping, or a null node when `node` is no mapping or is missing itself (so that lookups
// never throw).
YAML::Node child(const YAML::Node& node, const char* key) {
  return node.IsDefined() && node.IsMap() ? node[key] : YAML::Node();
}

std::vector<std::string> string_list(const YAML::Node& node, const std::string& name,
                                     const std::string& path) {
  if (!node.IsDefined() || !node.IsSequence()) throw std::runtime_error(name + " must be a list in " + path);
  std::vector<std::string> values;
  std::set<std::string> seen;
  for (const YAML::Node& item : node) {
    std::string value = item.IsNull() ? std::string() : item.as<std::string>();
    if (value.empty() || !seen.insert(value).second) {
      throw std::runtime_error(name + " must contain unique non-empty values");
    }
    values.push_back(std::move(value));
  }
  if (values.empty()) throw std::runtime_error(name + " must contain unique non-empty values");
  return values;
}

// The text of a scalar; empty for a missing or null node (never the text "null") and for a collection.
std::string lenient_string(const YAML::Node& node) {
  if (!node.IsDefined() || node.IsNull()) return std::string();
  return node.as<std::string>(std::string());
}

std::vector<std::string> lenient_strings(const YAML::Node& node) {
  try {
    return node.as<std::vector<std::string>>(std::vector<std::string>());
  } catch (const YAML::Exception&) {
    return {};
  }
}

std::optional<std::string> optional_string(const YAML::Node& node) {
  if (!node.IsDefined() || node.IsNull()) return std::nullopt;
  return node.as<std::string>();
}

CalibrationStageProfile read_stage(const YAML::Node& entry, const std::set<std::string>& poses,
                                   const std::string& path) {
  if (!entry.IsMap()) throw std::runtime_error("calibration stage must be a mapping in " + path);
  CalibrationStageProfile stage;
  stage.id = lenient_string(entry["id"]);
  stage.role = lenient_string(entry["role"]);
  stage.gesture_kind = lenient_string(entry["gesture_kind"]);
  stage.prompt = lenient_string(entry["prompt"]);
  stage.fingers = lenient_strings(entry["fingers"]);
  // A negative count is no count: read it as text first so that "-3" does not wrap around.
  const std::string count_text = lenient_string(entry["sample_count"]);
  stage.sample_count =
      count_text.empty() || count_text[0] == '-' ? 0 : entry["sample_count"].as<std::size_t>(std::size_t{0});
  stage.weight = entry["weight"].as<double>(-1.0);
  stage.reference_pose = optional_string(entry["reference_pose"]);
  stage.partner_finger = optional_string(entry["partner_finger"]);

  if (stage.id.empty() || stage.role.empty() || stage.gesture_kind.empty() || stage.prompt.empty() ||
      stage.sample_count == 0 || !std::isfinite(stage.weight) || stage.weight < 0.0) {
    throw std::runtime_error("calibration stage has invalid fields in " + path);
  }
  if (stage.reference_pose && poses.count(*stage.reference_pose) == 0) {
    throw std::runtime_error("calibration stage " + stage.id + " references missing pose " +
                             *stage.reference_pose);
  }
  if (stage.role == "tip_offset" && !stage.partner_finger) {
    throw std::runtime_error("tip-offset calibration stage requires partner_finger: " + stage.id);
  }
  return stage;
}

CalibrationStageProfile base_stage(std::string id, std::string role, std::string prompt, std::string pose,
                                   std::vector<std::string> fingers, double weight) {
  CalibrationStageProfile stage;
  stage.gesture_kind = id;
  stage.id = std::move(id);
  stage.role = std::move(role);
  stage.prompt = std::move(prompt);
  stage.reference_pose = std::move(pose);
  stage.fingers = std::move(fingers);
  stage.sample_count = 30;
  stage.weight = weight;
  return stage;
}

CalibrationProfile compatibility_profile(const std::set<std::string>& poses,
                                         const std::vector<std::string>& finger_order) {
  const std::string close_pose = poses.count("five_close") ? "five_close" : "close";
  if (poses.count(close_pose) == 0 || poses.count("open") == 0 || poses.count("mcp90") == 0) {
    throw std::runtime_error("compatibility calibration profile requires close, open, and mcp90 poses");
  }
  std::vector<std::string> non_thumb;
  for (const std::string& f : finger_order) {
    if (f != "thumb") non_thumb.push_back(f);
  }

  CalibrationProfile profile;
  profile.stages.push_back(
      base_stage("close", "flat_reference", "五指自然并拢并保持。", close_pose, finger_order, 3.0));
  profile.stages.push_back(
      base_stage("open", "flat_reference", "五指自然张开并保持。", "open", finger_order, 0.5));
  profile.stages.push_back(
      base_stage("mcp90", "bent_reference", "四指根关节弯曲约 90 度并保持。", "mcp90", non_thumb, 4.0));
  profile.basic_stage_ids = {"close", "open", "mcp90"};
  profile.enhanced_stage_ids = profile.basic_stage_ids;
  for (const std::string& f : non_thumb) {
    CalibrationStageProfile stage;
    stage.id = "pinch_" + f;
    stage.role = "tip_offset";
    stage.gesture_kind = "pinch";
    stage.prompt = "拇指与" + f + "对指并保持。";
    stage.partner_finger = f;
    stage.sample_count = 30;
    stage.weight = 0.0;
    profile.stages.push_back(stage);
    profile.enhanced_stage_ids.push_back(stage.id);
  }
  return profile;
}

}  // namespace

const CalibrationStageProfile& CalibrationProfile::stage(const std::string& id) const {
  for (const CalibrationStageProfile& s : stages) {
    if (s.id == id) return s;
  }
  throw std::out_of_range("unknown calibration stage: " + id);
}

const std::vector<std::string>& CalibrationProfile::stage_ids(bool enhanced) const {
  return enhanced ? enhanced_stage_ids : basic_stage_ids;
}

CalibrationProfile load_calibration_profile(const Config& config,
                                            const std::vector<std::string>& finger_order) {
  const fs::path library = find_pose_library(config);
  const std::string path = library.string();
  const YAML::Node root = YAML::LoadFile(path);

  const YAML::Node poses_node = child(root, "poses");
  if (!poses_node.IsDefined() || !poses_node.IsSequence()) {
    throw std::runtime_error("poses must be a list in " + path);
  }
  std::set<std::string> poses;
  for (const YAML::Node& entry : poses_node) {
    const std::string name = lenient_string(child(entry, "name"));
    if (name.empty()) throw std::runtime_error("pose name must not be empty in " + path);
    poses.insert(name);
  }

  const YAML::Node calibration = child(root, "calibration");
  if (!calibration.IsDefined()) return compatibility_profile(poses, finger_order);
  if (!calibration.IsMap()) throw std::runtime_error("unsupported calibration profile in " + path);
  if (calibration["profile_version"].as<long long>(0) != 1) {
    throw std::runtime_error("unsupported calibration profile in " + path);
  }

  const YAML::Node stages = calibration["stages"];
  if (!stages.IsDefined() || !stages.IsSequence() || stages.size() == 0) {
    throw std::runtime_error("calibration.stages must be a non-empty list in " + path);
  }
  CalibrationProfile profile;
  std::set<std::string> ids;
  for (const YAML::Node& entry : stages) {
    CalibrationStageProfile stage = read_stage(entry, poses, path);
    if (!ids.insert(stage.id).second) throw std::runtime_error("duplicate calibration stage: " + stage.id);
    for (const std::string& f : stage.fingers) {
      if (!contains_name(finger_order, f)) {
        throw std::runtime_error("calibration stage uses unsupported finger: " + f);
      }
    }
    if (stage.partner_finger && !contains_name(finger_order, *stage.partner_finger)) {
      throw std::runtime_error("calibration stage uses unsupported partner finger: " + *stage.partner_finger);
    }
    profile.stages.push_back(std::move(stage));
  }

  const YAML::Node modes = calibration["modes"];
  if (!modes.IsDefined() || !modes.IsMap())
    throw std::runtime_error("calibration.modes must be a mapping in " + path);
  profile.basic_stage_ids =
      string_list(child(child(modes, "basic"), "stages"), "calibration.modes.basic.stages", path);
  profile.enhanced_stage_ids =
      string_list(child(child(modes, "enhanced"), "stages"), "calibration.modes.enhanced.stages", path);

  for (const std::string& id : profile.enhanced_stage_ids) profile.stage(id);
  for (const std::string& id : profile.basic_stage_ids) {
    profile.stage(id);
    if (!contains_name(profile.enhanced_stage_ids, id)) {
      throw std::runtime_error("enhanced calibration mode is missing basic stage: " + id);
    }
  }
  return profile;
}

}  // namespace kelto::hand
