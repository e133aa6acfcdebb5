// Scratch configurations, process-state guards and XML attribute access for the physics tests.
#pragma once

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "config/config.hpp"
#include "config/resource_root.hpp"
#include "support/error_text.hpp"
#include "support/test_files.hpp"

namespace kelto::test {

inline hand::Config write_and_load_config(const std::filesystem::path& file, const std::string& yaml,
                                          const std::string& side = "right") {
  write_file(file, yaml);
  return hand::Config::load(file, "", side);
}

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

 private:
  std::filesystem::path old_cwd_;
};

// The value of `attribute` in the start tag of the first element <tag name="name" ...>; with `replace`,
// returns the text with that value replaced instead.
inline std::string xml_attribute(const std::string& xml, const std::string& tag, const std::string& name,
                                 const std::string& attribute, const char* replace = nullptr) {
  const std::size_t start = xml.find("<" + tag + " name=\"" + name + "\"");
  if (start == std::string::npos) throw std::runtime_error("no element " + name);
  const std::size_t at = xml.substr(start, xml.find('>', start) - start).find(" " + attribute + "=\"");
  if (at == std::string::npos) throw std::runtime_error("no attribute " + attribute + " in " + name);
  const std::size_t first = start + at + attribute.size() + 3;
  const std::size_t length = xml.find('"', first) - first;
  return replace == nullptr ? xml.substr(first, length) : std::string(xml).replace(first, length, replace);
}

}  // namespace kelto::test
