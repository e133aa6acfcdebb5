// The program's serial port on the simulated glove: it opens the link like a USB device, configures the
// glove, reads decodable lines, sees the unplug as a disconnect and finds the glove again behind the link.
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "glove_simulator/glove_simulator.hpp"
#include "runtime/glove_decoder.hpp"
#include "runtime/serial_port.hpp"
#include "support/test_files.hpp"

namespace kelto::hand::simulator {
namespace {

using std::chrono::milliseconds;

TEST(SerialLinkTest, TheProgramsSerialPortWorksTheSimulatedGlove) {
  kelto::test::TempDir dir;
  const std::string link = (dir / "kelto-glove-right").string();
  GloveSimulatorOptions options;
  options.link = link;
  options.stream.glove.config =
      kelto::test::source_dir() / "resources/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml";
  options.stream.format = GloveLineFormat::quaternion;
  std::ostringstream log;
  GloveSimulator simulator(options, log);
  simulator.plug();
  runtime::GloveDecoder decoder(simulator.stream().glove().config(), nullptr, KX_HAND_RIGHT, "glove_right");

  runtime::SerialPort port;
  port.open(link, 115200);
  port.write("telemetry on\nrate 200\ndetail off\nmode mag\nsource filtered\nselect f1\n");
  for (int i = 0; i < 200 && simulator.commands().accepted.size() < 6; ++i) {
    std::this_thread::sleep_for(milliseconds(10));
    simulator.poll_commands();
  }
  EXPECT_EQ(simulator.commands().accepted.size(), 6u);
  EXPECT_TRUE(simulator.commands().rejected.empty());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(simulator.step(0.1 * i));
  for (int i = 0; i < 3; ++i) {
    const std::optional<std::string> line = port.read_line(milliseconds(5000));
    ASSERT_TRUE(line.has_value());
    EXPECT_TRUE(decoder.decode_line(*line).has_value()) << *line << ": " << decoder.last_error();
  }

  simulator.unplug();
  try {
    port.read_line(milliseconds(5000));
    ADD_FAILURE() << "no disconnect";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "serial device disconnected");
  }
  port.close();
  EXPECT_THROW(port.open(link, 115200), std::runtime_error);  // no device while unplugged

  simulator.plug();
  port.open(link, 115200);
  ASSERT_TRUE(simulator.step(1.0));
  const std::optional<std::string> line = port.read_line(milliseconds(5000));
  ASSERT_TRUE(line.has_value());
  EXPECT_TRUE(decoder.decode_line(*line).has_value());
}

}  // namespace
}  // namespace kelto::hand::simulator
