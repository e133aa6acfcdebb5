#include "glove_simulator/simulator_options.hpp"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

namespace kelto::hand::simulator {
namespace {

double parse_number(const std::string& option, const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(value)) {
    throw std::runtime_error("invalid number for " + option + ": " + text);
  }
  return value;
}

double parse_non_negative(const std::string& option, const std::string& text) {
  const double value = parse_number(option, text);
  if (value < 0.0) throw std::runtime_error(option + " must not be negative: " + text);
  return value;
}

std::uint64_t parse_count(const std::string& option, const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || end != text.c_str() + text.size() || errno == ERANGE) {
    throw std::runtime_error("invalid count for " + option + ": " + text);
  }
  return value;
}

}  // namespace

SimulatorOptions parse_simulator_options(const std::vector<std::string>& args,
                                         const std::filesystem::path& default_config) {
  SimulatorOptions options;
  GloveSimulatorOptions& sim = options.simulator;
  SimulatedGloveOptions& glove = sim.stream.glove;
  glove.config = default_config;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw std::runtime_error("missing value for " + arg);
      return args[++i];
    };
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return options;
    } else if (arg == "--link") {
      sim.link = value();
    } else if (arg == "--side") {
      glove.side = value();
      if (glove.side != "left" && glove.side != "right")
        throw std::runtime_error("--side must be left or right");
    } else if (arg == "--rate") {
      sim.rate_hz = parse_number(arg, value());
      if (sim.rate_hz < 1.0 || sim.rate_hz > 1000.0)
        throw std::runtime_error("--rate must lie in [1, 1000] Hz");
    } else if (arg == "--script") {
      sim.stream.script = parse_motion_script_kind(value());
    } else if (arg == "--format") {
      sim.stream.format = parse_glove_line_format(value());
    } else if (arg == "--noise-mm") {
      glove.noise_mm = parse_non_negative(arg, value());
    } else if (arg == "--noise-deg") {
      glove.noise_deg = parse_non_negative(arg, value());
    } else if (arg == "--invalid-every") {
      sim.stream.invalid_every = parse_count(arg, value());
    } else if (arg == "--unplug-after") {
      options.unplug_after_s = parse_non_negative(arg, value());
    } else if (arg == "--unplug-pause") {
      options.unplug_pause_s = parse_non_negative(arg, value());
    } else if (arg == "--duration") {
      options.duration_s = parse_non_negative(arg, value());
    } else if (arg == "--config") {
      glove.config = value();
    } else if (arg == "--human-scale") {
      glove.human_hand_scale = parse_number(arg, value());
      if (!(*glove.human_hand_scale > 0.0)) throw std::runtime_error("--human-scale must be greater than 0");
    } else if (arg == "--mount-yaw-deg") {
      glove.mount_yaw_deg = parse_number(arg, value());
    } else if (arg == "--base-tilt-deg") {
      glove.base_tilt_deg = parse_number(arg, value());
    } else if (arg == "--seed") {
      glove.seed = parse_count(arg, value());
    } else if (arg == "--write-samples") {
      options.write_samples = value();
    } else if (arg == "--verbose") {
      sim.verbose = true;
    } else {
      throw std::runtime_error("unknown option: " + arg);
    }
  }
  if (options.write_samples.empty() && sim.link.empty()) {
    throw std::runtime_error("--link is required (or --write-samples)");
  }
  return options;
}

std::string simulator_usage(const std::string& program) {
  return "Usage: " + program +
         " --link PATH [options]\n"
         "       " +
         program +
         " --write-samples FILE [options]\n"
         "Simulates a sensor glove on a pseudo-terminal whose device PATH links to.\n"
         "  --side right|left        Glove side (default: right)\n"
         "  --rate HZ                Lines per second after plug-in (default: 200; a 'rate N'\n"
         "                           command from the program changes it)\n"
         "  --script cycle|pinch|fist|all  Scripted hand motion (default: all)\n"
         "  --format rpy|quat        Orientation as roll/pitch/yaw or quaternion (default: rpy)\n"
         "  --noise-mm MM            Gaussian position noise per axis (default: 0)\n"
         "  --noise-deg DEG          Gaussian orientation noise (default: 0)\n"
         "  --invalid-every N        Send an invalid line in place of every N-th line (default: 0 = never)\n"
         "  --unplug-after SEC       Unplug after SEC seconds plugged in, every time (default: 0 = never)\n"
         "  --unplug-pause SEC       Time unplugged before the new device appears (default: 1)\n"
         "  --duration SEC           Stop after SEC seconds (default: 0 = until SIGINT/SIGTERM)\n"
         "  --config FILE            Hand system configuration (default: the bundled hand)\n"
         "  --human-scale S          Size of the human hand (default: the configured scale)\n"
         "  --mount-yaw-deg DEG      Glove base turned about its z axis (default: as configured)\n"
         "  --base-tilt-deg DEG      Glove base tilted about its y axis (default: as configured)\n"
         "  --seed N                 Noise seed (default: 1)\n"
         "  --write-samples FILE     Write a calibration samples file and exit\n"
         "  --verbose                Log the command lines received from the program\n";
}

}  // namespace kelto::hand::simulator
