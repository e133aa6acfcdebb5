// Command line of the glove simulator.
#include "glove_simulator/simulator_options.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kelto::hand::simulator {
namespace {

SimulatorOptions parse(const std::vector<std::string>& args) {
  return parse_simulator_options(args, "/hand.yaml");
}

// Most options are exercised by the program tests that run the simulator; here the sharp edges.
TEST(SimulatorOptionsTest, OptionsReachTheirSettings) {
  const SimulatorOptions o = parse({"--link", "a", "--format", "quat", "--link", "b"});
  EXPECT_EQ(o.simulator.link, "b");  // the last occurrence wins
  EXPECT_EQ(o.simulator.stream.glove.config, "/hand.yaml");
  EXPECT_EQ(o.simulator.stream.format, GloveLineFormat::quaternion);
  EXPECT_FALSE(o.simulator.stream.glove.mount_yaw_deg);                     // unset: as configured
  EXPECT_EQ(parse({"--write-samples", "s.yaml"}).write_samples, "s.yaml");  // no link needed
  EXPECT_TRUE(parse({"-h", "--bogus"}).help);
}

TEST(SimulatorOptionsTest, BadCommandLinesAreRefusedWithTheirReason) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "--link is required (or --write-samples)"},
      {{"--link"}, "missing value for --link"},
      {{"--link", "a", "--bogus", "-h"}, "unknown option: --bogus"},
      {{"--link", "a", "--rate", "2000"}, "--rate must lie in [1, 1000] Hz"},
      {{"--link", "a", "--rate", "100hz"}, "invalid number for --rate: 100hz"},
      {{"--link", "a", "--duration", "inf"}, "invalid number for --duration: inf"},
      {{"--link", "a", "--invalid-every", "-3"}, "invalid count for --invalid-every: -3"},
      {{"--link", "a", "--script", "wave"}, "script must be cycle, pinch, fist or all: wave"},
  };
  for (const auto& [args, expected] : cases) {
    std::string got = "no error";
    try {
      parse(args);
    } catch (const std::exception& error) {
      got = error.what();
    }
    EXPECT_EQ(got, expected);
  }
}

}  // namespace
}  // namespace kelto::hand::simulator
