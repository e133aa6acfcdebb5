// Command lines the simulated glove accepts and the settings they leave behind.
#include "glove_simulator/glove_commands.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kelto::hand::simulator {
namespace {

TEST(GloveCommandsTest, TheProgramsStartUpCommandsAreAccepted) {
  GloveCommandState state;
  state.telemetry = state.detail = false;
  state.rate_hz = 50;
  state.mode = state.source = state.select = "";
  const std::vector<std::string> lines{"telemetry on",    "rate 200",    "detail off", "mode mag",
                                       "source filtered", "select f1\r", " ",          ""};
  for (const std::string& line : lines) EXPECT_TRUE(apply_glove_command(state, line)) << line;
  EXPECT_EQ(state.accepted, (std::vector<std::string>{"telemetry on", "rate 200", "detail off", "mode mag",
                                                      "source filtered", "select f1"}));
  EXPECT_TRUE(state.rejected.empty());
  EXPECT_TRUE(state.telemetry);
  EXPECT_EQ(state.rate_hz, 200.0);
  EXPECT_EQ(state.mode + " " + state.source + " " + state.select, "mag filtered f1");
  EXPECT_TRUE(apply_glove_command(state, "  telemetry   off \r"));
  EXPECT_FALSE(state.telemetry);
  EXPECT_TRUE(apply_glove_command(state, "rate 62.5"));
  EXPECT_EQ(state.rate_hz, 62.5);
}

TEST(GloveCommandsTest, BadCommandsAreRejectedAndChangeNothing) {
  for (const std::string line : {"telemetry maybe", "telemetry", "telemetry on now", "rate 0", "rate 5000",
                                 "rate 20x", "rate nan", "mode", "selectf1", "reboot", "TELEMETRY off"}) {
    GloveCommandState state;
    EXPECT_FALSE(apply_glove_command(state, line)) << line;
    EXPECT_TRUE(state.telemetry && state.rate_hz == 200.0 && state.mode == "mag" && state.select == "f1")
        << line;
    EXPECT_EQ(state.rejected, std::vector<std::string>{line});
  }
}

}  // namespace
}  // namespace kelto::hand::simulator
