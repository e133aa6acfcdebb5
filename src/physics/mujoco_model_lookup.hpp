// Where the physics observer finds the MJCF model of a hand side.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kelto::hand {
class Config;
}

namespace kelto::hand::detail {

// Every place the model may lie, in the order they are tried: the physics variant of `plekt5`, the
// resource root, the `resources` folder beside the configuration file, the hand trees of every ancestor of
// the configuration directory, then those of every ancestor of the working directory.
std::vector<std::filesystem::path> mujoco_model_candidates(const Config& config,
                                                           const std::filesystem::path& config_path,
                                                           const std::string& hand_type,
                                                           const std::string& side);

// The canonical path of the first candidate that is a regular file (following symbolic links). Throws
// "cannot locate MuJoCo model for <hand_type>/<side>" when there is none; a file-system error other than
// absence ends the search with that error.
std::filesystem::path resolve_model(const Config& config, const std::filesystem::path& config_path,
                                    const std::string& hand_type, const std::string& side);

}  // namespace kelto::hand::detail
