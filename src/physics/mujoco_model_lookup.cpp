#include "physics/mujoco_model_lookup.hpp"

#include <stdexcept>

#include "config/config.hpp"
#include "config/resource_root.hpp"

namespace kelto::hand::detail {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPhysicsVariantHand = "plekt5";

fs::path resource_root(const Config& config) {
  fs::path root = runtime_resource_root();
  if (root.empty() && config.contains("__resource_root__")) root = config.string("__resource_root__");
  return root;
}

// Calls `visit` with `start` and each of its ancestors, the root directory included.
template <typename Visit>
void for_each_ancestor(fs::path dir, Visit visit) {
  while (!dir.empty()) {
    visit(dir);
    if (dir == dir.root_path()) break;
    dir = dir.parent_path();
  }
}

}  // namespace

std::vector<fs::path> mujoco_model_candidates(const Config& config, const fs::path& config_path,
                                              const std::string& hand_type, const std::string& side) {
  const bool physics_variant = hand_type == kPhysicsVariantHand;
  const std::string xml = side + ".xml";
  const std::string physics_xml = side + "_physics.xml";
  const fs::path config_dir = fs::absolute(config_path).parent_path();
  const fs::path root = resource_root(config);

  std::vector<fs::path> candidates;
  const fs::path local = config_dir / "resources";
  if (physics_variant) candidates.push_back(local / "mujoco" / physics_xml);
  if (!root.empty()) {
    const fs::path resources = root / "hands" / hand_type / "resources";
    candidates.push_back(resources / "mujoco" / xml);
    candidates.push_back(resources / "mujoco" / side / "hand.xml");
    candidates.push_back(resources / "pinocchio" / side / "hand.xml");
  }
  candidates.push_back(local / "mujoco" / xml);
  candidates.push_back(local / "mujoco" / side / "hand.xml");
  candidates.push_back(local / "pinocchio" / side / "hand.xml");
  candidates.push_back(local / "pinocchio" / (side + ".urdf"));

  for_each_ancestor(config_dir, [&](const fs::path& dir) {
    const fs::path kh = dir / "kelto_hand" / "resources" / "hands" / hand_type / "resources";
    const fs::path h = dir / "hands" / hand_type / "resources";
    if (physics_variant) {
      candidates.push_back(kh / "mujoco" / physics_xml);
      candidates.push_back(h / "mujoco" / physics_xml);
    }
    candidates.push_back(kh / "mujoco" / xml);
    candidates.push_back(h / "mujoco" / xml);
    candidates.push_back(kh / "mujoco" / side / "hand.xml");
    candidates.push_back(h / "mujoco" / side / "hand.xml");
    candidates.push_back(kh / "pinocchio" / side / "hand.xml");
    candidates.push_back(h / "pinocchio" / side / "hand.xml");
  });

  for_each_ancestor(fs::current_path(), [&](const fs::path& dir) {
    candidates.push_back(dir / "kelto_hand" / "resources" / "hands" / hand_type / "resources" / "mujoco" /
                         xml);
    candidates.push_back(dir / "hands" / hand_type / "resources" / "mujoco" / xml);
  });
  return candidates;
}

fs::path resolve_model(const Config& config, const fs::path& config_path, const std::string& hand_type,
                       const std::string& side) {
  for (const fs::path& candidate : mujoco_model_candidates(config, config_path, hand_type, side)) {
    // Absence (also through a path part that is not a directory) reads as not_found; any other failure,
    // such as a directory that may not be searched, throws.
    if (fs::is_regular_file(fs::status(candidate))) return fs::canonical(candidate);
  }
  throw std::runtime_error("cannot locate MuJoCo model for " + hand_type + "/" + side);
}

}  // namespace kelto::hand::detail
