// The private implementation of Config, shared by the config sources.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include <yaml-cpp/yaml.h>

#include "config/config.hpp"

namespace kelto::hand {

struct Config::Impl {
  YAML::Node root;
};

namespace detail {

// The value of the entry of mapping `map` whose key reads as `key` (taken whole, dots included).
std::optional<YAML::Node> find_entry(const YAML::Node& map, const std::string& key);

// The node at the dotted `key` under `root`, or nothing when the path does not lead to one. Under a
// sequence a segment is an item index.
std::optional<YAML::Node> find_node(const YAML::Node& root, const std::string& key);

// The mapping under `root` that holds the leaf of the dotted `key`, and the leaf's name. Parents that
// are missing or are not mappings are replaced by empty mappings on the way.
std::pair<YAML::Node, std::string> mutable_parent(YAML::Node& root, const std::string& key);

// Sets the leaf of the dotted `key` under `root` to `value`, making the parents on the way as
// `mutable_parent` does.
void write_leaf(YAML::Node& root, const std::string& key, const YAML::Node& value);

}  // namespace detail
}  // namespace kelto::hand
