// The simulated glove driven tick by tick: commands, streaming, unplugging and plugging in again, and the
// stream's invalid lines (the program's reconnection to it is tested with the program itself).
#include "glove_simulator/glove_simulator.hpp"

#include <yaml-cpp/yaml.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/programs.hpp"
#include "tools/terminal_reader.hpp"

namespace kelto::hand::simulator {
namespace {

using kelto::test::TerminalReader;
namespace fs = std::filesystem;

GloveSimulatorOptions options_for(const fs::path& link) {
  GloveSimulatorOptions options;
  options.link = link;
  options.stream.glove.config = kelto::test::hand_config();
  options.stream.script = MotionScriptKind::cycle;
  options.rate_hz = 50.0;
  return options;
}

// Bytes written to one end of a terminal reach the other shortly after, not at once.
template <typename Done>
bool poll_until(GloveSimulator& simulator, Done done) {
  for (int i = 0; i < 200 && !done(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    simulator.poll_commands();
  }
  return done();
}

// Plugged in behind the link it follows the program's commands and streams; unplugged the device hangs up
// and the link goes; plugged in again it starts with fresh settings; gone, it takes the link with it.
TEST(GloveSimulatorTest, StreamsFollowsCommandsAndComesBackFreshAfterUnplugging) {
  kelto::test::TempDir dir;
  const fs::path link = dir / "glove-right";
  std::ostringstream log;
  GloveSimulatorOptions options = options_for(link);
  options.verbose = true;
  {
    GloveSimulator simulator(options, log);
    EXPECT_FALSE(simulator.step(0.0));  // nothing to send to while unplugged
    simulator.plug();
    EXPECT_EQ(fs::read_symlink(link), simulator.device());
    TerminalReader program(link.string());
    program.write("rate 200\nreboot\n");
    ASSERT_TRUE(poll_until(simulator, [&] { return simulator.commands().rejected.size() == 1; }));
    EXPECT_EQ(simulator.rate_hz(), 200.0);
    EXPECT_NE(log.str().find("] command: rate 200\n"), std::string::npos) << log.str();
    EXPECT_NE(log.str().find("] ignored command: reboot\n"), std::string::npos) << log.str();
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(simulator.step(i * 0.005));
    const std::vector<std::string> lines = program.read_lines(10);
    ASSERT_EQ(lines.size(), 10u);
    for (const std::string& line : lines) EXPECT_EQ(YAML::Load(line)["fs"].size(), 5u) << line;
    program.write("telemetry off\n");
    ASSERT_TRUE(poll_until(simulator, [&] { return !simulator.commands().telemetry; }));
    EXPECT_FALSE(simulator.step(0.1));
    EXPECT_EQ(simulator.sent_lines(), 10u);

    simulator.unplug();
    EXPECT_TRUE(program.hung_up());
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    simulator.plug();
    EXPECT_TRUE(simulator.commands().accepted.empty());
    EXPECT_EQ(simulator.rate_hz(), 50.0);
    TerminalReader again(link.string());
    EXPECT_TRUE(simulator.step(1.5));  // telemetry is on again
    EXPECT_EQ(again.read_lines(1).size(), 1u);
    simulator.plug();  // plugging in again without unplugging replaces the device too
    EXPECT_TRUE(again.hung_up());
    EXPECT_EQ(fs::read_symlink(link), simulator.device());
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST(GloveStreamTest, EveryNthLineIsInvalid) {
  GloveStreamOptions options = options_for("unused").stream;
  options.invalid_every = 3;
  GloveStream stream(options);
  for (int i = 1; i <= 12; ++i) {
    const std::string line = stream.next_line(0.01 * i);
    bool pose = false;
    try {
      const YAML::Node node = YAML::Load(line);
      node["fs"][0][1].as<double>();  // throws for a coordinate that is not a number
      pose = node["t"].as<std::string>() == "p" && node["fs"][0][0].as<int>() == 1;
    } catch (const YAML::Exception&) {
    }
    EXPECT_EQ(pose, i % 3 != 0) << line;
  }
  EXPECT_EQ(stream.invalid_line_count(), 4u);
}

}  // namespace
}  // namespace kelto::hand::simulator
