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
      {{"--baudrate", "4295082496"}, "stoul"},  // beyond 32 bits: refused, not wrapped to 115200
      {{"--baudrate", "-1"}, "stoul"},
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

TEST(OptionParsing, ValuesFlagsAndNumbers) {
  const Options options =
      parsed({"--port", "/dev/a", "--port", "--dev-b", "--physics", "--no-startup-commands", "--baudrate",
              "230400", "--print-rate", "2.5", "--capture-samples", "7"});
  EXPECT_EQ(options.port, "--dev-b");              // the later one, taken whatever it looks like
  EXPECT_TRUE(options.viewer && options.physics);  // physics opens the viewer
  EXPECT_FALSE(options.startup_commands);
  EXPECT_EQ(options.baudrate, 230400u);
  EXPECT_DOUBLE_EQ(options.print_rate, 2.5);
  EXPECT_EQ(options.capture_samples, 7u);
  EXPECT_EQ(parsed({"--baudrate", "4294967295"}).baudrate, 4294967295u);
  EXPECT_THROW(parse_options(Args{"--baudrate", "fast"}), std::invalid_argument);
  EXPECT_THROW(parse_options(Args{"--startup-valid-frames", "99999999999999999999999"}), std::out_of_range);
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

TEST_F(OptionChecks, AcceptedCombinationsAndAMissingFile) {
  EXPECT_NO_THROW(checked({"--left-port", "a", "--right-port", "b", "--viewer"}));
  EXPECT_NO_THROW(checked({"--mode", "calibrate", "--output", "o.yaml", "--side", "left"}));
  config_ = dir_ / "absent.yaml";
  EXPECT_ANY_THROW(checked({}));
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

TEST(Usage, StartsWithTheProgramNameAndHasOneLinePerOption) {
  const std::string text = usage_text("/opt/bin/kelto_hand_runtime");
  EXPECT_EQ(
      text.rfind("Usage: /opt/bin/kelto_hand_runtime --config FILE [options]\n  --mode run|calibrate ", 0),
      0u);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 20);
  EXPECT_NE(text.find("\n  --no-startup-commands   Do not configure glove telemetry on connect\n"),
            std::string::npos);
  EXPECT_EQ(text.find("--help"), std::string::npos);
}

}  // namespace
}  // namespace kelto::hand::runtime
