// The runtime program's command line: parsing, the checks after it, and the configurations they resolve.
#include "runtime/options.hpp"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/test_files.hpp"

namespace kelto::hand::runtime {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using kelto::test::TempDir;
using kelto::test::write_file;

Options parsed(const Args& args) {
  std::optional<Options> options = parse_options(args);
  if (!options) throw std::logic_error("help was requested");
  return *options;
}

// A configuration directory with a plain system file (the checks read only its bone_config key).
class RuntimeOptions : public ::testing::Test {
 protected:
  void SetUp() override { config_ = write_file(dir_ / "hand/system.yaml", "hand:\n  type: test\n"); }

  Options checked(Args args) {
    args.insert(args.begin(), {"--config", config_.string()});
    Options options = parsed(args);
    check_options(options);
    return options;
  }
  std::string error(Args args) {
    try {
      checked(std::move(args));
    } catch (const std::exception& error) {
      return error.what();
    }
    return "(no error)";
  }

  TempDir dir_;
  fs::path config_;
};

// Every command-line error's text; the first failing check speaks.
TEST_F(RuntimeOptions, ErrorTexts) {
  const std::string missing = (dir_ / "nowhere.yaml").string();
  const std::string directory = dir_.path().string();
  const std::pair<Args, std::string> cases[] = {
      {{"--side", "left", "--print-rate"}, "missing value for --print-rate"},
      {{"--config=a.yaml"}, "unknown option: --config=a.yaml"},  // no equals forms
      {{"--bogus", "--help"}, "unknown option: --bogus"},        // the error comes before help
      {{"--baudrate", "fast"}, "stoul"},
      {{"--baudrate", "4295082496"}, "stoul"},  // beyond 32 bits: refused, not wrapped to 115200
      {{"--baudrate", "-1"}, "stoul"},
      {{"--bone-config", directory}, "bone config does not exist: " + directory},
      {{"--mode", "Run"}, "--mode must be run or calibrate"},  // case matters
      {{"--mode", "calibrate"}, "--output is required in calibrate mode"},
      {{"--mode", "calibrate", "--output", "o.yaml", "--physics"},
       "viewer and physics are only available in run mode"},
      {{"--capture-timeout", "0"}, "calibration sample counts and timeout must be positive"},
      {{"--capture-timeout", "nan"}, "calibration sample counts and timeout must be positive"},
      {{"--right-port", "/dev/b"}, "--left-port and --right-port must be provided together"},
      {{"--mode", "calibrate", "--output", "o.yaml", "--left-port", "a", "--right-port", "b"},
       "dual-hand ports are only available in run mode; calibrate each side separately"},
      {{"--left-port", "a", "--right-port", "b", "--mujoco-model", "m.xml"},
       "--mujoco-model cannot be used with dual-hand mode; models are resolved per side"},
      {{"--bone-config", missing, "--mode", "x"}, "bone config does not exist: " + missing},
      {{"--mode", "x", "--side", "up"}, "--mode must be run or calibrate"},
      {{"--side", "up", "--mode", "calibrate"}, "--side must be right or left"},
      {{"--mode", "calibrate", "--viewer"}, "--output is required in calibrate mode"},
      {{"--startup-valid-frames", "0", "--left-port", "a"},
       "calibration sample counts and timeout must be positive"},
  };
  for (const auto& [args, text] : cases) EXPECT_EQ(error(args), text) << ::testing::PrintToString(args);
  Options no_config = parsed({"--side", "up"});
  EXPECT_THAT([&] { check_options(no_config); },
              ::testing::ThrowsMessage<std::runtime_error>("--config is required"));
  EXPECT_EQ(error({"--left-port", "a", "--right-port", "b", "--viewer"}), "(no error)");
  config_ = dir_ / "absent.yaml";
  EXPECT_NE(error({}), "(no error)");
}

TEST_F(RuntimeOptions, ValuesFlagsAndHelp) {
  const Options options =
      parsed({"--port", "/dev/a", "--port", "--dev-b", "--physics", "--no-startup-commands", "--baudrate",
              "4294967295", "--print-rate", "2.5", "--capture-samples", "7"});
  EXPECT_EQ(options.port, "--dev-b");              // the later one, taken whatever it looks like
  EXPECT_TRUE(options.viewer && options.physics);  // physics opens the viewer
  EXPECT_FALSE(options.startup_commands);
  EXPECT_EQ(options.baudrate, 4294967295u);
  EXPECT_DOUBLE_EQ(options.print_rate, 2.5);
  EXPECT_EQ(options.capture_samples, 7u);
  EXPECT_FALSE(parse_options(Args{"-h", "--bogus"}).has_value());
  EXPECT_FALSE(parse_options(Args{"--config", "a.yaml", "--help", "--port"}).has_value());
  EXPECT_EQ(parsed({"--config", "--help"}).config, fs::path("--help"));  // as a value, just text
}

// The bone configuration comes from the configuration's own key unless given; the runtime configuration
// is config.yaml beside the configuration unless given.
TEST_F(RuntimeOptions, ResolvesBoneAndRuntimeConfigurations) {
  const fs::path bones = write_file(dir_ / "hand/bones/me.yaml", "hand: {}\n");
  const fs::path absolute_bones = write_file(dir_ / "elsewhere/you.yaml", "hand: {}\n");
  const std::string here = config_.parent_path().string();
  const std::pair<std::string, std::string> keys[] = {
      {"bones/me.yaml", here + "/bones/me.yaml"},
      {absolute_bones.string(), absolute_bones.string()},
      {"[bones/me.yaml]", ""},
      {"~", ""},
  };
  for (const auto& [key, expected] : keys) {
    write_file(config_, "hand: {type: test}\nbone_config: " + key + "\n");
    EXPECT_EQ(checked({}).bone_config, fs::path(expected)) << key;
  }
  write_file(config_, "bone_config: missing.yaml\n");
  EXPECT_EQ(checked({"--bone-config", bones.string()}).bone_config, bones);
  EXPECT_EQ(error({}), "bone config does not exist: " + here + "/missing.yaml");
  write_file(config_, "bone_config: ''\n");  // the configuration's directory, not a file
  EXPECT_EQ(error({}), "bone config does not exist: " + here + "/");
  write_file(config_, "- just\n- a list\n");
  EXPECT_TRUE(checked({}).bone_config.empty());

  EXPECT_TRUE(checked({}).runtime_config.empty());
  fs::create_directories(config_.parent_path() / "config.yaml");  // a directory does not count
  EXPECT_TRUE(checked({}).runtime_config.empty());
  fs::remove(config_.parent_path() / "config.yaml");
  const fs::path beside = write_file(config_.parent_path() / "config.yaml", "glove: {}\n");
  EXPECT_EQ(checked({}).runtime_config, fs::absolute(beside));
  EXPECT_EQ(checked({"--runtime-config", "mine.yaml"}).runtime_config, fs::path("mine.yaml"));
}

TEST(RuntimeUsage, IsTheFixedTextAfterTheProgramName) {
  EXPECT_EQ(usage_text("/opt/bin/kelto_hand_runtime"),
            "Usage: /opt/bin/kelto_hand_runtime --config FILE [options]\n"
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
            "  --no-startup-commands   Do not configure glove telemetry on connect\n");
}

}  // namespace
}  // namespace kelto::hand::runtime
