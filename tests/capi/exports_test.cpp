// The shared library exports the C interface and nothing else of ours.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const std::set<std::string>& interface_functions() {
  static const std::set<std::string> names = {
      "kx_abi_version_major",
      "kx_abi_version_minor",
      "kx_library_version",
      "kx_native_retargeting_available",
      "kx_native_calibration_available",
      "kx_status_message",
      "kx_last_error",
      "kx_sdk_last_error",
      "kx_engine_last_error",
      "kx_calibrator_last_error",
      "kx_retargeting_manifest_json",
      "kx_calibration_manifest_json",
      "kx_sdk_create",
      "kx_sdk_destroy",
      "kx_sdk_create_engine",
      "kx_sdk_create_calibrator",
      "kx_engine_create",
      "kx_engine_destroy",
      "kx_engine_joint_count",
      "kx_engine_joint_name",
      "kx_engine_skeleton_node_count",
      "kx_engine_skeleton_node_name",
      "kx_engine_physics_enabled",
      "kx_engine_physics_step_count",
      "kx_engine_physics_contact_count",
      "kx_engine_physics_actuator_count",
      "kx_engine_physics_collision_geom_count",
      "kx_engine_physics_model_path",
      "kx_engine_step",
      "kx_engine_get_last_target",
      "kx_engine_get_last_skeleton_pose",
      "kx_calibrator_create",
      "kx_calibrator_destroy",
      "kx_calibrator_add_frame",
      "kx_calibrator_fit",
      "kx_calibrator_get_result",
      "kx_calibrator_result_yaml",
      "kx_fit_base_calibration",
  };
  return names;
}

// Symbols the linker itself defines in every shared object.
bool linker_defined(const std::string& name) {
  return name == "_init" || name == "_fini" || name == "_edata" || name == "_end" || name == "__bss_start";
}

struct ExportedSymbol {
  std::string type;
  std::string name;
};

std::vector<ExportedSymbol> exported_symbols(const std::string& library) {
  const std::string command = "nm -D --defined-only '" + library + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  std::string output;
  char buffer[4096];
  std::size_t count = 0;
  while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, count);
  if (::pclose(pipe) != 0) throw std::runtime_error("failed: " + command);

  std::vector<ExportedSymbol> symbols;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (!(fields >> address >> type >> name)) continue;
    const auto version = name.find('@');
    if (version != std::string::npos) name.resize(version);
    symbols.push_back({type, name});
  }
  return symbols;
}

// Weak instantiations of standard library templates (std::string and std::filesystem::path members, for
// example) are exported by default from any object that instantiates them; only a linker version script
// (src/capi/kelto_hand.map) hides them, and that is checked separately below.
bool standard_library_instantiation(const ExportedSymbol& symbol) {
  const bool weak = symbol.type == "W" || symbol.type == "V" || symbol.type == "u";
  const char* prefixes[] = {"_ZNSt", "_ZNKSt", "_ZSt", "_ZTISt", "_ZTSSt", "_ZTVSt", "_ZGVZNSt"};
  for (const char* prefix : prefixes) {
    if (weak && symbol.name.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

TEST(Exports, OnlyInterfaceFunctionsOfOurs) {
  const auto symbols = exported_symbols(KELTO_SHARED_LIBRARY);
  std::size_t interface_count = 0;
  for (const ExportedSymbol& symbol : symbols) {
    if (linker_defined(symbol.name) || standard_library_instantiation(symbol)) continue;
    EXPECT_EQ(interface_functions().count(symbol.name), 1u)
        << "unexpected export " << symbol.type << " " << symbol.name;
    EXPECT_EQ(symbol.type, "T") << symbol.name << " should be a function";
    ++interface_count;
  }
  // The version functions are always there; their absence means the exports are hidden.
  EXPECT_GE(interface_count, 5u);
}

// Needs the version script on the shared library's link line.
TEST(Exports, NoStandardLibraryInstantiations) {
  for (const ExportedSymbol& symbol : exported_symbols(KELTO_SHARED_LIBRARY)) {
    EXPECT_FALSE(standard_library_instantiation(symbol)) << symbol.type << " " << symbol.name;
  }
}

}  // namespace
