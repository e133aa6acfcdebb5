// kelto_hand_runtime as a user runs it: against simulated gloves on pseudo-terminals, with signals, and
// with bad command lines. Waits have generous upper bounds only; nothing here measures speed.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelto_hand.h"
#include "runtime/options.hpp"
#include "support/test_files.hpp"

extern char** environ;

namespace kelto::hand::runtime {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
using ::testing::EndsWith;
using ::testing::StartsWith;

// Upper bound for anything the programs should do; start-up builds hand models, slow under sanitizers.
constexpr auto kLimit = 180s;

const fs::path kRuntime = fs::path(KELTO_BINARY_DIR) / "apps/runtime/kelto_hand_runtime";
const fs::path kSimulator = fs::path(KELTO_BINARY_DIR) / "tools/kelto_glove_simulator";

fs::path hand_config() {
  return kelto::test::source_dir() / "resources/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml";
}

// A program whose standard output and error go to files in `dir`; killed if still running at the end.
class Child {
 public:
  Child(const Lines& args, const fs::path& dir)
      : out_(dir / (std::to_string(++count_) + ".out")), err_(out_) {
    err_.replace_extension(".err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(spawned));
  }
  ~Child() {
    if (!status_) ::kill(pid_, SIGKILL);
    if (!status_) ::waitpid(pid_, nullptr, 0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  std::string out() const { return kelto::test::read_file(out_); }
  std::string err() const { return kelto::test::read_file(err_); }
  void signal(int number) const { ::kill(pid_, number); }

  // Waits until `ready` holds, the program has ended or the limit has passed.
  bool wait_for(const std::function<bool()>& ready) {
    for (const Clock::time_point end = Clock::now() + kLimit; !ready(); std::this_thread::sleep_for(20ms)) {
      if (Clock::now() >= end || reap()) return ready();
    }
    return true;
  }
  bool wait_for_text(const std::string& text) {
    return wait_for([&] { return out().find(text) != std::string::npos; });
  }
  // The exit status once the program has ended by itself; no value for a signal death or the limit.
  std::optional<int> wait_exit() {
    wait_for([&] { return reap(); });
    if (!status_ || !WIFEXITED(*status_)) return std::nullopt;
    return WEXITSTATUS(*status_);
  }

 private:
  bool reap() {
    int status = 0;
    if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return status_.has_value();
  }

  static inline int count_ = 0;
  fs::path out_, err_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

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

// The joint names the engine reports for a side of the bundled hand.
Lines engine_joint_names(kx_hand_side side) {
  const std::string path = hand_config().string();
  kx_engine_options options{};
  options.struct_size = sizeof options;
  options.abi_version = KX_ABI_VERSION_MAJOR;
  options.config_path = {path.data(), path.size()};
  kx_engine* engine = nullptr;
  if (kx_engine_create(&options, &engine) != KX_STATUS_OK) throw std::runtime_error(kx_last_error());
  // A step names the side whose getters answer, even when its glove data is refused.
  kx_engine_input input{};
  input.struct_size = sizeof input;
  input.abi_version = KX_ABI_VERSION_MAJOR;
  input.hand_side = side;
  std::vector<double> joints(256);
  kx_engine_output output{};
  output.struct_size = sizeof output;
  output.abi_version = KX_ABI_VERSION_MAJOR;
  output.joint_capacity = joints.size();
  output.joints = joints.data();
  kx_engine_step(engine, &input, &output);
  Lines names;
  for (std::size_t i = 0; i < kx_engine_joint_count(engine); ++i)
    names.emplace_back(kx_engine_joint_name(engine, i));
  kx_engine_destroy(engine);
  return names;
}

// Every joint line of `label` names each of the side's joints in order, in fixed notation with 4 decimals.
void expect_joint_lines(const std::string& out, const std::string& label, kx_hand_side side,
                        std::size_t at_least) {
  const Lines expected = engine_joint_names(side);
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
    if (!fs::exists(kRuntime) || !fs::exists(kSimulator)) GTEST_SKIP() << "the programs are not built";
  }

  // A simulated glove behind `link`, once its device is there; it outlives no test run.
  std::unique_ptr<Child> start_glove(const fs::path& link, const std::string& side, Lines extra = {}) {
    Lines args = {kSimulator.string(), "--link", link.string(), "--side", side, "--duration", "600"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto glove = std::make_unique<Child>(args, dir_.path());
    EXPECT_TRUE(glove->wait_for_text("[kelto_glove_simulator] " + side + " glove on")) << glove->err();
    return glove;
  }
  std::unique_ptr<Child> start_runtime(Lines args) {
    args.insert(args.begin(), {kRuntime.string(), "--config", hand_config().string()});
    return std::make_unique<Child>(args, dir_.path());
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
  const std::string connected = "[kelto_hand_runtime] serial=" + link.string() + " side=right joints=" +
                                std::to_string(engine_joint_names(KX_HAND_RIGHT).size()) + "\n";
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
  expect_joint_lines(runtime->out(), "right", KX_HAND_RIGHT, 2);

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
  const std::string& out = runtime->out();
  const std::size_t left_at = out.find("[kelto_hand_runtime] serial=" + left.string() + " side=left joints=");
  const std::size_t right_at =
      out.find("[kelto_hand_runtime] serial=" + right.string() + " side=right joints=");
  ASSERT_NE(right_at, std::string::npos) << out;
  EXPECT_LT(left_at, right_at);
  expect_joint_lines(out, "left", KX_HAND_LEFT, 3);
  expect_joint_lines(out, "right", KX_HAND_RIGHT, 3);
  EXPECT_EQ(runtime->err(), "");
}

// Command-line and start-up errors: status 1, one error line, the usage text; help: status 0.
TEST_F(RuntimeProgram, ErrorsEndWithUsageAndStatusOne) {
  const std::string config = hand_config().string();
  const fs::path not_a_hand = kelto::test::write_file(
      dir_ / "not_a_hand.yaml", "hand:\n  type: nothing\nretargeting:\n  finger_order: [thumb, first]\n");
  const std::tuple<Lines, int, std::string> cases[] = {
      {{"--help", "--bogus"}, 0, ""},
      {{"--bogus", "--help"}, 1, "unknown option: --bogus"},
      {{"--config", config, "--side"}, 1, "missing value for --side"},
      {{"--side", "left"}, 1, "--config is required"},
      {{"--config", config, "--baudrate", "4295082496"}, 1, "stoul"},
      {{"--config", config, "--side", "both"}, 1, "--side must be right or left"},
      {{"--config", config, "--left-port", "a"}, 1, "--left-port and --right-port must be provided together"},
      {{"--config", not_a_hand.string(), "--port", "/dev/null"}, 1, "engine creation failed: "},
  };
  for (const auto& [args, status, error] : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    Lines command = {kRuntime.string()};
    command.insert(command.end(), args.begin(), args.end());
    Child child(command, dir_.path());
    EXPECT_EQ(child.wait_exit(), status) << child.err();
    EXPECT_EQ(child.out(), usage_text(kRuntime.string()));
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
