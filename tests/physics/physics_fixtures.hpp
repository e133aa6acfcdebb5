// Small MJCF models and configurations written into scratch directories for the physics tests.
#pragma once

#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "config/config.hpp"
#include "config/resource_root.hpp"
#include "support/test_files.hpp"

namespace kelto::test {

// Writes <dir>/<name>.yaml with the given YAML body and loads it for `side`.
inline hand::Config write_and_load_config(const std::filesystem::path& file, const std::string& yaml,
                                          const std::string& side = "right") {
  write_file(file, yaml);
  return hand::Config::load(file, "", side);
}

// Clears the process-wide resource root on both ends of a test.
class ResourceRootGuard {
 public:
  ResourceRootGuard() { hand::set_runtime_resource_root({}); }
  ~ResourceRootGuard() { hand::set_runtime_resource_root({}); }
  ResourceRootGuard(const ResourceRootGuard&) = delete;
  ResourceRootGuard& operator=(const ResourceRootGuard&) = delete;
};

// Changes the working directory for the lifetime of the object.
class ScopedWorkingDirectory {
 public:
  explicit ScopedWorkingDirectory(const std::filesystem::path& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedWorkingDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(old_, ignored);
  }
  ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
  ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

 private:
  std::filesystem::path old_;
};

// Bounds of the value of `attribute` (preceded by a blank) in the start tag of the first element
// <tag name="name" ...>; npos when absent.
inline std::pair<std::size_t, std::size_t> find_attribute(const std::string& xml, const std::string& tag,
                                                          const std::string& name,
                                                          const std::string& attribute) {
  const std::size_t none = std::string::npos;
  const std::size_t start = xml.find("<" + tag + " name=\"" + name + "\"");
  if (start == none) return {none, none};
  const std::string start_tag = xml.substr(start, xml.find('>', start) - start);
  const std::size_t at = start_tag.find(" " + attribute + "=\"");
  if (at == none) return {none, none};
  const std::size_t first = start + at + attribute.size() + 3;
  return {first, xml.find('"', first)};
}

// The attribute's value; empty when absent.
inline std::string xml_attribute(const std::string& xml, const std::string& tag, const std::string& name,
                                 const std::string& attribute) {
  const auto [first, last] = find_attribute(xml, tag, name, attribute);
  return first == std::string::npos ? std::string() : xml.substr(first, last - first);
}

// The text with the attribute's value replaced by "#".
inline std::string mask_attribute(std::string xml, const std::string& tag, const std::string& name,
                                  const std::string& attribute) {
  const auto [first, last] = find_attribute(xml, tag, name, attribute);
  if (first != std::string::npos) xml.replace(first, last - first, "#");
  return xml;
}

inline std::vector<double> parse_numbers(const std::string& text) {
  std::istringstream in(text);
  std::vector<double> values;
  double value = 0;
  while (in >> value) values.push_back(value);
  return values;
}

// An OpenXR-style hand reduced to what the personalisation edits: per finger the palm body, the bone
// bodies with their collision capsules and one actuated flexion joint. Loads in MuJoCo.
inline std::string openxr_hand_fixture(const std::string& side) {
  const bool right = side == "right";
  const double mirror = right ? 1.0 : -1.0;
  struct Finger {
    std::string word;
    std::string palm_body;
    double x;
    double y;
  };
  const std::vector<Finger> fingers = {
      {"thumb", "thumb_cmc_abduction_aux", 0.018, 0.029},      {"index", "index_metacarpal", 0.0016, 0.021},
      {"middle", "middle_metacarpal", -0.0022, 0.0071},        {"ring", "ring_metacarpal", -0.0005, -0.0065},
      {"little", "little_cmc_opposition_aux", 0.0025, -0.019},
  };
  std::ostringstream xml;
  xml << "<mujoco model=\"openxr_fixture_" << side << "\">\n"
      << "  <!-- fixture: bones along z, palm in the x-y plane -->\n"
      << "  <compiler angle=\"radian\"/>\n"
      << "  <option timestep=\"0.002\" gravity=\"0 0 0\"/>\n"
      << "  <worldbody>\n"
      << "    <body name=\"" << side << "_palm\" pos=\"0 0 0\">\n"
      << "      <geom name=\"" << side << "_palm_collision\" type=\"box\" size=\"0.04 0.05 0.01\"/>\n";
  for (const Finger& f : fingers) {
    const std::string p = side + "_" + f.word + "_";
    const bool thumb = f.word == "thumb";
    xml << "      <body name=\"" << side << "_" << f.palm_body << "\" pos=\"" << mirror * f.x << " " << f.y
        << " 0.015\">\n"
        << "        <geom name=\"" << p << "metacarpal_collision\" type=\"capsule\" size=\"0.006\" "
        << "fromto=\"0 0 0 0 0.001 0.05\" contype=\"0\" conaffinity=\"0\"/>\n"
        << "        <body name=\"" << p << "mcp_abduction_aux\" pos=\"0 0.001 0.05\">\n"
        << "          <joint name=\"" << p << "flexion\" axis=\"1 0 0\" range=\"-0.3 1.6\"/>\n"
        << "          <geom name=\"" << p << "proximal_collision\" type=\"capsule\" size=\"0.006\" "
        << "fromto=\"0 0 0 0 0 0.04\"/>\n";
    if (thumb) {
      xml << "          <body name=\"" << p << "distal\" pos=\"0 0 0.04\">\n";
    } else {
      xml << "          <body name=\"" << p << "intermediate\" pos=\"0 0 0.04\">\n"
          << "            <geom name=\"" << p << "intermediate_collision\" type=\"capsule\" size=\"0.005\" "
          << "fromto=\"0 0 0 0 0 0.025\"/>\n"
          << "            <body name=\"" << p << "distal\" pos=\"0 0 0.025\">\n";
    }
    xml << "            <geom name=\"" << p << "distal_collision\" type=\"capsule\" size=\"0.005\" "
        << "fromto=\"0 0 0 0 0 0.02\"/>\n"
        << "            <body name=\"" << p << "tip\" pos=\"0 0 0.02\"/>\n"
        << "          </body>\n";
    if (!thumb) xml << "          </body>\n";
    xml << "        </body>\n"
        << "      </body>\n";
  }
  xml << "    </body>\n"
      << "  </worldbody>\n"
      << "  <actuator>\n";
  for (const Finger& f : fingers) {
    xml << "    <position name=\"" << side << "_" << f.word << "_act\" joint=\"" << side << "_" << f.word
        << "_flexion\" kp=\"2\" ctrlrange=\"-0.3 1.6\"/>\n";
  }
  xml << "  </actuator>\n"
      << "</mujoco>\n";
  return xml.str();
}

}  // namespace kelto::test
