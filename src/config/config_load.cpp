// Loading a configuration: the `extends` chain, merging, reserved keys and the bone overlay.
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "config/config.hpp"
#include "config/config_impl.hpp"

namespace kelto::hand {
namespace {

namespace fs = std::filesystem;

// "~" and "~/..." name the home directory; everything else is left alone.
fs::path expand_user(const fs::path& path) {
  const std::string text = path.string();
  const bool home_only = text == "~";
  const bool under_home = text.size() >= 2 && text[0] == '~' && text[1] == '/';
  if (!home_only && !under_home) return path;
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0')
    throw std::runtime_error("HOME is not set; cannot expand config path");
  if (home_only) return fs::path(home);
  return fs::path(home) / text.substr(2);
}

// The absolute, weakly canonical path of an existing regular file.
fs::path resolve_file(const fs::path& path) {
  fs::path resolved = expand_user(path);
  if (!resolved.has_root_directory()) resolved = fs::absolute(resolved);
  resolved = fs::weakly_canonical(resolved);
  std::error_code ignored;
  if (!fs::is_regular_file(resolved, ignored)) {
    throw std::runtime_error("Config file was not found: " + resolved.string());
  }
  return resolved;
}

// Aliases become copies, so a few bytes of nested aliases may stand for an unbounded tree; no file may
// expand to more nodes than this.
constexpr std::size_t kMaxExpandedNodes = 1000000;

// The expanded size of every collection counted so far, so that each alias of one costs one lookup.
struct ExpandedSizes {
  std::map<int, std::vector<std::pair<YAML::Node, std::size_t>>> by_position;  // by parse position

  std::optional<std::size_t> find(const YAML::Node& node) const {
    const auto bucket = by_position.find(node.Mark().pos);
    if (bucket == by_position.end()) return std::nullopt;
    for (const auto& [known, size] : bucket->second) {
      if (known.is(node)) return size;
    }
    return std::nullopt;
  }
};

// The number of nodes `node` expands to, counted up to just past the bound. Refuses an alias inside the
// node it refers to and a tree beyond the bound, before anything is copied.
std::size_t expanded_size(const YAML::Node& node, std::vector<YAML::Node>& ancestors, ExpandedSizes& sizes) {
  if (!node.IsMap() && !node.IsSequence()) return 1;
  if (const std::optional<std::size_t> known = sizes.find(node)) return *known;
  for (const YAML::Node& ancestor : ancestors) {
    if (ancestor.is(node)) throw std::runtime_error("Config alias refers to a node that contains it");
  }
  ancestors.push_back(node);
  std::size_t size = 1;
  for (auto it = node.begin(); it != node.end(); ++it) {
    size += expanded_size(node.IsMap() ? it->second : *it, ancestors, sizes);
    if (size > kMaxExpandedNodes) {
      throw std::runtime_error("Config aliases expand to more than " + std::to_string(kMaxExpandedNodes) +
                               " nodes");
    }
  }
  ancestors.pop_back();
  sizes.by_position[node.Mark().pos].emplace_back(node, size);
  return size;
}

// Rebuilds a parsed document with text keys, where a repeated key keeps its first position and its last
// value. Collections get the default (block) style and no node is shared, so aliases become copies.
YAML::Node normalize_node(const YAML::Node& node) {
  if (!node.IsMap() && !node.IsSequence()) return YAML::Clone(node);
  YAML::Node result(node.IsMap() ? YAML::NodeType::Map : YAML::NodeType::Sequence);
  if (node.IsMap()) {
    for (auto it = node.begin(); it != node.end(); ++it) {
      result[it->first.as<std::string>()] = normalize_node(it->second);
    }
  } else {
    for (auto it = node.begin(); it != node.end(); ++it) result.push_back(normalize_node(*it));
  }
  return result;
}

YAML::Node normalize_last_wins(const YAML::Node& node) {
  std::vector<YAML::Node> ancestors;
  ExpandedSizes sizes;
  expanded_size(node, ancestors, sizes);
  return normalize_node(node);
}

YAML::Node parse_file(const fs::path& path) {
  const YAML::Node document = YAML::LoadFile(path.string());
  try {
    return normalize_last_wins(document);
  } catch (const YAML::Exception&) {
    throw;
  } catch (const std::runtime_error& error) {
    throw std::runtime_error(std::string(error.what()) + ": " + path.string());
  }
}

// The entry `key` of a mapping, if the node is a mapping and has it. The key is taken whole.
std::optional<YAML::Node> entry(const YAML::Node& node, const std::string& key) {
  if (!node.IsMap()) return std::nullopt;
  return detail::find_entry(node, key);
}

// Lays `overlay` over `base` into a new tree: mappings merge key by key, anything else replaces whole.
YAML::Node deep_merge(const YAML::Node& base, const YAML::Node& overlay) {
  if (!overlay.IsMap()) return YAML::Clone(overlay);
  YAML::Node result = base.IsMap() ? YAML::Clone(base) : YAML::Node(YAML::NodeType::Map);
  for (auto it = overlay.begin(); it != overlay.end(); ++it) {
    const std::string key = it->first.as<std::string>();
    const std::optional<YAML::Node> current = entry(result, key);
    if (current && current->IsMap() && it->second.IsMap()) {
      result[key] = deep_merge(*current, it->second);
    } else {
      result[key] = YAML::Clone(it->second);
    }
  }
  return result;
}

YAML::Node load_recursive(const fs::path& path, std::set<fs::path>& loading) {
  const fs::path file = resolve_file(path);
  if (!loading.insert(file).second)
    throw std::runtime_error("Config extends cycle detected at: " + file.string());

  YAML::Node tree = parse_file(file);
  if (!tree.IsDefined() || tree.IsNull()) tree.reset(YAML::Node(YAML::NodeType::Map));
  if (!tree.IsMap()) throw std::runtime_error("Config root must be a mapping: " + file.string());

  const std::optional<YAML::Node> extends = entry(tree, "extends");
  if (!extends || extends->IsNull()) {
    tree.remove("extends");
  } else {
    fs::path parent = expand_user(fs::path(extends->as<std::string>()));
    if (parent.is_relative()) parent = file.parent_path() / parent;
    tree.remove("extends");
    tree.reset(deep_merge(load_recursive(parent, loading), tree));
  }
  loading.erase(file);

  const fs::path dir = file.parent_path();
  tree["__config_path__"] = YAML::Node(file.string());
  tree["__config_dir__"] = YAML::Node(dir.string());

  const fs::path resource_root = dir.parent_path().parent_path();
  std::error_code ignored;
  if (fs::is_directory(resource_root / "hands" / dir.filename() / "resources", ignored)) {
    tree["__resource_root__"] = YAML::Node(resource_root.string());
  }
  return tree;
}

// The side whose bone measurements apply: the given one, else hand.side, else hand.default_side, else
// right. Present values are read as text, so an empty text passes on to the next source.
std::string bone_side(const YAML::Node& root, const std::string& requested) {
  std::string side = requested;
  for (const char* key : {"hand.side", "hand.default_side"}) {
    if (!side.empty()) break;
    if (const std::optional<YAML::Node> value = detail::find_node(root, key)) side = value->as<std::string>();
  }
  if (side.empty()) side = "right";
  if (side != "left" && side != "right") throw std::runtime_error("bone_config side must be left or right");
  return side;
}

}  // namespace

Config Config::load(const std::filesystem::path& system_config, const std::filesystem::path& bone_config,
                    const std::string& side) {
  std::set<fs::path> loading;
  YAML::Node root = load_recursive(system_config, loading);
  if (bone_config.empty()) return Config(std::make_unique<Impl>(Impl{root}));

  const fs::path bone_file = resolve_file(bone_config);
  root["__bone_config_stem__"] = YAML::Node(bone_file.stem().string());
  const YAML::Node bone = parse_file(bone_file);

  // The hand and viewer measurements; `viewer_is_hand` while both are the same node.
  YAML::Node hand;
  YAML::Node viewer;
  bool has_hand = false;
  bool viewer_is_hand = true;
  if (entry(bone, "left") || entry(bone, "right")) {
    const std::optional<YAML::Node> section = entry(bone, bone_side(root, side));
    if (!section) return Config(std::make_unique<Impl>(Impl{root}));
    hand.reset(*section);
    has_hand = true;
  } else if (bone.IsMap()) {
    if (const std::optional<YAML::Node> found = detail::find_node(bone, "hand.anthropometry")) {
      hand.reset(*found);
      has_hand = true;
    }
    if (const std::optional<YAML::Node> found = detail::find_node(bone, "viewer.anthropometry")) {
      viewer.reset(*found);
      viewer_is_hand = false;
    }
  }
  if (has_hand) {
    if (const std::optional<YAML::Node> nested = entry(hand, "anthropometry")) hand.reset(*nested);
  }
  if (!has_hand || !hand.IsMap()) {
    throw std::runtime_error("bone_config must contain left/right calibration data or hand.anthropometry");
  }
  if (viewer_is_hand) viewer.reset(hand);

  YAML::Node patch(YAML::NodeType::Map);
  detail::write_leaf(patch, "hand.anthropometry", YAML::Clone(hand));
  detail::write_leaf(patch, "viewer.anthropometry", YAML::Clone(viewer));
  root.reset(deep_merge(root, patch));

  // The bone measurements replace the configured ones whole.
  detail::write_leaf(root, "hand.anthropometry", YAML::Clone(hand));
  detail::write_leaf(root, "viewer.anthropometry", YAML::Clone(viewer));
  for (const char* key : {"hand.anthropometry.enabled", "viewer.anthropometry.enabled"}) {
    if (!detail::find_node(root, key)) detail::write_leaf(root, key, YAML::Node(std::string("true")));
  }
  return Config(std::make_unique<Impl>(Impl{root}));
}

}  // namespace kelto::hand
