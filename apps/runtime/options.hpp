// The command line of kelto_hand_runtime: parsing, the checks that follow it and the usage text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kelto::hand::runtime {

// The parsed command line; owned by main and read by the run loop and the calibration capture.
struct Options {
  std::filesystem::path config;          // --config (required)
  std::filesystem::path runtime_config;  // --runtime-config, else config.yaml beside the configuration
  std::filesystem::path bone_config;     // --bone-config, else the configuration file's bone_config key
  std::filesystem::path mujoco_model;    // --mujoco-model
  std::filesystem::path output;          // --output (calibrate mode)
  std::filesystem::path samples_file;    // --samples-file (calibrate mode)
  std::string port = "auto";
  std::string side = "right";
  std::string left_port;   // dual-hand mode when both ports are given
  std::string right_port;  //
  std::string mode = "run";
  std::uint32_t baudrate = 115200;
  double print_rate = 10.0;         // joint lines per second; 0 or less: none
  double capture_timeout = 10.0;    // seconds per calibration stage
  std::size_t capture_samples = 0;  // 0: each stage's own count
  std::size_t startup_valid_frames = 10;
  bool viewer = false;
  bool physics = false;
  bool startup_commands = true;
  bool capture_pinch_stages = false;
};

// Parses the argument vector (argv[0] is the program name). Returns no value when --help or -h came
// before any error: the caller prints the usage and ends with status 0. Throws std::runtime_error
// "missing value for <option>" or "unknown option: <argument>"; numeric values that the standard
// library cannot convert raise its own exceptions, and a baud rate beyond 32 bits std::out_of_range.
std::optional<Options> parse_options(int argc, const char* const* argv);
std::optional<Options> parse_options(const std::vector<std::string>& args);  // without the program name

// Checks the parsed options in a fixed order and resolves the bone configuration (from the
// configuration file's `bone_config` key when not given) and the runtime configuration (config.yaml
// beside the configuration file when not given). Throws std::runtime_error with the first failure.
void check_options(Options& options);

// True when both glove ports are given: one hand state per side on one engine.
inline bool dual_hand_mode(const Options& options) {
  return !options.left_port.empty() && !options.right_port.empty();
}

// The usage text for the program name `program`, and the same written to standard output.
std::string usage_text(const std::string& program);
void usage(const std::string& program);

}  // namespace kelto::hand::runtime
