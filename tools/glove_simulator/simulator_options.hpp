// Command line of kelto_glove_simulator.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "glove_simulator/glove_simulator.hpp"

namespace kelto::hand::simulator {

struct SimulatorOptions {
  GloveSimulatorOptions simulator;      // link, stream and glove settings, rate, verbosity
  std::filesystem::path write_samples;  // set: write a calibration samples file instead of streaming
  double duration_s = 0.0;              // 0: until SIGINT or SIGTERM
  double unplug_after_s = 0.0;          // 0: never; else every this many seconds plugged in
  double unplug_pause_s = 1.0;          // time without a device after each unplug
  bool help = false;
};

// Parses the arguments after the program name. `default_config` is the hand configuration used without
// --config. Throws std::runtime_error for an unknown option, a missing or malformed value or a value out
// of range.
SimulatorOptions parse_simulator_options(const std::vector<std::string>& args,
                                         const std::filesystem::path& default_config);

std::string simulator_usage(const std::string& program);

}  // namespace kelto::hand::simulator
