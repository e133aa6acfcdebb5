// The runtime program's command line: parsing, the checks after it, and the bone and runtime
// configuration that the checks resolve.
#include "runtime/options.hpp"

#include <algorithm>
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

std::string parse_error(const Args& args) {
  try {
    parse_options(args);
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(no error)";
}

Options parsed(const Args& args) {
  std::optional<Options> options = parse_options(args);
  if (!options) throw std::logic_error("help was requested");
  return *options;
}

struct ParseErrorCase {
  Args args;
  std::string message;
};

TEST(OptionParsing, RejectsMalformedCommandLinesWithTheirOwnTexts) {
  const std::vector<ParseErrorCase> cases = {
      {{"--config"}, "missing value for --config"},
      {{"--config", "a.yaml", "--port"}, "missing value for --port"},
      {{"--side", "left", "--print-rate"}, "missing value for --print-rate"},
      {{"--bogus"}, "unknown option: --bogus"},
      {{"--config=a.yaml"}, "unknown option: --config=a.yaml"},  // no equals forms
      {{"--view"}, "unknown option: --view"},                    // no abbreviations
      {{"--Viewer"}, "unknown option: --Viewer"},                // case matters
      {{"a.yaml"}, "unknown option: a.yaml"},
      {{"--bogus", "--help"}, "unknown option: --bogus"},  // the error comes before help
      {{"--config", "a.yaml", "-x"}, "unknown option: -x"},
  };
  for (const ParseErrorCase& c : cases) {
    EXPECT_EQ(parse_error(c.args), c.message) << ::testing::PrintToString(c.args);
  }
}

TEST(OptionParsing, HelpBeforeAnyErrorEndsParsing) {
  EXPECT_FALSE(parse_options(Args{"--help"}).has_value());
  EXPECT_FALSE(parse_options(Args{"-h", "--bogus"}).has_value());
  EXPECT_FALSE(parse_options(Args{"--config", "a.yaml", "--help", "--port"}).has_value());
  // As a value, --help is just text.
  EXPECT_EQ(parsed({"--config", "--help"}).config, fs::path("--help"));
}

TEST(OptionParsing, NumbersUseTheStandardConversions) {
  EXPECT_THROW(parse_options(Args{"--baudrate", "fast"}), std::invalid_argument);
  EXPECT_THROW(parse_options(Args{"--print-rate", "often"}), std::invalid_argument);
  EXPECT_THROW(parse_options(Args{"--capture-samples", ""}), std::invalid_argument);
  EXPECT_THROW(parse_options(Args{"--startup-valid-frames", "99999999999999999999999"}), std::out_of_range);

  const Options options = parsed({"--baudrate", "230400", "--print-rate", "2.5", "--capture-samples", "7",
                                  "--capture-timeout", "0.5", "--startup-valid-frames", "3"});
  EXPECT_EQ(options.baudrate, 230400u);
  EXPECT_DOUBLE_EQ(options.print_rate, 2.5);
  EXPECT_EQ(options.capture_samples, 7u);
  EXPECT_DOUBLE_EQ(options.capture_timeout, 0.5);
  EXPECT_EQ(options.startup_valid_frames, 3u);
  // The baud rate is kept in 32 bits.
  EXPECT_EQ(parsed({"--baudrate", "4295082496"}).baudrate, 115200u);
}

TEST(OptionParsing, DefaultsFlagsAndLaterOccurrences) {
  const Options defaults = parsed({});
  EXPECT_TRUE(defaults.config.empty());
  EXPECT_EQ(defaults.port, "auto");
  EXPECT_EQ(defaults.side, "right");
  EXPECT_EQ(defaults.mode, "run");
  EXPECT_EQ(defaults.baudrate, 115200u);
  EXPECT_DOUBLE_EQ(defaults.print_rate, 10.0);
  EXPECT_DOUBLE_EQ(defaults.capture_timeout, 10.0);
  EXPECT_EQ(defaults.capture_samples, 0u);
  EXPECT_EQ(defaults.startup_valid_frames, 10u);
  EXPECT_FALSE(defaults.viewer || defaults.physics || defaults.capture_pinch_stages);
  EXPECT_TRUE(defaults.startup_commands);

  const Options physics = parsed({"--physics", "--no-startup-commands", "--capture-pinch-stages"});
  EXPECT_TRUE(physics.viewer);  // physics needs the viewer
  EXPECT_TRUE(physics.physics);
  EXPECT_FALSE(physics.startup_commands);
  EXPECT_TRUE(physics.capture_pinch_stages);
  const Options viewer = parsed({"--viewer"});
  EXPECT_TRUE(viewer.viewer);
  EXPECT_FALSE(viewer.physics);

  const Options later = parsed({"--port", "/dev/a", "--side", "left", "--port", "--dev-b", "--left-port", "L",
                                "--right-port", "R", "--output", "o.yaml", "--samples-file", "s.yaml",
                                "--mujoco-model", "m.xml", "--runtime-config", "r.yaml"});
  EXPECT_EQ(later.port, "--dev-b");
  EXPECT_EQ(later.side, "left");
  EXPECT_EQ(later.left_port, "L");
  EXPECT_EQ(later.right_port, "R");
  EXPECT_EQ(later.output, fs::path("o.yaml"));
  EXPECT_EQ(later.samples_file, fs::path("s.yaml"));
  EXPECT_EQ(later.mujoco_model, fs::path("m.xml"));
  EXPECT_EQ(later.runtime_config, fs::path("r.yaml"));
  EXPECT_TRUE(dual_hand_mode(later));
}

// A configuration directory with a plain system file (the checks read only its bone_config key).
class OptionChecks : public ::testing::Test {
 protected:
  void SetUp() override { config_ = write_file(dir_ / "hand/system.yaml", "hand:\n  type: test\n"); }

  Options checked(Args args) {
    args.insert(args.begin(), {"--config", config_.string()});
    Options options = parsed(args);
    check_options(options);
    return options;
  }
  std::string check_error(Args args) {
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

TEST_F(OptionChecks, EachFailureHasItsText) {
  const std::string missing_bone = (dir_ / "nowhere.yaml").string();
  const std::vector<ParseErrorCase> cases = {
      {{"--bone-config", missing_bone}, "bone config does not exist: " + missing_bone},
      {{"--bone-config", dir_.path().string()}, "bone config does not exist: " + dir_.path().string()},
      {{"--mode", "Run"}, "--mode must be run or calibrate"},
      {{"--side", "both"}, "--side must be right or left"},
      {{"--mode", "calibrate"}, "--output is required in calibrate mode"},
      {{"--mode", "calibrate", "--output", "o.yaml", "--viewer"},
       "viewer and physics are only available in run mode"},
      {{"--mode", "calibrate", "--output", "o.yaml", "--physics"},
       "viewer and physics are only available in run mode"},
      {{"--capture-timeout", "0"}, "calibration sample counts and timeout must be positive"},
      {{"--capture-timeout", "-1"}, "calibration sample counts and timeout must be positive"},
      {{"--capture-timeout", "nan"}, "calibration sample counts and timeout must be positive"},
      {{"--startup-valid-frames", "0"}, "calibration sample counts and timeout must be positive"},
      {{"--left-port", "/dev/a"}, "--left-port and --right-port must be provided together"},
      {{"--right-port", "/dev/b"}, "--left-port and --right-port must be provided together"},
      {{"--mode", "calibrate", "--output", "o.yaml", "--left-port", "a", "--right-port", "b"},
       "dual-hand ports are only available in run mode; calibrate each side separately"},
      {{"--left-port", "a", "--right-port", "b", "--mujoco-model", "m.xml"},
       "--mujoco-model cannot be used with dual-hand mode; models are resolved per side"},
      // The checks run in a fixed order: the first failing one speaks.
      {{"--bone-config", missing_bone, "--mode", "x"}, "bone config does not exist: " + missing_bone},
      {{"--mode", "x", "--side", "up"}, "--mode must be run or calibrate"},
      {{"--side", "up", "--mode", "calibrate"}, "--side must be right or left"},
      {{"--mode", "calibrate", "--viewer"}, "--output is required in calibrate mode"},
      {{"--startup-valid-frames", "0", "--left-port", "a"},
       "calibration sample counts and timeout must be positive"},
  };
  for (const ParseErrorCase& c : cases) {
    EXPECT_EQ(check_error(c.args), c.message) << ::testing::PrintToString(c.args);
  }
  Options no_config = parsed({"--side", "up"});
  EXPECT_THAT([&] { check_options(no_config); },
              ::testing::ThrowsMessage<std::runtime_error>("--config is required"));
}

TEST_F(OptionChecks, AcceptedCombinations) {
  EXPECT_NO_THROW(checked({"--left-port", "a", "--right-port", "b", "--viewer"}));
  EXPECT_NO_THROW(checked({"--mode", "calibrate", "--output", "o.yaml", "--capture-samples", "0"}));
  EXPECT_NO_THROW(checked({"--mujoco-model", "m.xml", "--physics", "--side", "left"}));
}

TEST_F(OptionChecks, MissingConfigurationFileIsAnError) {
  Options options = parsed({"--config", (dir_ / "absent.yaml").string()});
  EXPECT_ANY_THROW(check_options(options));
}

struct BoneKeyCase {
  std::string name;
  std::string key_yaml;  // the value of bone_config in the configuration file
  std::string expected;  // expected bone_config, "<dir>" standing for the configuration's directory
};

TEST_F(OptionChecks, BoneConfigurationComesFromTheConfigurationKey) {
  const fs::path bones = write_file(dir_ / "hand/bones/me.yaml", "hand: {}\n");
  const fs::path absolute_bones = write_file(dir_ / "elsewhere/you.yaml", "hand: {}\n");
  const std::vector<BoneKeyCase> cases = {
      {"relative to the configuration", "bones/me.yaml", "<dir>/bones/me.yaml"},
      {"absolute", absolute_bones.string(), absolute_bones.string()},
      {"sequence ignored", "[bones/me.yaml]", ""},
      {"map ignored", "{path: bones/me.yaml}", ""},
      {"null ignored", "~", ""},
  };
  for (const BoneKeyCase& c : cases) {
    write_file(config_, "hand: {type: test}\nbone_config: " + c.key_yaml + "\n");
    std::string expected = c.expected;
    if (expected.rfind("<dir>", 0) == 0) expected = config_.parent_path().string() + expected.substr(5);
    EXPECT_EQ(checked({}).bone_config, fs::path(expected)) << c.name;
  }
  // A given --bone-config wins over the key, even when the key names a missing file.
  write_file(config_, "bone_config: missing.yaml\n");
  EXPECT_EQ(checked({"--bone-config", bones.string()}).bone_config, bones);
  EXPECT_EQ(check_error({}),
            "bone config does not exist: " + (config_.parent_path() / "missing.yaml").string());
  // An empty key names the configuration's directory, which is not a file.
  write_file(config_, "bone_config: ''\n");
  EXPECT_EQ(check_error({}), "bone config does not exist: " + (config_.parent_path() / "").string());
  // A configuration that is not a mapping has no key.
  write_file(config_, "- just\n- a list\n");
  EXPECT_TRUE(checked({}).bone_config.empty());
}

TEST_F(OptionChecks, RuntimeConfigurationIsFoundBesideTheConfiguration) {
  EXPECT_TRUE(checked({}).runtime_config.empty());

  fs::create_directories(config_.parent_path() / "config.yaml");  // a directory does not count
  EXPECT_TRUE(checked({}).runtime_config.empty());
  fs::remove(config_.parent_path() / "config.yaml");

  const fs::path beside = write_file(config_.parent_path() / "config.yaml", "glove: {}\n");
  EXPECT_EQ(checked({}).runtime_config, fs::absolute(beside));
  EXPECT_EQ(checked({"--runtime-config", "mine.yaml"}).runtime_config, fs::path("mine.yaml"));
}

TEST(Usage, ListsEveryOptionUnderTheProgramName) {
  const std::string text = usage_text("/opt/bin/kelto_hand_runtime");
  EXPECT_EQ(text.rfind("Usage: /opt/bin/kelto_hand_runtime --config FILE [options]\n", 0), 0u);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 20);
  EXPECT_EQ(text.back(), '\n');
  for (const char* line :
       {"\n  --left-port PORT       Enable dual-hand mode with the left glove\n",
        "\n  --samples-file FILE    Generic eight-gesture sample YAML (replay/fitting)\n",
        "\n  --startup-valid-frames N  Stable frames required before calibration (default: 10)\n",
        "\n  --no-startup-commands   Do not configure glove telemetry on connect\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  for (const char* option :
       {"--mode", "--port", "--side", "--right-port", "--runtime-config", "--bone-config", "--baudrate",
        "--output", "--capture-pinch-stages", "--capture-samples", "--capture-timeout", "--viewer",
        "--mujoco-model", "--physics", "--print-rate"}) {
    EXPECT_NE(text.find("\n  " + std::string(option) + " "), std::string::npos) << option;
  }
  EXPECT_EQ(text.find("--help"), std::string::npos);
}

}  // namespace
}  // namespace kelto::hand::runtime
