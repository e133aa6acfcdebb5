#include <stdexcept>

#include "config/config.hpp"
#include "config/config_impl.hpp"

namespace kelto::hand {

Config Config::load(const std::filesystem::path& system_config, const std::filesystem::path& bone_config,
                    const std::string& side) {
  (void)system_config;
  (void)bone_config;
  (void)side;
  throw std::runtime_error("Config loading is not available yet");
}

}  // namespace kelto::hand
