// Location and naming of the per-user cache of generated hand model files (URDF and MJCF).
#pragma once

#include <filesystem>
#include <string>

namespace kelto::hand {

class Config;

namespace detail {

// <KELTO_HOME or $HOME/.kelto>/glove/algorithms/cache/dynamic_openxr_hand, created with its parents.
std::filesystem::path dynamic_openxr_cache_dir();

// The bone configuration's stem (`__bone_config_stem__`), or "default" when absent or empty.
std::string dynamic_openxr_cache_stem(const Config& config);

}  // namespace detail
}  // namespace kelto::hand
