// kelto_hand_runtime as a user runs it: against simulated gloves on pseudo-terminals, with signals, and
// with bad command lines. Waits have generous upper bounds only; nothing here measures speed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
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
using kelto::test::TempDir;

// Upper bound for anything the programs should do; reached only when something is broken. Start-up
// builds two hand models per process, which takes a while under the sanitizers.
constexpr auto kLimit = 180s;

fs::path runtime_program() {
  return fs::path(KELTO_BINARY_DIR) / "apps/runtime/kelto_hand_runtime";
}

std::optional<fs::path> simulator_program() {
  for (const char* relative :
       {"tools/kelto_glove_simulator", "tools/glove_simulator/kelto_glove_simulator"}) {
    const fs::path path = fs::path(KELTO_BINARY_DIR) / relative;
    if (fs::exists(path)) return path;
  }
  return std::nullopt;
}

fs::path hand_config() {
  return kelto::test::source_dir() / "resources/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml";
}

// A program started with its standard output and error read through pipes; killed if still running when
// the object goes away.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    if (spawned != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(spawned));
    }
  }
  ~Child() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    ::close(out_fd_);
    ::close(err_fd_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }
  void signal(int number) const { ::kill(pid_, number); }

  // Reads output until `ready` holds, the program has ended or the limit has passed.
  bool wait_for(const std::function<bool()>& ready, Clock::duration limit = kLimit) {
    const Clock::time_point end = Clock::now() + limit;
    while (!ready()) {
      if (Clock::now() >= end || (reap() && !pump(0))) return ready();
      pump(50);
    }
    return true;
  }
  bool wait_for_text(const std::string& text, bool in_err = false) {
    return wait_for([&] { return (in_err ? err_ : out_).find(text) != std::string::npos; });
  }

  // The exit status, once the program has ended by itself; no value for a signal death or the limit.
  std::optional<int> wait_exit(Clock::duration limit = kLimit) {
    wait_for([&] { return reap(); }, limit);
    while (pump(0)) {
    }
    if (!status_ || !WIFEXITED(*status_)) return std::nullopt;
    return WEXITSTATUS(*status_);
  }

 private:
  bool reap() {
    if (status_) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return status_.has_value();
  }
  // Reads what is there (waiting up to `wait_ms`); true when something arrived.
  bool pump(int wait_ms) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (::poll(fds, 2, wait_ms) <= 0) return false;
    bool got = false;
    char buffer[65536];
    for (int i = 0; i < 2; ++i) {
      if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
        got = true;
      }
    }
    return got;
  }

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
  std::optional<int> status_;
};

Lines complete_lines_starting(const std::string& text, const std::string& prefix) {
  Lines lines;
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    if (text.compare(start, prefix.size(), prefix) == 0) lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
    ++count;
  return count;
}

// The joint names the engine reports for a side of the bundled hand.
Lines engine_joint_names(kx_hand_side side) {
  static std::map<kx_hand_side, Lines> cache;
  if (cache.count(side) != 0) return cache[side];
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
  return cache[side] = names;
}

// Fixed notation with four decimals: an optional minus, digits, a point and four digits.
bool has_four_decimals(const std::string& value) {
  const std::size_t start = value.rfind('-', 0) == 0 ? 1 : 0;
  const std::size_t point = value.find('.');
  if (point == std::string::npos || point == start || value.size() != point + 5) return false;
  for (std::size_t i = start; i < value.size(); ++i) {
    if (i != point && (value[i] < '0' || value[i] > '9')) return false;
  }
  return true;
}

// Every joint line of `label` in `out` names each of the side's joints in order, with four decimals.
void expect_joint_lines(const std::string& out, const std::string& label, kx_hand_side side,
                        std::size_t at_least) {
  const Lines expected = engine_joint_names(side);
  ASSERT_FALSE(expected.empty());
  const Lines lines = complete_lines_starting(out, "[joints:" + label + "] ");
  ASSERT_GE(lines.size(), at_least) << out;
  for (const std::string& line : lines) {
    std::istringstream words(line.substr(line.find(' ') + 1));
    Lines names;
    for (std::string word; words >> word;) {
      const std::size_t eq = word.find('=');
      ASSERT_NE(eq, std::string::npos) << line;
      names.push_back(word.substr(0, eq));
      EXPECT_TRUE(has_four_decimals(word.substr(eq + 1))) << word;
    }
    ASSERT_EQ(names, expected) << line;
  }
}

class RuntimeProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(runtime_program()))
      GTEST_SKIP() << "kelto_hand_runtime is not built: " << runtime_program();
  }

  // Starts a simulated glove behind `link` and waits until its device is there.
  std::unique_ptr<Child> start_glove(const fs::path& link, const std::string& side, Lines extra = {}) {
    const std::optional<fs::path> simulator = simulator_program();
    if (!simulator) return nullptr;
    // A glove outlives no test run, even one that dies before it can stop the glove.
    Lines args = {simulator->string(), "--link", link.string(), "--side", side, "--duration", "600"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto glove = std::make_unique<Child>(args);
    EXPECT_TRUE(glove->wait_for_text("[kelto_glove_simulator] " + side + " glove on")) << glove->err();
    return glove;
  }

  std::unique_ptr<Child> start_runtime(Lines args) {
    args.insert(args.begin(), {runtime_program().string(), "--config", hand_config().string()});
    return std::make_unique<Child>(args);
  }

  TempDir dir_;
  // Generated hand models go to a scratch cache, not the user's.
  kelto::test::ScopedEnv home_{"KELTO_HOME", (dir_ / "kelto_home").string()};
};

#define REQUIRE_SIMULATOR() \
  if (!simulator_program()) GTEST_SKIP() << "kelto_glove_simulator is not built under " << KELTO_BINARY_DIR

struct SideCase {
  std::string side;
  kx_hand_side hand_side;
};

TEST_F(RuntimeProgram, StreamsJointLinesOfEitherSideAndEndsCleanlyOnSigterm) {
  REQUIRE_SIMULATOR();
  for (const SideCase& c : {SideCase{"right", KX_HAND_RIGHT}, SideCase{"left", KX_HAND_LEFT}}) {
    SCOPED_TRACE(c.side);
    const std::size_t joints = engine_joint_names(c.hand_side).size();
    const fs::path link = dir_ / ("glove_" + c.side);
    auto glove = start_glove(link, c.side, {"--verbose"});
    auto runtime = start_runtime({"--port", link.string(), "--side", c.side, "--print-rate", "20"});
    EXPECT_TRUE(runtime->wait_for_text("[kelto_hand_runtime] serial=" + link.string() + " side=" + c.side +
                                       " joints=" + std::to_string(joints) + "\n"))
        << runtime->out() << runtime->err();
    EXPECT_TRUE(runtime->wait_for([&] {
      return complete_lines_starting(runtime->out(), "[joints:" + c.side + "]").size() >= 3;
    })) << runtime->err();

    runtime->signal(SIGTERM);
    EXPECT_EQ(runtime->wait_exit(), 0) << runtime->err();
    expect_joint_lines(runtime->out(), c.side, c.hand_side, 3);
    EXPECT_EQ(runtime->err(), "");
    // The glove was set up once, with every start-up command.
    glove->signal(SIGTERM);
    EXPECT_EQ(glove->wait_exit(), 0);
    for (const char* command :
         {"telemetry on", "rate 200", "detail off", "mode mag", "source filtered", "select f1"}) {
      EXPECT_EQ(count_of(glove->err(), std::string("[kelto_glove_simulator] command: ") + command + "\n"), 1u)
          << command << "\n"
          << glove->err();
    }
    EXPECT_EQ(count_of(glove->err(), "ignored command"), 0u) << glove->err();
  }
}

TEST_F(RuntimeProgram, DualHandModeStepsEachGloveAsItsOwnSide) {
  REQUIRE_SIMULATOR();
  const fs::path left = dir_ / "glove_left";
  const fs::path right = dir_ / "glove_right";
  auto left_glove = start_glove(left, "left");
  auto right_glove = start_glove(right, "right");
  auto runtime =
      start_runtime({"--left-port", left.string(), "--right-port", right.string(), "--print-rate", "50"});
  EXPECT_TRUE(runtime->wait_for([&] {
    return complete_lines_starting(runtime->out(), "[joints:left]").size() >= 3 &&
           complete_lines_starting(runtime->out(), "[joints:right]").size() >= 3;
  })) << runtime->out()
      << runtime->err();
  runtime->signal(SIGINT);
  EXPECT_EQ(runtime->wait_exit(), 0) << runtime->err();

  // Left connects first, then right.
  const std::string out = runtime->out();
  const std::size_t left_at = out.find("[kelto_hand_runtime] serial=" + left.string() + " side=left joints=");
  const std::size_t right_at =
      out.find("[kelto_hand_runtime] serial=" + right.string() + " side=right joints=");
  ASSERT_NE(left_at, std::string::npos) << out;
  ASSERT_NE(right_at, std::string::npos) << out;
  EXPECT_LT(left_at, right_at);
  expect_joint_lines(out, "left", KX_HAND_LEFT, 3);
  expect_joint_lines(out, "right", KX_HAND_RIGHT, 3);
  EXPECT_EQ(runtime->err(), "");
}

TEST_F(RuntimeProgram, ReconnectsAfterTheGloveIsUnplugged) {
  REQUIRE_SIMULATOR();
  const fs::path link = dir_ / "glove_right";
  // Away for longer than one retry period, so that at least one attempt finds no device.
  auto glove = start_glove(link, "right", {"--unplug-after", "2", "--unplug-pause", "2"});
  auto runtime = start_runtime({"--port", link.string(), "--print-rate", "50"});
  const std::string connected = "[kelto_hand_runtime] serial=" + link.string() + " side=right joints=";

  // Streaming, then the device goes away, then it is back and streaming again.
  EXPECT_TRUE(runtime->wait_for([&] {
    const std::size_t failed = runtime->err().find("[kelto_hand_runtime] right serial read failed: ");
    if (failed == std::string::npos) return false;
    const std::size_t last_connect = runtime->out().rfind(connected);
    return last_connect != std::string::npos && count_of(runtime->out(), connected) >= 2 &&
           runtime->out().find("[joints:right] ", last_connect) != std::string::npos;
  })) << runtime->out()
      << runtime->err();
  runtime->signal(SIGTERM);
  EXPECT_EQ(runtime->wait_exit(), 0) << runtime->err();

  for (const std::string& line :
       complete_lines_starting(runtime->err(), "[kelto_hand_runtime] right serial read")) {
    EXPECT_THAT(line, ::testing::EndsWith("; reconnecting...")) << line;
  }
  const Lines retries =
      complete_lines_starting(runtime->err(), "[kelto_hand_runtime] right serial connect failed: ");
  ASSERT_FALSE(retries.empty()) << runtime->err();
  for (const std::string& line : retries) {
    EXPECT_THAT(line, ::testing::StartsWith(
                          "[kelto_hand_runtime] right serial connect failed: cannot open serial port " +
                          link.string() + ": "));
    EXPECT_THAT(line, ::testing::EndsWith("; retrying..."));
  }
  expect_joint_lines(runtime->out(), "right", KX_HAND_RIGHT, 2);
}

TEST_F(RuntimeProgram, InvalidGloveLinesAreSkippedAndLoggedSparingly) {
  REQUIRE_SIMULATOR();
  const fs::path link = dir_ / "glove_right";
  // A slow glove (the start-up commands would speed it up) so that passes see one line at a time; every
  // second line is broken in one of several ways.
  auto glove = start_glove(link, "right", {"--rate", "40", "--invalid-every", "2"});
  auto runtime = start_runtime({"--port", link.string(), "--no-startup-commands", "--print-rate", "100"});
  const std::string logged = "[kelto_hand_runtime] right ignored invalid glove frame: ";
  EXPECT_TRUE(runtime->wait_for([&] {
    const std::size_t at = runtime->err().find(logged);
    return at != std::string::npos && complete_lines_starting(runtime->out(), "[joints:right]").size() >= 20;
  })) << runtime->out()
      << runtime->err();
  runtime->signal(SIGTERM);
  EXPECT_EQ(runtime->wait_exit(), 0) << runtime->err();

  // Only the first of every hundred broken passes is reported.
  const std::size_t joint_lines = complete_lines_starting(runtime->out(), "[joints:right]").size();
  EXPECT_LE(count_of(runtime->err(), logged), 1 + joint_lines / 100) << runtime->err();
  for (const std::string& line : complete_lines_starting(runtime->err(), logged)) {
    EXPECT_GT(line.size(), logged.size()) << "the decoder's error text follows";
  }
  EXPECT_EQ(count_of(runtime->err(), "error:"), 0u) << runtime->err();
  expect_joint_lines(runtime->out(), "right", KX_HAND_RIGHT, 20);
}

struct ExitCase {
  std::string name;
  Lines args;  // after the program name
  int status;
  std::string err_prefix;  // expected start of standard error
};

TEST_F(RuntimeProgram, CommandLineAndStartUpErrorsEndWithUsageAndStatusOne) {
  const std::string program = runtime_program().string();
  TempDir scratch;
  const fs::path not_a_hand = kelto::test::write_file(
      scratch / "not_a_hand.yaml", "hand:\n  type: nothing\nretargeting:\n  finger_order: [thumb, first]\n");
  const std::vector<ExitCase> cases = {
      {"help", {"--help", "--bogus"}, 0, ""},
      {"unknown option", {"--bogus", "--help"}, 1, "[kelto_hand_runtime] error: unknown option: --bogus\n"},
      {"missing value",
       {"--config", hand_config().string(), "--side"},
       1,
       "[kelto_hand_runtime] error: missing value for --side\n"},
      {"no configuration", {"--side", "left"}, 1, "[kelto_hand_runtime] error: --config is required\n"},
      {"bad number",
       {"--config", hand_config().string(), "--baudrate", "fast"},
       1,
       "[kelto_hand_runtime] error: "},
      {"engine",
       {"--config", not_a_hand.string(), "--port", "/dev/null"},
       1,
       "[kelto_hand_runtime] error: engine creation failed: "},
  };
  for (const ExitCase& c : cases) {
    SCOPED_TRACE(c.name);
    Lines args = {program};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Child child(args);
    EXPECT_EQ(child.wait_exit(), c.status) << child.err();
    EXPECT_EQ(child.out(), usage_text(program));
    EXPECT_THAT(child.err(), ::testing::StartsWith(c.err_prefix));
    // Nothing on standard error after --help; one error line otherwise.
    EXPECT_EQ(count_of(child.err(), "\n"), c.status == 0 ? 0u : 1u) << child.err();
  }
}

}  // namespace
}  // namespace kelto::hand::runtime
