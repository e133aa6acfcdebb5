// The configuration store: one merged YAML tree read and written through dotted key paths.
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kelto::hand {

// A configuration value. Keys are dotted paths ("solver.optimizer.gn_max_iters"); on reading, a segment
// under a sequence is an item index ("retargeting.finger_order.0").
//
// Copies deep-clone the tree. A moved-from Config holds no tree and may only be destroyed or assigned to.
class Config {
 public:
  // The private implementation; holds the YAML tree. Only the loader builds one.
  struct Impl;

  // Adopts a ready implementation (used by the loader).
  explicit Config(std::unique_ptr<Impl> impl);
  Config(const Config& other);
  Config(Config&& other) noexcept;
  Config& operator=(const Config& other);
  Config& operator=(Config&& other) noexcept;
  ~Config();

  // Loads `system_config` with its `extends` chain and, unless `bone_config` is empty, lays the bone
  // configuration of `side` ("left" or "right"; empty takes the side from the configuration) over the
  // hand and viewer anthropometry.
  static Config load(const std::filesystem::path& system_config, const std::filesystem::path& bone_config,
                     const std::string& side);

  // Getters. A missing key throws std::out_of_range "Config key was not found: <key>"; conversion
  // failures are the YAML library's exceptions.
  bool contains(const std::string& key) const;
  std::string string(const std::string& key) const;
  double number(const std::string& key) const;
  bool boolean(const std::string& key) const;
  std::vector<std::string> strings(const std::string& key) const;
  std::vector<double> numbers(const std::string& key) const;
  std::size_t size(const std::string& key) const;
  std::array<double, 9> matrix3(const std::string& key) const;  // row-major

  // Setters. Missing or non-mapping parents on the path are replaced by mappings.
  void set_string(const std::string& key, const std::string& value);
  void set_number(const std::string& key, double value);
  void set_boolean(const std::string& key, bool value);
  void set_strings(const std::string& key, const std::vector<std::string>& values);
  void set_numbers(const std::string& key, const std::vector<double>& values);
  void set_vec3(const std::string& key, const std::array<double, 3>& value);
  void set_matrix3(const std::string& key, const std::array<double, 9>& value);  // row-major
  void remove(const std::string& key);

  // The whole tree as block-style YAML text.
  std::string dump_yaml() const;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelto::hand
