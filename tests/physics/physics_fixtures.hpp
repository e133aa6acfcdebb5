// Scratch configurations, process-state guards and XML attribute access for the physics tests.
#pragma once

#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "config/config.hpp"
#include "config/resource_root.hpp"
#include "support/test_files.hpp"

namespace kelto::test {

inline hand::Config write_and_load_config(const std::filesystem::path& file, const std::string& yaml,
                                          const std::string& side = "right") {
  write_file(file, yaml);
  return hand::Config::load(file, "", side);
}

// The bundled template MJCF of a side.
inline std::filesystem::path bundled_mjcf(const std::string& side) {
  return source_dir() / "resources/hands/dynamic_openxr_hand/resources/mujoco" / (side + ".xml");
}

// Clears the process-wide resource root, and changes the working directory, for the life of the object.
class ScopedProcessState {
 public:
  explicit ScopedProcessState(const std::filesystem::path& cwd) : old_cwd_(std::filesystem::current_path()) {
    hand::set_runtime_resource_root({});
    std::filesystem::create_directories(cwd);
    std::filesystem::current_path(cwd);
  }
  ~ScopedProcessState() {
    hand::set_runtime_resource_root({});
    std::error_code ignored;
    std::filesystem::current_path(old_cwd_, ignored);
  }
  ScopedProcessState(const ScopedProcessState&) = delete;
  ScopedProcessState& operator=(const ScopedProcessState&) = delete;

 private:
  std::filesystem::path old_cwd_;
};

// Bounds of the value of `attribute` in the start tag of the first element <tag name="name" ...>.
inline std::pair<std::size_t, std::size_t> find_attribute(const std::string& xml, const std::string& tag,
                                                          const std::string& name,
                                                          const std::string& attribute) {
  const std::size_t start = xml.find("<" + tag + " name=\"" + name + "\"");
  if (start == std::string::npos) throw std::runtime_error("no element " + name);
  const std::size_t at = xml.substr(start, xml.find('>', start) - start).find(" " + attribute + "=\"");
  if (at == std::string::npos) throw std::runtime_error("no attribute " + attribute + " in " + name);
  const std::size_t first = start + at + attribute.size() + 3;
  return {first, xml.find('"', first)};
}

inline std::string xml_attribute(const std::string& xml, const std::string& tag, const std::string& name,
                                 const std::string& attribute) {
  const auto [first, last] = find_attribute(xml, tag, name, attribute);
  return xml.substr(first, last - first);
}

inline std::vector<double> xml_numbers(const std::string& xml, const std::string& tag,
                                       const std::string& name, const std::string& attribute) {
  std::istringstream in(xml_attribute(xml, tag, name, attribute));
  std::vector<double> values;
  for (double value = 0; in >> value;) values.push_back(value);
  return values;
}

// The text with the values of the given (tag, name, attribute) triples replaced by "#".
inline std::string mask(std::string xml, const std::vector<std::vector<std::string>>& attributes) {
  for (const auto& a : attributes) {
    const auto [first, last] = find_attribute(xml, a.at(0), a.at(1), a.at(2));
    xml.replace(first, last - first, "#");
  }
  return xml;
}

}  // namespace kelto::test
