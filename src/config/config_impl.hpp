// The private implementation of Config, shared by the config sources.
#pragma once

#include <yaml-cpp/yaml.h>

#include "config/config.hpp"

namespace kelto::hand {

struct Config::Impl {
  YAML::Node root;
};

}  // namespace kelto::hand
