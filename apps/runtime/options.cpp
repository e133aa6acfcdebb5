#include "runtime/options.hpp"

#include <yaml-cpp/yaml.h>

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <system_error>

namespace kelto::hand::runtime {

namespace {

namespace fs = std::filesystem;

bool regular_file(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);  // follows symbolic links; unreadable counts as absent
}

// The configuration file's own `bone_config` key (plain YAML, no `extends`), made relative to the
// directory of the configuration path as given; empty when the key is absent or not a scalar.
fs::path bone_config_from_key(const fs::path& config) {
  const YAML::Node root = YAML::LoadFile(config.string());
  if (!root.IsMap()) return {};
  const YAML::Node key = root["bone_config"];
  if (!key.IsDefined() || !key.IsScalar()) return {};
  const fs::path value = key.Scalar();
  if (value.has_root_directory()) return value;
  return config.parent_path() / value;
}

// A decimal unsigned number that fits in 32 bits; larger values are refused as the standard library
// refuses numbers beyond its own types, instead of being cut down to their low 32 bits.
std::uint32_t unsigned_32(const std::string& text) {
  const unsigned long value = std::stoul(text);
  if (value > std::numeric_limits<std::uint32_t>::max()) throw std::out_of_range("stoul");
  return static_cast<std::uint32_t>(value);
}

}  // namespace

std::optional<Options> parse_options(const std::vector<std::string>& args) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // The next argument is the value, whatever it looks like.
    const auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw std::runtime_error("missing value for " + arg);
      return args[++i];
    };
    if (arg == "--config") {
      options.config = value();
    } else if (arg == "--mode") {
      options.mode = value();
    } else if (arg == "--runtime-config") {
      options.runtime_config = value();
    } else if (arg == "--bone-config") {
      options.bone_config = value();
    } else if (arg == "--mujoco-model") {
      options.mujoco_model = value();
    } else if (arg == "--output") {
      options.output = value();
    } else if (arg == "--samples-file") {
      options.samples_file = value();
    } else if (arg == "--port") {
      options.port = value();
    } else if (arg == "--side") {
      options.side = value();
    } else if (arg == "--left-port") {
      options.left_port = value();
    } else if (arg == "--right-port") {
      options.right_port = value();
    } else if (arg == "--baudrate") {
      options.baudrate = unsigned_32(value());
    } else if (arg == "--print-rate") {
      options.print_rate = std::stod(value());
    } else if (arg == "--capture-samples") {
      options.capture_samples = std::stoul(value());
    } else if (arg == "--capture-timeout") {
      options.capture_timeout = std::stod(value());
    } else if (arg == "--startup-valid-frames") {
      options.startup_valid_frames = std::stoul(value());
    } else if (arg == "--capture-pinch-stages") {
      options.capture_pinch_stages = true;
    } else if (arg == "--viewer") {
      options.viewer = true;
    } else if (arg == "--physics") {
      options.viewer = true;
      options.physics = true;
    } else if (arg == "--no-startup-commands") {
      options.startup_commands = false;
    } else if (arg == "--help" || arg == "-h") {
      return std::nullopt;
    } else {
      throw std::runtime_error("unknown option: " + arg);
    }
  }
  return options;
}

std::optional<Options> parse_options(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return parse_options(args);
}

void check_options(Options& options) {
  if (options.config.empty()) throw std::runtime_error("--config is required");

  if (options.bone_config.empty()) options.bone_config = bone_config_from_key(options.config);
  if (!options.bone_config.empty() && !regular_file(options.bone_config)) {
    throw std::runtime_error("bone config does not exist: " + options.bone_config.string());
  }

  const bool calibrate = options.mode == "calibrate";
  if (options.mode != "run" && !calibrate) throw std::runtime_error("--mode must be run or calibrate");
  if (options.side != "right" && options.side != "left")
    throw std::runtime_error("--side must be right or left");
  if (calibrate && options.output.empty()) throw std::runtime_error("--output is required in calibrate mode");
  if (calibrate && (options.viewer || options.physics)) {
    throw std::runtime_error("viewer and physics are only available in run mode");
  }
  // A NaN timeout would never run out; it fails like zero.
  if (options.startup_valid_frames == 0 || !(options.capture_timeout > 0.0)) {
    throw std::runtime_error("calibration sample counts and timeout must be positive");
  }
  if (options.left_port.empty() != options.right_port.empty()) {
    throw std::runtime_error("--left-port and --right-port must be provided together");
  }
  if (dual_hand_mode(options) && calibrate) {
    throw std::runtime_error(
        "dual-hand ports are only available in run mode; calibrate each side separately");
  }
  if (dual_hand_mode(options) && !options.mujoco_model.empty()) {
    throw std::runtime_error(
        "--mujoco-model cannot be used with dual-hand mode; models are resolved per side");
  }

  if (options.runtime_config.empty()) {
    const fs::path beside = fs::absolute(options.config).parent_path() / "config.yaml";
    if (regular_file(beside)) options.runtime_config = beside;
  }
}

std::string usage_text(const std::string& program) {
  return "Usage: " + program +
         " --config FILE [options]\n"
         "  --mode run|calibrate    Runtime mode (default: run)\n"
         "  --port PORT             /dev/ttyACM0, COM3, or auto (default)\n"
         "  --side right|left       Runtime hand side (default: right)\n"
         "  --left-port PORT       Enable dual-hand mode with the left glove\n"
         "  --right-port PORT      Enable dual-hand mode with the right glove\n"
         "  --runtime-config FILE   Glove filter/bias config (auto-detected when possible)\n"
         "  --bone-config FILE      Personal anthropometry YAML overlay\n"
         "  --baudrate RATE         Serial baud rate (default: 115200)\n"
         "  --output FILE           Calibration YAML output (required for calibrate)\n"
         "  --samples-file FILE    Generic eight-gesture sample YAML (replay/fitting)\n"
         "  --capture-pinch-stages  Capture all configured thumb pinch stages\n"
         "  --capture-samples N     Override frames per calibration stage\n"
         "  --capture-timeout SEC   Timeout per calibration stage (default: 10)\n"
         "  --startup-valid-frames N  Stable frames required before calibration (default: 10)\n"
         "  --viewer                Open the native MuJoCo viewer\n"
         "  --mujoco-model FILE     Override the auto-detected side XML\n"
         "  --physics               Drive MuJoCo actuators and step physics\n"
         "  --print-rate HZ         Joint console output rate, 0 disables it\n"
         "  --no-startup-commands   Do not configure glove telemetry on connect\n";
}

void usage(const std::string& program) {
  std::cout << usage_text(program) << std::flush;
}

}  // namespace kelto::hand::runtime
