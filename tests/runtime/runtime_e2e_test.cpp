// kelto_hand_runtime as a user runs it: against simulated gloves on pseudo-terminals, with signals, and
// with bad command lines. Waits have generous upper bounds only; nothing here measures speed.
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/config.hpp"
#include "glove_simulator/glove_line_writer.hpp"
#include "glove_simulator/pseudo_terminal.hpp"
#include "glove_simulator/simulated_glove.hpp"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "runtime/options.hpp"
#include "support/programs.hpp"

namespace kelto::hand::runtime {
namespace {

namespace fs = std::filesystem;
using kelto::test::hand_config;
using kelto::test::kRuntimeProgram;
using kelto::test::kSimulatorProgram;
using kelto::test::Program;
using Lines = std::vector<std::string>;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

Lines lines_starting(const std::string& text, const std::string& prefix) {
  Lines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0 && !in.eof()) lines.push_back(line);
  }
  return lines;
}

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// The joint names the program prints for a side of the bundled hand, in order.
Lines joint_names(const std::string& side) {
  return PinocchioHandKinematics(Config::load(hand_config(), {}, side), side).joint_names();
}

// Every joint line of `label` names each of the side's joints in order, in fixed notation with 4 decimals.
void expect_joint_lines(const std::string& out, const std::string& label, std::size_t at_least) {
  const Lines expected = joint_names(label);
  ASSERT_FALSE(expected.empty());
  const Lines lines = lines_starting(out, "[joints:" + label + "] ");
  ASSERT_GE(lines.size(), at_least) << out;
  const ::testing::Matcher<std::string> value = ::testing::MatchesRegex("-?[0-9]+\\.[0-9][0-9][0-9][0-9]");
  for (const std::string& line : lines) {
    std::istringstream words(line.substr(line.find(' ') + 1));
    Lines names;
    for (std::string word; words >> word;) {
      names.push_back(word.substr(0, word.find('=')));
      EXPECT_THAT(word.substr(word.find('=') + 1), value) << word;
    }
    ASSERT_EQ(names, expected) << line;
  }
}

class RuntimeProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(kRuntimeProgram) || !fs::exists(kSimulatorProgram)) GTEST_SKIP() << "programs not built";
  }

  // A simulated glove behind `link`, once its device is there; it outlives no test run.
  std::unique_ptr<Program> start_glove(const fs::path& link, const std::string& side, Lines extra = {}) {
    Lines args = {kSimulatorProgram.string(), "--link", link.string(), "--side", side, "--duration", "600"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto glove = std::make_unique<Program>(args, dir_.path());
    EXPECT_TRUE(glove->wait_for_text("[kelto_glove_simulator] " + side + " glove on")) << glove->err();
    return glove;
  }
  std::unique_ptr<Program> start_runtime(Lines args) {
    args.insert(args.begin(), {kRuntimeProgram.string(), "--config", hand_config().string()});
    return std::make_unique<Program>(args, dir_.path());
  }

  kelto::test::TempDir dir_;
  kelto::test::ScopedEnv home_{"KELTO_HOME", (dir_ / "kelto_home").string()};  // a scratch model cache
};

// One glove that sends every second line broken and is unplugged every second for a second: the program
// keeps streaming, reconnects by itself (configuring the glove again) and ends with status 0 on SIGTERM.
TEST_F(RuntimeProgram, OneHandSurvivesBrokenLinesAndUnplugging) {
  const fs::path link = dir_ / "glove_right";
  auto glove = start_glove(
      link, "right", {"--verbose", "--invalid-every", "2", "--unplug-after", "1", "--unplug-pause", "1"});
  auto runtime = start_runtime({"--port", link.string(), "--print-rate", "1000"});
  const std::string connected = "[kelto_hand_runtime] serial=" + link.string() +
                                " side=right joints=" + std::to_string(joint_names("right").size()) + "\n";
  const std::string invalid = "[kelto_hand_runtime] right ignored invalid glove frame: ";
  EXPECT_TRUE(runtime->wait_for([&] {
    const std::size_t last_connect = runtime->out().rfind(connected);
    return count_of(runtime->out(), connected) >= 2 &&
           runtime->out().find("[joints:right] ", last_connect) != std::string::npos &&
           runtime->err().find(invalid) != std::string::npos;
  })) << runtime->out()
      << runtime->err();
  runtime->signal(SIGTERM);
  EXPECT_EQ(runtime->wait_exit(), 0) << runtime->err();
  const std::size_t joint_lines = lines_starting(runtime->out(), "[joints:right]").size();
  expect_joint_lines(runtime->out(), "right", 2);

  // Standard error holds only the glove's troubles: broken lines (the first of every hundred), a lost
  // device and the attempts while it is away.
  const std::string prefix = "[kelto_hand_runtime] right ";
  std::size_t logged = 0, retries = 0;
  for (const std::string& line : lines_starting(runtime->err(), "")) {
    if (line.rfind(invalid, 0) == 0) {
      EXPECT_GT(line.size(), invalid.size()) << "the decoder's error text follows";
      ++logged;
    } else if (line.rfind(prefix + "serial connect failed: ", 0) == 0) {
      EXPECT_THAT(line, StartsWith(prefix + "serial connect failed: cannot open serial port " +
                                   link.string() + ": "));
      EXPECT_THAT(line, EndsWith("; retrying..."));
      ++retries;
    } else {
      EXPECT_THAT(line, StartsWith(prefix + "serial read failed: "));
      EXPECT_THAT(line, EndsWith("; reconnecting..."));
    }
  }
  EXPECT_GE(retries, 1u) << "the first attempt after the loss finds no device";
  EXPECT_LE(logged, 2 + joint_lines / 100) << runtime->err();

  // Each connection configured the glove with every start-up command.
  glove->signal(SIGTERM);
  EXPECT_EQ(glove->wait_exit(), 0);
  const std::size_t connections = count_of(runtime->out(), connected);
  for (const char* command :
       {"telemetry on", "rate 200", "detail off", "mode mag", "source filtered", "select f1"}) {
    const std::size_t sent =
        count_of(glove->err(), std::string("[kelto_glove_simulator] command: ") + command + "\n");
    EXPECT_GE(sent, 1u) << command << "\n" << glove->err();
    EXPECT_LE(sent, connections) << command;
  }
  EXPECT_EQ(count_of(glove->err(), "ignored command"), 0u) << glove->err();
}

// The test plays the glove. With --no-startup-commands nothing is sent to it. A pass whose lines all
// fail with an error is logged the first time and then every hundredth time (the 101st); lines rejected
// silently are not counted.
TEST_F(RuntimeProgram, InvalidGloveLinesAreLoggedSparselyAndNothingIsSent) {
  simulator::SimulatedGloveOptions hand;
  hand.config = hand_config();
  simulator::SimulatedGlove simulated(hand);
  const std::string valid =
      simulator::write_glove_line(simulated.frame(simulated.kinematics().pose_active("open")),
                                  simulated.finger_order(), simulator::GloveLineFormat::rpy);
  const std::string broken = "{t: p, fs: [";
  const Lines silent = {"status ok", "{t: x, fs: []}", "{t: p}"};
  simulator::PseudoTerminal glove;
  glove.open();
  auto runtime = start_runtime({"--port", glove.slave_path(), "--no-startup-commands"});
  ASSERT_TRUE(runtime->wait_for_text("[kelto_hand_runtime] serial=" + glove.slave_path() + " side=right"))
      << runtime->err();
  const std::string logged = "[kelto_hand_runtime] right ignored invalid glove frame: ";
  const auto logs = [&] { return count_of(runtime->err(), logged); };
  const auto send = [&](const std::string& line) {
    ASSERT_TRUE(glove.write_line(line));
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  };

  send(broken);
  EXPECT_TRUE(runtime->wait_for([&] { return logs() == 1; })) << runtime->err();
  for (int i = 0; i < 300; ++i) send(silent[i % silent.size()]);
  send(valid);  // its joint line shows that every line before it was read
  EXPECT_TRUE(runtime->wait_for_text("[joints:right] ")) << runtime->err();
  EXPECT_EQ(logs(), 1u) << runtime->err();

  // Each counted pass holds at least one broken line, so the second message needs 101 of them at least.
  std::size_t sent = 1;
  for (; logs() < 2 && sent < 5000; ++sent) send(broken);
  EXPECT_EQ(logs(), 2u) << runtime->err();
  EXPECT_GE(sent, 101u);
  runtime->signal(SIGTERM);
  EXPECT_EQ(runtime->wait_exit(), 0) << runtime->err();
  EXPECT_EQ(lines_starting(runtime->err(), logged).size(), 2u) << runtime->err();
  EXPECT_EQ(lines_starting(runtime->err(), "").size(), 2u) << runtime->err();
  EXPECT_EQ(glove.read_lines(), Lines{});
}

// A glove that takes no bytes (its output stopped) fails each connection after a second of waiting for
// the start-up commands to go out, and is retried; once it takes bytes again it is configured as usual.
TEST_F(RuntimeProgram, GloveThatTakesNoBytesIsRetried) {
  simulator::PseudoTerminal glove;
  glove.open();
  const int device = ::open(glove.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(device, 0);
  ASSERT_EQ(::tcflow(device, TCOOFF), 0);
  auto runtime = start_runtime({"--port", glove.slave_path()});
  const std::string failed = "[kelto_hand_runtime] right serial connect failed: serial write failed: ";
  EXPECT_TRUE(runtime->wait_for([&] { return count_of(runtime->err(), failed) >= 2; })) << runtime->err();
  ASSERT_EQ(::tcflow(device, TCOON), 0);
  ::close(device);
  EXPECT_TRUE(runtime->wait_for_text("[kelto_hand_runtime] serial=" + glove.slave_path() + " side=right"))
      << runtime->err();
  Lines commands;
  EXPECT_TRUE(runtime->wait_for([&] {
    for (std::string& line : glove.read_lines()) commands.push_back(std::move(line));
    return commands.size() >= 6;
  }));
  EXPECT_EQ(commands,
            (Lines{"telemetry on", "rate 200", "detail off", "mode mag", "source filtered", "select f1"}));
  runtime->signal(SIGTERM);
  EXPECT_EQ(runtime->wait_exit(), 0);
  for (const std::string& line : lines_starting(runtime->err(), ""))
    EXPECT_EQ(line, failed + std::strerror(ETIMEDOUT) + "; retrying...");
}

// Two gloves: each is stepped as its own side (left connected first) until SIGINT ends the program.
TEST_F(RuntimeProgram, DualHandModeStepsEachGloveAsItsOwnSide) {
  const fs::path left = dir_ / "glove_left";
  const fs::path right = dir_ / "glove_right";
  auto left_glove = start_glove(left, "left");
  auto right_glove = start_glove(right, "right");
  auto runtime =
      start_runtime({"--left-port", left.string(), "--right-port", right.string(), "--print-rate", "50"});
  EXPECT_TRUE(runtime->wait_for([&] {
    return lines_starting(runtime->out(), "[joints:left]").size() >= 3 &&
           lines_starting(runtime->out(), "[joints:right]").size() >= 3;
  })) << runtime->out()
      << runtime->err();
  runtime->signal(SIGINT);
  EXPECT_EQ(runtime->wait_exit(), 0) << runtime->err();
  const std::string out = runtime->out();
  const std::size_t left_at = out.find("[kelto_hand_runtime] serial=" + left.string() + " side=left joints=");
  const std::size_t right_at =
      out.find("[kelto_hand_runtime] serial=" + right.string() + " side=right joints=");
  ASSERT_NE(right_at, std::string::npos) << out;
  EXPECT_LT(left_at, right_at);
  expect_joint_lines(out, "left", 3);
  expect_joint_lines(out, "right", 3);
  EXPECT_EQ(runtime->err(), "");
}

// Command-line and start-up errors: status 1, one error line, the usage text; help: status 0.
// Guided calibration as a user goes through it: a simulated glove streams, the program waits for stable
// frames, each Enter press on standard input captures one gesture, and the overlay is written at the end.
TEST_F(RuntimeProgram, CalibrateCapturesAGestureOnEachEnterPress) {
  const fs::path link = dir_ / "glove_right";
  auto glove = start_glove(link, "right");
  const fs::path overlay = dir_ / "calibration.yaml";
  Program runtime({kRuntimeProgram.string(), "--config", hand_config().string(), "--mode", "calibrate",
                   "--port", link.string(), "--output", overlay.string(), "--capture-samples", "10"},
                  dir_.path(), kelto::test::StandardInput::pipe);
  const std::string press = "[kelto_hand_calibration] 准备好后按 Enter 开始采样。";
  const Lines gestures = {"close", "open", "mcp90"};
  for (std::size_t stage = 1; stage <= gestures.size(); ++stage) {
    ASSERT_TRUE(runtime.wait_for([&] { return count_of(runtime.out(), press) == stage; }))
        << runtime.out() << runtime.err();
    ASSERT_TRUE(runtime.input("\n"));
  }
  EXPECT_EQ(runtime.wait_exit(), 0) << runtime.err();
  EXPECT_THAT(runtime.out(),
              HasSubstr("[kelto_hand_runtime] serial=" + link.string() +
                        " side=right mode=calibrate\n[kelto_hand_calibration] 等待稳定的手套数据...\n"));
  for (const std::string& gesture : gestures)
    EXPECT_THAT(runtime.out(), HasSubstr("[kelto_hand_calibration] " + gesture + " 10/10")) << gesture;
  EXPECT_THAT(runtime.out(),
              HasSubstr("[kelto_hand_calibration] 标定完成：" + ("\"" + overlay.string() + "\"")));
  EXPECT_THAT(kelto::test::read_file(overlay), HasSubstr("tip_mapping:\n  right:\n    human_hand_scale: "));
}

// A signal while calibrate mode waits for Enter (standard input a pipe or a terminal, neither closed)
// ends the stage at once as an interrupted capture: no frames, the error, the usage, status 1.
TEST_F(RuntimeProgram, CalibrateSignalAtThePromptFailsTheStage) {
  const fs::path link = dir_ / "glove_right";
  auto glove = start_glove(link, "right");
  const std::string press = "[kelto_hand_calibration] 准备好后按 Enter 开始采样。";
  const std::tuple<kelto::test::StandardInput, int> cases[] = {
      {kelto::test::StandardInput::pipe, SIGINT}, {kelto::test::StandardInput::terminal, SIGTERM}};
  for (const auto& [input, signal] : cases) {
    SCOPED_TRACE(signal);
    Program runtime(
        {kRuntimeProgram.string(), "--config", hand_config().string(), "--mode", "calibrate", "--port",
         link.string(), "--output", (dir_ / "calibration.yaml").string(), "--capture-samples", "3"},
        dir_.path(), input);
    ASSERT_TRUE(runtime.wait_for_text(press)) << runtime.out() << runtime.err();
    ASSERT_TRUE(runtime.input("\n"));  // the first stage starts as usual
    ASSERT_TRUE(runtime.wait_for([&] { return count_of(runtime.out(), press) == 2; })) << runtime.err();
    runtime.signal(signal);
    // A wait that the signal does not end would last until standard input closes.
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         !runtime.ended() && std::chrono::steady_clock::now() < end;)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    runtime.close_input();
    EXPECT_EQ(runtime.wait_exit(), 1);
    EXPECT_EQ(runtime.err(), "[kelto_hand_runtime] error: capture timeout for open: received 0/3 frames\n");
    EXPECT_THAT(runtime.out(), HasSubstr("[kelto_hand_calibration] close 3/3\n"));
    EXPECT_THAT(runtime.out(), EndsWith(press + "\n" + usage_text(kRuntimeProgram.string())));
    EXPECT_FALSE(fs::exists(dir_ / "calibration.yaml"));
  }
}

TEST_F(RuntimeProgram, ErrorsEndWithUsageAndStatusOne) {
  const std::string config = hand_config().string();
  const fs::path not_a_hand = kelto::test::write_file(
      dir_ / "not_a_hand.yaml", "hand:\n  type: nothing\nretargeting:\n  finger_order: [thumb, first]\n");
  const std::tuple<Lines, int, std::string> cases[] = {
      {{"--help", "--bogus"}, 0, ""},
      {{"--bogus", "--help"}, 1, "unknown option: --bogus"},
      {{"--side", "left"}, 1, "--config is required"},
      {{"--config", config, "--baudrate", "4295082496"}, 1, "stoul"},
      {{"--config", config, "--left-port", "a"}, 1, "--left-port and --right-port must be provided together"},
      {{"--config", not_a_hand.string(), "--port", "/dev/null"}, 1, "engine creation failed: "},
  };
  for (const auto& [args, status, error] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    Lines command = args;
    command.insert(command.begin(), kRuntimeProgram.string());
    Program child(command, dir_.path());
    EXPECT_EQ(child.wait_exit(), status) << child.err();
    EXPECT_EQ(child.out(), usage_text(kRuntimeProgram.string()));
    if (status == 0) {
      EXPECT_EQ(child.err(), "");
    } else {
      EXPECT_THAT(child.err(), StartsWith("[kelto_hand_runtime] error: " + error));
      EXPECT_EQ(count_of(child.err(), "\n"), 1u) << child.err();
    }
  }
}

}  // namespace
}  // namespace kelto::hand::runtime
