// Calibration as a user goes through it: the simulator records the held gestures of a user whose hand is
// 15 % larger than the model, whose glove base sits turned and tilted and whose fingertip sensors sit
// short of the fingertips; kelto_hand_runtime fits an overlay from that samples file, and runs on the same
// user's poses (the test plays the glove, holding each pose until the printed joints settle) put the
// model's fingertips clearly closer to the user's true ones with the overlay than without it.
#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <sstream>

#include "glove_simulator/glove_line_writer.hpp"
#include "glove_simulator/hand_motion_script.hpp"
#include "glove_simulator/pseudo_terminal.hpp"
#include "glove_simulator/simulated_glove.hpp"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "support/programs.hpp"

namespace kelto::hand::runtime {
namespace {

namespace fs = std::filesystem;
using kelto::test::kRuntimeProgram;
using kelto::test::kSimulatorProgram;
using kelto::test::Program;
using Joints = std::vector<double>;
using Lines = std::vector<std::string>;

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
const fs::path kSystemConfig = kelto::test::hand_config();

// The joint values of the right hand's joint lines from offset `parsed` on (names in the model's order).
std::vector<Joints> joint_lines(const std::string& text, std::size_t& parsed) {
  const std::string prefix = "[joints:right] ";
  std::vector<Joints> lines;
  for (std::size_t end; (end = text.find('\n', parsed)) != std::string::npos; parsed = end + 1) {
    if (text.compare(parsed, prefix.size(), prefix) != 0) continue;
    std::istringstream words(text.substr(parsed + prefix.size(), end - parsed - prefix.size()));
    Joints& joints = lines.emplace_back();
    for (std::string word; words >> word;) joints.push_back(std::stod(word.substr(word.find('=') + 1)));
  }
  return lines;
}

class CalibrationEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(kRuntimeProgram) || !fs::exists(kSimulatorProgram)) GTEST_SKIP() << "programs not built";
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
        {kRuntimeProgram.string(), "--config", config.string(), "--runtime-config",
         (kHandDir / "config.yaml").string(), "--port", terminal.slave_path(), "--print-rate", "100"},
        dir_.path());
    PinocchioHandKinematics& model = glove_->kinematics();
    std::vector<Joints> log;
    std::size_t parsed = 0;
    double sum = 0.0;
    std::size_t count = 0;
    for (const Joints& pose : poses_) {
      const std::string line = simulator::write_glove_line(glove_->frame(pose), glove_->finger_order(),
                                                           simulator::GloveLineFormat::rpy);
      const std::size_t start = log.size();
      const auto settled = [&] {
        terminal.write_line(line);
        terminal.read_lines();  // the program's start-up commands
        for (Joints& joints : joint_lines(program.out(), parsed)) log.push_back(std::move(joints));
        if (log.size() < start + kMinLines) return false;
        if (log.size() >= start + kMaxLines) return true;
        for (std::size_t i = log.size() - kSettledLines; i + 1 < log.size(); ++i)
          for (std::size_t j = 0; j < log[i].size(); ++j)
            if (std::abs(log[i][j] - log.back().at(j)) >= kSettledRad) return false;
        return true;
      };
      if (!program.wait_for(settled, std::chrono::milliseconds(5))) {
        ADD_FAILURE() << name << ": no settled joints\n" << program.report();
        return NAN;
      }
      const HandKinematicsState shown = model.state_from_active(model.active_from_full(log.back()));
      const HandKinematicsState truth = model.state_from_active(pose);
      for (const auto& [finger, p] : truth.tip_positions_wrist) {
        const auto& q = shown.tip_positions_wrist.at(finger);
        sum += std::hypot(p[0] - q[0], p[1] - q[1], p[2] - q[2]);
        ++count;
      }
    }
    program.signal(SIGTERM);
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
  Program recorder({kSimulatorProgram.string(), "--write-samples", samples.string(), "--config",
                    user_config_.string(), "--human-scale", std::to_string(kUserScale), "--mount-yaw-deg",
                    std::to_string(kMountYawDeg), "--base-tilt-deg", std::to_string(kBaseTiltDeg),
                    "--noise-mm", "0.3", "--noise-deg", "0.3", "--seed", "7"},
                   dir_.path());
  ASSERT_EQ(recorder.wait_exit(), 0) << recorder.report();

  const double uncalibrated = mean_tip_error_mm(kSystemConfig, "uncalibrated");
  std::cout << "[ figures  ] mean fingertip error uncalibrated: " << uncalibrated << " mm\n";
  RecordProperty("uncalibrated_mm", std::to_string(uncalibrated));
  const std::pair<std::string, Lines> cases[] = {{"basic", {}}, {"pinch_stages", {"--capture-pinch-stages"}}};
  for (const auto& [name, extra] : cases) {
    SCOPED_TRACE(name);
    const fs::path overlay = dir_ / (name + "/calibration.yaml");
    Lines args = {kRuntimeProgram.string(), "--mode",         "calibrate",      "--config",
                  kSystemConfig.string(),   "--samples-file", samples.string(), "--output",
                  overlay.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    Program calibrate(args, dir_.path());
    ASSERT_EQ(calibrate.wait_exit(), 0) << calibrate.report();
    ASSERT_TRUE(fs::is_regular_file(overlay)) << calibrate.report();
    // The fitted slope is the user's scale.
    const std::size_t at = calibrate.out().find("raw_scale=");
    ASSERT_NE(at, std::string::npos) << calibrate.out();
    EXPECT_NEAR(std::stod(calibrate.out().substr(at + 10)), kUserScale, 0.05) << calibrate.out();

    const double calibrated = mean_tip_error_mm(overlay, name);
    std::cout << "[ figures  ] mean fingertip error " << name << " overlay: " << calibrated << " mm\n";
    RecordProperty(name + "_mm", std::to_string(calibrated));
    EXPECT_LT(calibrated, 0.6 * uncalibrated);
    EXPECT_GT(uncalibrated - calibrated, 5.0);
  }
}

}  // namespace
}  // namespace kelto::hand::runtime
