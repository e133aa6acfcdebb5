#include "config/config.hpp"

#include <cmath>
#include <limits>
#include <locale>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "config/config_impl.hpp"

namespace kelto::hand {
namespace {

// Reads a sequence index the way std::stoul does (leading blanks and a sign admitted); the whole
// segment must convert.
std::optional<std::size_t> parse_index(const std::string& segment) {
  try {
    std::size_t used = 0;
    const unsigned long value = std::stoul(segment, &used, 10);
    if (used != segment.size()) return std::nullopt;
    return static_cast<std::size_t>(value);
  } catch (const std::logic_error&) {  // invalid_argument, out_of_range
    return std::nullopt;
  }
}

}  // namespace

namespace detail {

std::optional<YAML::Node> find_entry(const YAML::Node& map, const std::string& key) {
  for (auto it = map.begin(); it != map.end(); ++it) {
    if (it->first.IsScalar() && it->first.Scalar() == key) return YAML::Node(it->second);
  }
  return std::nullopt;
}

std::optional<YAML::Node> find_node(const YAML::Node& root, const std::string& key) {
  YAML::Node current;
  current.reset(root);
  std::size_t start = 0;
  while (start < key.size()) {
    std::size_t dot = key.find('.', start);
    if (dot == std::string::npos) dot = key.size();
    const std::string segment = key.substr(start, dot - start);
    start = dot + 1;
    if (segment.empty()) return std::nullopt;
    if (current.IsMap()) {
      std::optional<YAML::Node> child = find_entry(current, segment);
      if (!child) return std::nullopt;
      current.reset(*child);
    } else if (current.IsSequence()) {
      const std::optional<std::size_t> index = parse_index(segment);
      if (!index || *index >= current.size()) return std::nullopt;
      const YAML::Node& sequence = current;
      YAML::Node child = sequence[*index];
      current.reset(child);
    } else {
      return std::nullopt;
    }
  }
  return current;
}

std::pair<YAML::Node, std::string> mutable_parent(YAML::Node& root, const std::string& key) {
  const std::size_t last_dot = key.rfind('.');
  const std::string parent_path = last_dot == std::string::npos ? std::string() : key.substr(0, last_dot);
  std::string leaf = last_dot == std::string::npos ? key : key.substr(last_dot + 1);
  if (leaf.empty()) throw std::runtime_error("Config path must not be empty");

  YAML::Node current;
  current.reset(root);
  std::size_t start = 0;
  while (start < parent_path.size()) {
    std::size_t dot = parent_path.find('.', start);
    if (dot == std::string::npos) dot = parent_path.size();
    const std::string segment = parent_path.substr(start, dot - start);
    start = dot + 1;
    if (segment.empty()) throw std::runtime_error("Config path must not contain empty keys");
    std::optional<YAML::Node> child = find_entry(current, segment);
    if (!child || !child->IsMap()) current[segment] = YAML::Node(YAML::NodeType::Map);
    YAML::Node next = current[segment];
    current.reset(next);
  }
  return {current, std::move(leaf)};
}

void write_leaf(YAML::Node& root, const std::string& key, const YAML::Node& value) {
  auto [parent, leaf] = mutable_parent(root, key);
  parent[leaf] = value;
}

}  // namespace detail

namespace {

using detail::find_node;
using detail::mutable_parent;
using detail::write_leaf;

YAML::Node require_node(const YAML::Node& root, const std::string& key) {
  std::optional<YAML::Node> node = find_node(root, key);
  if (!node) throw std::out_of_range("Config key was not found: " + key);
  return *node;
}

// A double as text that reads back as the same double: 17 significant digits, general notation.
std::string encode_number(double value) {
  if (std::isnan(value)) return ".nan";
  if (std::isinf(value)) return value > 0 ? ".inf" : "-.inf";
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out.precision(std::numeric_limits<double>::max_digits10);
  out << value;
  return out.str();
}

YAML::Node number_node(double value) {
  return YAML::Node(encode_number(value));
}

YAML::Node number_sequence(const double* values, std::size_t count) {
  YAML::Node sequence(YAML::NodeType::Sequence);
  for (std::size_t i = 0; i < count; ++i) sequence.push_back(number_node(values[i]));
  return sequence;
}

}  // namespace

Config::Config(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Config::Config(const Config& other)
    : impl_(other.impl_ ? std::make_unique<Impl>(Impl{YAML::Clone(other.impl_->root)}) : nullptr) {}

Config::Config(Config&& other) noexcept = default;

Config& Config::operator=(const Config& other) {
  if (this != &other) {
    impl_ = other.impl_ ? std::make_unique<Impl>(Impl{YAML::Clone(other.impl_->root)}) : nullptr;
  }
  return *this;
}

Config& Config::operator=(Config&& other) noexcept = default;

Config::~Config() = default;

namespace {

YAML::Node& tree_of(const std::unique_ptr<Config::Impl>& impl) {
  if (!impl) throw std::logic_error("Config was moved from");
  return impl->root;
}

}  // namespace

bool Config::contains(const std::string& key) const {
  return find_node(tree_of(impl_), key).has_value();
}

std::string Config::string(const std::string& key) const {
  return require_node(tree_of(impl_), key).as<std::string>();
}

double Config::number(const std::string& key) const {
  return require_node(tree_of(impl_), key).as<double>();
}

bool Config::boolean(const std::string& key) const {
  return require_node(tree_of(impl_), key).as<bool>();
}

std::vector<std::string> Config::strings(const std::string& key) const {
  return require_node(tree_of(impl_), key).as<std::vector<std::string>>();
}

std::vector<double> Config::numbers(const std::string& key) const {
  return require_node(tree_of(impl_), key).as<std::vector<double>>();
}

std::size_t Config::size(const std::string& key) const {
  const YAML::Node node = require_node(tree_of(impl_), key);
  if (!node.IsMap() && !node.IsSequence())
    throw std::runtime_error("Expected a mapping or sequence at: " + key);
  return node.size();
}

std::array<double, 9> Config::matrix3(const std::string& key) const {
  const YAML::Node node = require_node(tree_of(impl_), key);
  const auto fail = [&key]() { return std::runtime_error("Expected a 3x3 matrix at: " + key); };
  if (!node.IsSequence() || node.size() != 3) throw fail();
  std::array<double, 9> result{};
  for (std::size_t r = 0; r < 3; ++r) {
    const YAML::Node row = node[r];
    if (!row.IsSequence() || row.size() != 3) throw fail();
    for (std::size_t c = 0; c < 3; ++c) result[3 * r + c] = row[c].as<double>();
  }
  return result;
}

void Config::set_string(const std::string& key, const std::string& value) {
  write_leaf(tree_of(impl_), key, YAML::Node(value));
}

void Config::set_number(const std::string& key, double value) {
  write_leaf(tree_of(impl_), key, number_node(value));
}

void Config::set_boolean(const std::string& key, bool value) {
  write_leaf(tree_of(impl_), key, YAML::Node(std::string(value ? "true" : "false")));
}

void Config::set_strings(const std::string& key, const std::vector<std::string>& values) {
  YAML::Node sequence(YAML::NodeType::Sequence);
  for (const std::string& value : values) sequence.push_back(YAML::Node(value));
  write_leaf(tree_of(impl_), key, sequence);
}

void Config::set_numbers(const std::string& key, const std::vector<double>& values) {
  write_leaf(tree_of(impl_), key, number_sequence(values.data(), values.size()));
}

void Config::set_vec3(const std::string& key, const std::array<double, 3>& value) {
  set_numbers(key, std::vector<double>(value.begin(), value.end()));
}

void Config::set_matrix3(const std::string& key, const std::array<double, 9>& value) {
  YAML::Node rows(YAML::NodeType::Sequence);
  for (std::size_t r = 0; r < 3; ++r) rows.push_back(number_sequence(value.data() + 3 * r, 3));
  write_leaf(tree_of(impl_), key, rows);
}

void Config::remove(const std::string& key) {
  auto [parent, leaf] = mutable_parent(tree_of(impl_), key);
  parent.remove(leaf);
}

std::string Config::dump_yaml() const {
  return YAML::Dump(tree_of(impl_));
}

}  // namespace kelto::hand
