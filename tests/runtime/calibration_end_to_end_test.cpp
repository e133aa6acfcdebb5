// Calibration as a user goes through it: the glove simulator records the held gestures of a user whose
// hand is 15 % larger than the model, whose glove base sits turned and tilted and whose fingertip sensors
// sit short of the fingertips; kelto_hand_runtime fits an overlay from that samples file (basic stages,
// and with the pinch stages), and runs of the program on the same user's poses put the model's
// fingertips clearly closer to the user's true ones with the overlay than without it. The test is the
// glove of those runs: it holds each pose on a pseudo-terminal until the printed joints settle. Waits
// have generous upper bounds only; nothing here measures speed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "glove_simulator/glove_line_writer.hpp"
#include "glove_simulator/hand_motion_script.hpp"
#include "glove_simulator/pseudo_terminal.hpp"
#include "glove_simulator/simulated_glove.hpp"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "support/test_files.hpp"

extern char** environ;

namespace kelto::hand::runtime {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Joints = std::vector<double>;
using Lines = std::vector<std::string>;

// Upper bound for one program run; reached only when something is broken (the sanitizers are slow).
constexpr auto kLimit = std::chrono::seconds(300);
// The synthetic user: hand scale against the configured 1.0, the true mounting of the glove's base, and
// fingertip sensors that sit 6 mm short of the fingertips (along the glove tip's z axis).
constexpr double kUserScale = 1.15;
constexpr double kMountYawDeg = 10.0;
constexpr double kBaseTiltDeg = 20.0;
constexpr char kUserTipOffsets[] =
    "tip_mapping:\n  right:\n    input_tip_offset_local:\n      thumb: [0, 0, 0.006]\n"
    "      first: [0, 0, 0.006]\n      middle: [0, 0, 0.006]\n      ring: [0, 0, 0.006]\n"
    "      little: [0, 0, 0.006]\n";
// A hold ends once this many joint lines came after the pose was put on the line and the last few
// agree to within the tolerance (radians), or after the cap of lines in any case.
constexpr std::size_t kMinLines = 20, kSettledLines = 5, kMaxLines = 400;
constexpr double kSettledRad = 5e-4;

const fs::path kHandDir = kelto::test::source_dir() / "resources/hands/dynamic_openxr_hand";
const fs::path kSystemConfig = kHandDir / "dynamic_openxr_hand_system.yaml";
const fs::path kRuntime = fs::path(KELTO_BINARY_DIR) / "apps/runtime/kelto_hand_runtime";
const fs::path kSimulator = fs::path(KELTO_BINARY_DIR) / "tools/kelto_glove_simulator";

// A program with its standard output read through a pipe and its standard error in a file; killed if
// still running when the object goes away.
class Program {
 public:
  Program(const Lines& args, const fs::path& err_file) : err_file_(err_file) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_fd_ = out[0];
    if (spawned != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(spawned));
  }
  ~Program() {
    if (!status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_fd_);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Appends what the program wrote, waiting up to `wait_ms` for something; true when something came.
  bool read(int wait_ms) {
    pollfd p{out_fd_, POLLIN, 0};
    if (::poll(&p, 1, wait_ms) <= 0) return false;
    char buffer[65536];
    const ssize_t n = ::read(out_fd_, buffer, sizeof buffer);
    if (n > 0) out_.append(buffer, static_cast<std::size_t>(n));
    return n > 0;
  }
  // The exit status once the program has ended by itself within the limit; no value otherwise.
  std::optional<int> wait_exit() {
    const Clock::time_point end = Clock::now() + kLimit;
    while (!ended() && Clock::now() < end) read(50);
    while (read(0)) {
    }
    if (!status_ || !WIFEXITED(*status_)) return std::nullopt;
    return WEXITSTATUS(*status_);
  }
  bool ended() {
    int status = 0;
    if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return status_.has_value();
  }
  void terminate() const { ::kill(pid_, SIGTERM); }
  const std::string& out() const { return out_; }
  std::string report() const { return out_ + kelto::test::read_file(err_file_); }

 private:
  fs::path err_file_;
  pid_t pid_ = -1;
  int out_fd_ = -1;
  std::string out_;
  std::optional<int> status_;
};

// The joint lines of one run, parsed as they come: joint values by name.
struct JointLog {
  std::size_t parsed = 0;  // offset of the first byte not parsed yet
  std::vector<std::map<std::string, double>> lines;

  void update(const std::string& text) {
    const std::string prefix = "[joints:right] ";
    for (std::size_t end = text.find('\n', parsed); end != std::string::npos;
         parsed = end + 1, end = text.find('\n', parsed)) {
      if (text.compare(parsed, prefix.size(), prefix) != 0) continue;
      std::istringstream words(text.substr(parsed + prefix.size(), end - parsed - prefix.size()));
      std::map<std::string, double>& joints = lines.emplace_back();
      for (std::string word; words >> word;) {
        const std::size_t eq = word.find('=');
        joints[word.substr(0, eq)] = std::stod(word.substr(eq + 1));
      }
    }
  }
};

double largest_change(const std::map<std::string, double>& a, const std::map<std::string, double>& b) {
  double largest = 0.0;
  for (const auto& [name, value] : a) largest = std::max(largest, std::abs(value - b.at(name)));
  return largest;
}

class CalibrationEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(kRuntime) || !fs::exists(kSimulator))
      GTEST_SKIP() << "kelto_hand_runtime or kelto_glove_simulator is not built under " << KELTO_BINARY_DIR;
    // The user's glove as a configuration over the bundled hand; its pose library is the hand's.
    kelto::test::write_file(user_config_, "extends: " + kSystemConfig.string() + "\n" + kUserTipOffsets);
    fs::create_symlink(kHandDir / "pose_library.yaml", dir_ / "pose_library.yaml");
    simulator::SimulatedGloveOptions options;
    options.config = user_config_;
    options.human_hand_scale = kUserScale;
    options.mount_yaw_deg = kMountYawDeg;
    options.base_tilt_deg = kBaseTiltDeg;
    glove_.emplace(options);
    // The user's motions: the simulator's whole script, sampled at even times (holds and blends alike).
    PinocchioHandKinematics& model = glove_->kinematics();
    const simulator::HandMotionScript script =
        simulator::make_motion_script(simulator::MotionScriptKind::all, model, glove_->finger_order());
    constexpr int kPoses = 12;
    for (int k = 0; k < kPoses; ++k)
      poses_.push_back(simulator::sample_motion(script, (k + 0.5) * script.period_s() / kPoses));
  }

  // Runs the program with `config` on the user's poses, each held until its joints settle, and returns
  // the mean distance (mm) of the model's fingertips at the printed joints from those at the true poses.
  double mean_tip_error_mm(const fs::path& config, const std::string& name) {
    simulator::PseudoTerminal terminal;
    terminal.open();
    Program program(
        {kRuntime.string(), "--config", config.string(), "--runtime-config",
         (kHandDir / "config.yaml").string(), "--port", terminal.slave_path(), "--print-rate", "100"},
        dir_ / (name + ".err"));
    PinocchioHandKinematics& model = glove_->kinematics();
    const std::vector<std::string>& joint_names = model.joint_names();
    JointLog log;
    double sum = 0.0;
    std::size_t count = 0;
    for (const Joints& pose : poses_) {
      const std::string line = simulator::write_glove_line(glove_->frame(pose), glove_->finger_order(),
                                                           simulator::GloveLineFormat::rpy);
      const std::size_t start = log.lines.size();
      const Clock::time_point end = Clock::now() + kLimit;
      std::optional<std::map<std::string, double>> held;
      while (!held) {
        terminal.write_line(line);
        terminal.read_lines();  // the program's start-up commands
        program.read(5);
        if (program.ended() || Clock::now() > end) {
          while (program.read(0)) {
          }
          ADD_FAILURE() << name << ": no settled joints\n" << program.report();
          return NAN;
        }
        log.update(program.out());
        const auto& lines = log.lines;
        if (lines.size() < start + kMinLines) continue;
        bool settled = true;
        for (std::size_t i = lines.size() - kSettledLines; i + 1 < lines.size(); ++i)
          settled = settled && largest_change(lines[i], lines.back()) < kSettledRad;
        if (settled || lines.size() >= start + kMaxLines) held = lines.back();
      }
      Joints q_full(joint_names.size(), 0.0);
      for (std::size_t j = 0; j < joint_names.size(); ++j) q_full[j] = held->at(joint_names[j]);
      const HandKinematicsState shown = model.state_from_active(model.active_from_full(q_full));
      const HandKinematicsState truth = model.state_from_active(pose);
      for (const auto& [finger, p] : truth.tip_positions_wrist) {
        const auto& q = shown.tip_positions_wrist.at(finger);
        sum += std::hypot(p[0] - q[0], p[1] - q[1], p[2] - q[2]);
        ++count;
      }
    }
    program.terminate();
    EXPECT_EQ(program.wait_exit(), 0) << program.report();
    return 1000.0 * sum / static_cast<double>(count);
  }

  kelto::test::TempDir dir_;
  const fs::path user_config_ = dir_ / "user.yaml";
  // Generated hand models go to a scratch cache, not the user's.
  kelto::test::ScopedEnv home_{"KELTO_HOME", (dir_ / "kelto_home").string()};
  std::optional<simulator::SimulatedGlove> glove_;
  std::vector<Joints> poses_;
};

TEST_F(CalibrationEndToEnd, OverlayFromASimulatedLargerTiltedUserBringsTheFingertipsCloser) {
  const fs::path samples = dir_ / "samples.yaml";
  Program recorder({kSimulator.string(), "--write-samples", samples.string(), "--config",
                    user_config_.string(), "--human-scale", std::to_string(kUserScale), "--mount-yaw-deg",
                    std::to_string(kMountYawDeg), "--base-tilt-deg", std::to_string(kBaseTiltDeg),
                    "--noise-mm", "0.3", "--noise-deg", "0.3", "--seed", "7"},
                   dir_ / "simulator.err");
  ASSERT_EQ(recorder.wait_exit(), 0) << recorder.report();

  const double uncalibrated = mean_tip_error_mm(kSystemConfig, "uncalibrated");
  std::cout << "[ figures  ] mean fingertip error uncalibrated: " << uncalibrated << " mm\n";
  RecordProperty("uncalibrated_mm", std::to_string(uncalibrated));
  struct Case {
    std::string name;
    Lines extra;
  };
  for (const Case& c : {Case{"basic", {}}, Case{"pinch_stages", {"--capture-pinch-stages"}}}) {
    SCOPED_TRACE(c.name);
    const fs::path overlay = dir_ / (c.name + "/calibration.yaml");
    Lines args = {kRuntime.string(), "--mode",         "calibrate", "--config",      kSystemConfig.string(),
                  "--samples-file",  samples.string(), "--output",  overlay.string()};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    Program calibrate(args, dir_ / (c.name + ".err"));
    ASSERT_EQ(calibrate.wait_exit(), 0) << calibrate.report();
    ASSERT_TRUE(fs::is_regular_file(overlay)) << calibrate.report();
    // The fitted slope is the user's scale.
    const std::size_t at = calibrate.out().find("raw_scale=");
    ASSERT_NE(at, std::string::npos) << calibrate.out();
    EXPECT_NEAR(std::stod(calibrate.out().substr(at + 10)), kUserScale, 0.05) << calibrate.out();

    const double calibrated = mean_tip_error_mm(overlay, c.name);
    std::cout << "[ figures  ] mean fingertip error " << c.name << " overlay: " << calibrated << " mm\n";
    RecordProperty(c.name + "_mm", std::to_string(calibrated));
    EXPECT_LT(calibrated, 0.6 * uncalibrated);
    EXPECT_GT(uncalibrated - calibrated, 5.0);
  }
}

}  // namespace
}  // namespace kelto::hand::runtime
