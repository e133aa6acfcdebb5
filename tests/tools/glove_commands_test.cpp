// Command lines the simulated glove accepts and the settings they leave behind (the program's start-up
// commands are checked against the running simulator).
#include "glove_simulator/glove_commands.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kelto::hand::simulator {
namespace {

TEST(GloveCommandsTest, SpacingAndCarriageReturnsAreToleratedBadCommandsChangeNothing) {
  GloveCommandState state;
  for (const std::string line : {"  telemetry   off \r", "rate 62.5", "select f2\r", " ", ""})
    EXPECT_TRUE(apply_glove_command(state, line)) << line;
  EXPECT_EQ(state.accepted, (std::vector<std::string>{"telemetry   off", "rate 62.5", "select f2"}));
  EXPECT_FALSE(state.telemetry);
  EXPECT_EQ(state.rate_hz, 62.5);
  EXPECT_EQ(state.select, "f2");
  for (const std::string line : {"telemetry maybe", "telemetry on now", "rate 0", "rate 5000", "rate 20x",
                                 "rate nan", "mode", "selectf1", "TELEMETRY off"}) {
    GloveCommandState fresh;
    EXPECT_FALSE(apply_glove_command(fresh, line)) << line;
    EXPECT_TRUE(fresh.telemetry && fresh.rate_hz == 200.0 && fresh.mode == "mag" && fresh.select == "f1")
        << line;
    EXPECT_EQ(fresh.rejected, std::vector<std::string>{line});
  }
}

}  // namespace
}  // namespace kelto::hand::simulator
