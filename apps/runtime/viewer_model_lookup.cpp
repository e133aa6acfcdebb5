#include "runtime/viewer_model_lookup.hpp"

#include <stdexcept>
#include <vector>

namespace kelto::hand::runtime {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> candidates(const fs::path& config_path, const std::string& hand_type,
                                 const std::string& side) {
  const std::string xml = side + ".xml";
  // The first two are taken beside the configuration path as given, relative or not.
  const fs::path local = config_path.parent_path() / "resources";
  std::vector<fs::path> list{local / "mujoco" / xml, local / "pinocchio" / side / "hand.xml"};

  fs::path dir = fs::absolute(config_path).parent_path();
  while (!dir.empty()) {
    const fs::path kh = dir / "kelto_hand" / "resources" / "hands" / hand_type / "resources";
    const fs::path h = dir / "hands" / hand_type / "resources";
    list.push_back(kh / "mujoco" / xml);
    list.push_back(h / "mujoco" / xml);
    list.push_back(kh / "pinocchio" / side / "hand.xml");
    list.push_back(h / "pinocchio" / side / "hand.xml");
    if (dir == dir.root_path()) break;
    dir = dir.parent_path();
  }
  return list;
}

}  // namespace

fs::path resolve_mujoco_model(const fs::path& config_path, const std::string& hand_type,
                              const std::string& side, const fs::path& override_model) {
  if (!override_model.empty()) return fs::absolute(override_model);
  for (const fs::path& candidate : candidates(config_path, hand_type, side)) {
    // Absence (also through a path part that is not a directory) reads as not found; any other failure,
    // such as a directory that may not be searched, throws.
    if (fs::is_regular_file(fs::status(candidate))) return fs::canonical(candidate);
  }
  throw std::runtime_error("cannot locate MuJoCo model for " + hand_type + "/" + side +
                           "; pass --mujoco-model");
}

}  // namespace kelto::hand::runtime
