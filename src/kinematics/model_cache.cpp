#include "kinematics/model_cache.hpp"

#include <cstdlib>
#include <stdexcept>

#include "config/config.hpp"

namespace kelto::hand::detail {

std::filesystem::path dynamic_openxr_cache_dir() {
  std::filesystem::path base;
  const char* kelto_home = std::getenv("KELTO_HOME");
  if (kelto_home != nullptr && kelto_home[0] != '\0') {
    base = kelto_home;
    if (!base.has_root_directory()) throw std::runtime_error("KELTO_HOME must be an absolute path");
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0')
      throw std::runtime_error("HOME is not set; cannot resolve KELTO_HOME");
    base = std::filesystem::path(home) / ".kelto";
  }
  const std::filesystem::path dir = base / "glove" / "algorithms" / "cache" / "dynamic_openxr_hand";
  std::filesystem::create_directories(dir);
  return dir;
}

std::string dynamic_openxr_cache_stem(const Config& config) {
  if (config.contains("__bone_config_stem__")) {
    std::string stem = config.string("__bone_config_stem__");
    if (!stem.empty()) return stem;
  }
  return "default";
}

}  // namespace kelto::hand::detail
