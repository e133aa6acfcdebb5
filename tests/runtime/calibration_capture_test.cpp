// Calibrate mode: samples files replayed into the overlay (the other side of an earlier overlay kept), the
// scale check, the live capture from a glove on a pseudo-terminal with Enter presses on standard input,
// and the overlay's publication through a temporary file.
#include "runtime/calibration_capture.hpp"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "config/config.hpp"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "retargeting/tip_mapping_parameters.hpp"
#include "support/test_files.hpp"
#include "synthetic_glove/synthetic_glove.hpp"

namespace kelto::hand::runtime {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

const char kHeader[] =
    "# 自动生成的 kelto_hand 标定覆盖配置。\n"
    "# extends 使用生成时 system 配置的绝对路径，仅保证当前机器可恢复。\n"
    "# 量纲说明：位置单位为 m，角度单位为 deg。\n";

fs::path bundled_config() {
  return kelto::test::source_dir() / "resources/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml";
}

// The glove line of a frame: positions in micrometres, roll, pitch and yaw in millidegrees (R = Rz Ry Rx).
std::string glove_line(const GloveFeatureFrame& frame, const std::vector<std::string>& fingers) {
  std::string line = "{t: p, fs: [";
  for (std::size_t i = 0; i < fingers.size(); ++i) {
    const Pose& pose = frame.local_tips.at(fingers[i]);
    const std::array<double, 9>& r = pose.rotation;
    const double mdeg = 180000.0 / M_PI;
    char item[200];
    std::snprintf(item, sizeof item, "%s[1, %.4f, %.4f, %.4f, %.6f, %.6f, %.6f]", i == 0 ? "" : ", ",
                  pose.position[0] * 1e6, pose.position[1] * 1e6, pose.position[2] * 1e6,
                  std::atan2(r[7], r[8]) * mdeg, std::asin(-r[6]) * mdeg, std::atan2(r[3], r[0]) * mdeg);
    line += item;
  }
  return line + "]}";
}

struct Outcome {
  std::string error;  // empty when the calibration returned normally
  std::string out;
  std::string err;
};

class CalibrationCaptureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = std::make_unique<kelto::test::TempDir>();
    home_env_ = std::make_unique<kelto::test::ScopedEnv>("KELTO_HOME", home_->path().string());
    // The glove lines of a hand that matches the configured mapping, per gesture of the samples file.
    const Config config = Config::load(bundled_config(), {}, "right");
    const TipMappingParameters mapping = TipMappingParameters::from_config(config, "right");
    PinocchioHandKinematics kinematics(config, "right");
    synthetic::SyntheticGloveOptions options;
    options.position_noise_m = 0.0002;
    options.seed = 5;
    synthetic::SyntheticGlove glove(mapping, options);
    for (const char* gesture :
         {"five_close", "open", "mcp90", "pinch_first", "pinch_middle", "pinch_ring", "pinch_little"}) {
      std::vector<std::string>& lines = lines_[gesture];
      for (int i = 0; i < 6; ++i) {
        lines.push_back(glove_line(glove.frame_from_active(kinematics, kinematics.pose_active(gesture)),
                                   mapping.finger_order));
      }
    }
  }
  static void TearDownTestSuite() {
    home_env_.reset();
    home_.reset();
  }

  void SetUp() override {
    options_.config = bundled_config();
    options_.side = "right";
    options_.mode = "calibrate";
    options_.output = dir_ / "calibration/user.yaml";
    options_.samples_file = dir_ / "samples.yaml";
    write_samples({"five_close", "open", "mcp90"});
  }

  // The recorded lines of a gesture as an entry of `gestures` under `key`.
  static std::string gesture_entry(const std::string& gesture, const std::string& key) {
    std::string text = "  " + key + ":\n";
    for (const std::string& line : lines_.at(gesture)) text += "    - \"" + line + "\"\n";
    return text;
  }
  void write_samples(const std::vector<std::string>& gestures) {
    std::string text = "gestures:\n";
    for (const std::string& gesture : gestures) text += gesture_entry(gesture, gesture);
    kelto::test::write_file(options_.samples_file, text);
  }

  // Runs calibrate mode with the options' configuration (as `config` when given) and a decoder without
  // filtering; standard input is `input`.
  Outcome run(const Config* config = nullptr, const std::string& input = "") {
    const Config loaded = Config::load(options_.config, options_.bone_config, options_.side);
    const Config& main_config = config != nullptr ? *config : loaded;
    const Config runtime = Config::load(
        kelto::test::write_file(dir_ / "runtime.yaml",
                                "glove:\n  position_filter_alpha: 1\n  orientation_filter_alpha: 1\n"),
        {}, "");
    GloveDecoder decoder(main_config, &runtime, options_.side == "left" ? KX_HAND_LEFT : KX_HAND_RIGHT,
                         "glove1");
    std::istringstream in(input);
    Outcome outcome;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    try {
      run_calibration(options_, main_config, decoder, in);
    } catch (const std::exception& error) {
      outcome.error = error.what();
    }
    outcome.out = ::testing::internal::GetCapturedStdout();
    outcome.err = ::testing::internal::GetCapturedStderr();
    return outcome;
  }

  YAML::Node overlay() const { return YAML::LoadFile(options_.output.string()); }

  static std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  static std::vector<std::string> keys(const YAML::Node& map) {
    std::vector<std::string> out;
    for (const auto& entry : map) out.push_back(entry.first.as<std::string>());
    return out;
  }

  static inline std::unique_ptr<kelto::test::TempDir> home_;
  static inline std::unique_ptr<kelto::test::ScopedEnv> home_env_;
  static inline std::map<std::string, std::vector<std::string>> lines_;
  kelto::test::TempDir dir_;
  Options options_;
};

TEST_F(CalibrationCaptureTest, ReplayWritesTheOverlay) {
  // The bone measurements of the user travel into the overlay; the output directory does not exist yet.
  options_.bone_config = kelto::test::write_file(
      dir_ / "bones.yaml", "hand:\n  anthropometry:\n    enabled: false\n    hand_length_m: 0.19\n");
  const Outcome outcome = run();
  ASSERT_EQ(outcome.error, "");
  const std::vector<std::string> printed = {"本次标定阶段：close, open, mcp90",
                                            "样本 five_close -> close: 6 帧",
                                            "标定完成：\"" + options_.output.string() + "\""};
  for (const std::string& line : printed)
    EXPECT_THAT(outcome.out, HasSubstr("[kelto_hand_calibration] " + line + "\n"));
  EXPECT_EQ(outcome.err, "");
  const std::string text = kelto::test::read_file(options_.output);
  EXPECT_EQ(text.rfind(kHeader, 0), 0u);
  EXPECT_EQ(text.back(), '\n');
  const YAML::Node root = overlay();
  EXPECT_EQ(keys(root), (std::vector<std::string>{"extends", "hand", "viewer", "tip_mapping"}));
  EXPECT_EQ(root["extends"].as<std::string>(), bundled_config().string());
  EXPECT_EQ(root["hand"]["anthropometry"]["hand_length_m"].as<double>(), 0.19);
  EXPECT_EQ(root["viewer"]["anthropometry"]["hand_length_m"].as<double>(), 0.19);
  EXPECT_EQ(keys(root["tip_mapping"]), std::vector<std::string>{"right"});
  // Without the pinch stages the fingertip offsets stay those of the configuration.
  EXPECT_EQ(
      keys(root["tip_mapping"]["right"]),
      (std::vector<std::string>{"human_hand_scale", "palm_offset_local", "input_base_rotation_offset",
                                "input_tip_rotation_offset_local", "dynamic_palm_offset_by_finger_plane"}));
  EXPECT_NEAR(root["tip_mapping"]["right"]["human_hand_scale"].as<double>(), 1.1, 0.05);
  EXPECT_EQ(entries(options_.output.parent_path()), std::vector<std::string>{"user.yaml"});
}

TEST_F(CalibrationCaptureTest, PinchStagesAddTipOffsetsAndTheOtherSideIsKept) {
  kelto::test::write_file(options_.output, std::string(kHeader) +
                                               "extends: /elsewhere.yaml\n"
                                               "stale: 1\n"
                                               "tip_mapping:\n"
                                               "  right:\n    human_hand_scale: 7\n    unknown: 1\n"
                                               "  left:\n"
                                               "    unknown: 2\n"
                                               "    input_tip_offset_local:\n      thumb: [0.001, 0, 0]\n"
                                               "    human_hand_scale: 0.93\n");
  options_.capture_pinch_stages = true;
  write_samples({"five_close", "open", "mcp90", "pinch_first", "pinch_middle", "pinch_ring", "pinch_little"});
  const Outcome outcome = run();
  ASSERT_EQ(outcome.error, "");
  EXPECT_THAT(outcome.out, HasSubstr("样本 pinch_little -> pinch_little: 6 帧\n"));

  const YAML::Node root = overlay();
  EXPECT_EQ(keys(root), (std::vector<std::string>{"extends", "tip_mapping"}));
  EXPECT_EQ(root["extends"].as<std::string>(), bundled_config().string());
  EXPECT_EQ(keys(root["tip_mapping"]), (std::vector<std::string>{"left", "right"}));
  // The other side keeps its known keys, in the overlay's order.
  const YAML::Node left = root["tip_mapping"]["left"];
  EXPECT_EQ(keys(left), (std::vector<std::string>{"human_hand_scale", "input_tip_offset_local"}));
  EXPECT_EQ(left["human_hand_scale"].as<double>(), 0.93);
  EXPECT_EQ(left["input_tip_offset_local"]["thumb"][0].as<double>(), 0.001);
  const YAML::Node right = root["tip_mapping"]["right"];
  EXPECT_NE(right["human_hand_scale"].as<double>(), 7.0);
  EXPECT_FALSE(right["unknown"].IsDefined());
  ASSERT_TRUE(right["input_tip_offset_local"].IsMap());
  EXPECT_EQ(right["input_tip_offset_local"].size(), 5u);
}

TEST_F(CalibrationCaptureTest, SamplesFileProblems) {
  struct Case {
    const char* name;
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {"no gestures", "samples: []\n", "samples YAML missing gestures map"},
      {"gestures is a list", "gestures: [a, b]\n", "samples YAML missing gestures map"},
      {"close instead of five_close", "gestures:\n" + gesture_entry("five_close", "close"),
       "samples YAML missing gesture: five_close"},
      // An mcp90 entry that is not a list sends the stage to the other mcp90 gesture.
      {"mcp90 not a list",
       "gestures:\n" + gesture_entry("five_close", "five_close") + gesture_entry("open", "open") +
           "  mcp90: 5\n",
       "samples YAML missing gesture: mcp90_pip90"},
      {"nothing decodes",
       "gestures:\n" + gesture_entry("five_close", "five_close") +
           "  open:\n    - \"status\"\n    - null\n    - \"{t: p}\"\n",
       "sample gesture contains no valid frames: open"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kelto::test::write_file(options_.samples_file, c.text);
    EXPECT_EQ(run().error, c.error);
    EXPECT_FALSE(fs::exists(options_.output));
  }
  // Elements that are lists are not glove lines: the YAML library refuses them.
  kelto::test::write_file(options_.samples_file, "gestures:\n  five_close:\n    - [1, 2]\n");
  EXPECT_NE(run().error, "");
}

TEST_F(CalibrationCaptureTest, ScaleRatioWarningAndNonFiniteRefusal) {
  kelto::test::write_file(options_.output, "previous calibration\n");
  Config config = Config::load(options_.config, {}, "right");

  config.set_number("tip_mapping.right.human_hand_scale", 0.0);
  Outcome outcome = run(&config);
  EXPECT_EQ(outcome.error, "calibration scale is not finite; the output file was not changed");
  EXPECT_EQ(kelto::test::read_file(options_.output), "previous calibration\n");

  // A scale far from the configured one is only a warning.
  config.set_number("tip_mapping.right.human_hand_scale", 0.25);
  outcome = run(&config);
  ASSERT_EQ(outcome.error, "");
  EXPECT_THAT(outcome.err, HasSubstr("[kelto_hand_calibration] warning: calibration scale ratio "));
  EXPECT_THAT(outcome.err, HasSubstr(" is outside the usual baseline range; continuing\n"));
  const double scale = overlay()["tip_mapping"]["right"]["human_hand_scale"].as<double>();

  // Exactly three times the baseline is still in range; a little more is not.
  double baseline = scale / 3.0;
  while (scale / baseline > 3.0) baseline = std::nextafter(baseline, 1.0);
  while (scale / baseline < 3.0) baseline = std::nextafter(baseline, 0.0);
  ASSERT_EQ(scale / baseline, 3.0);
  config.set_number("tip_mapping.right.human_hand_scale", baseline);
  outcome = run(&config);
  ASSERT_EQ(outcome.error, "");
  EXPECT_THAT(outcome.err, Not(HasSubstr("warning")));
}

// A pseudo-terminal standing in for the glove's serial device; while streaming, a thread sends one glove
// line every few milliseconds (the port drops what came before it was opened).
class FakeGlove {
 public:
  FakeGlove() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
      throw std::runtime_error("no pseudo-terminal");
    device_ = ::ptsname(master_);
  }
  ~FakeGlove() {
    stop();
    ::close(master_);
  }
  FakeGlove(const FakeGlove&) = delete;
  FakeGlove& operator=(const FakeGlove&) = delete;

  const std::string& device() const { return device_; }
  void stream(const std::string& line) {
    stop();
    streaming_ = true;
    sender_ = std::thread([this, text = line + "\n"] {
      while (streaming_) {
        // A full buffer or a closed port on the other side only loses lines, as with a real glove.
        [[maybe_unused]] const ssize_t written = ::write(master_, text.data(), text.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  }
  void stop() {
    streaming_ = false;
    if (sender_.joinable()) sender_.join();
  }

 private:
  int master_ = -1;
  std::string device_;
  std::atomic<bool> streaming_{false};
  std::thread sender_;
};

TEST_F(CalibrationCaptureTest, LiveCaptureUntilInputClosesOrTimeOut) {
  FakeGlove glove;
  options_.samples_file.clear();
  options_.port = glove.device();
  options_.startup_commands = false;
  options_.startup_valid_frames = 2;
  options_.capture_samples = 4;
  options_.capture_timeout = 2.0;
  const std::string connected =
      "[kelto_hand_runtime] serial=" + glove.device() + " side=right mode=calibrate\n";
  const std::string first_prompt =
      "[kelto_hand_calibration] 等待稳定的手套数据...\n"
      "[kelto_hand_calibration] 手套数据已稳定。\n"
      "\n[kelto_hand_calibration] 手势 close：五指自然并拢并保持。\n"
      "[kelto_hand_calibration] 准备好后按 Enter 开始采样。";

  // No glove lines at all: the start-up wait gives up.
  Outcome outcome = run(nullptr, "\n");
  EXPECT_EQ(outcome.error, "startup timeout: received 0/2 valid glove frames");
  EXPECT_THAT(outcome.out, HasSubstr(connected));

  glove.stream(lines_.at("five_close").front());
  outcome = run(nullptr, "");
  EXPECT_EQ(outcome.error, "calibration input was closed");
  EXPECT_THAT(outcome.out, HasSubstr(connected + first_prompt));

  // One Enter press: the first stage takes the requested four frames, then input ends at the next prompt.
  outcome = run(nullptr, "\n");
  EXPECT_EQ(outcome.error, "calibration input was closed");
  EXPECT_THAT(
      outcome.out,
      HasSubstr(first_prompt + "\r[kelto_hand_calibration] close 1/4\r"
                               "[kelto_hand_calibration] close 2/4\r[kelto_hand_calibration] close 3/4\r"
                               "[kelto_hand_calibration] close 4/4\n\n[kelto_hand_calibration] 手势 open："));

  // More frames than can come within the stage's time.
  options_.capture_samples = 1000000;
  options_.capture_timeout = 0.5;
  outcome = run(nullptr, "\n");
  EXPECT_THAT(outcome.error, ::testing::StartsWith("capture timeout for close: received "));
  EXPECT_THAT(outcome.error, ::testing::EndsWith("/1000000 frames"));
  EXPECT_FALSE(fs::exists(options_.output));
}

// The overlay replaces the file whole or not at all, through a link to its target, keeping its permissions.
TEST_F(CalibrationCaptureTest, PublicationReplacesTheFileWholeOrNotAtAll) {
  const fs::path path = kelto::test::write_file(dir_ / "user.yaml", "old calibration\n");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  const auto directory_entries = [&] { return entries(dir_.path()); };

  // A write that fails half way (the file size limit stands in for a full disk).
  {
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
    rlimit old_limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    rlimit small = old_limit;
    small.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string error;
    try {
      detail::publish_file(path, std::string(4096, 'x'));
    } catch (const std::exception& failure) {
      error = failure.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    ::sigaction(SIGXFSZ, &previous, nullptr);
    EXPECT_EQ(error, "cannot write calibration output: " + path.string());
  }
  EXPECT_EQ(kelto::test::read_file(path), "old calibration\n");
  EXPECT_EQ(directory_entries(), (std::vector<std::string>{"samples.yaml", "user.yaml"}));

  // A directory where the file should be: nothing is written and nothing is left behind.
  fs::create_directory(dir_ / "taken.yaml");
  EXPECT_THROW(detail::publish_file(dir_ / "taken.yaml", "new\n"), std::runtime_error);
  EXPECT_TRUE(fs::is_directory(dir_ / "taken.yaml"));
  fs::remove(dir_ / "taken.yaml");

  // Success replaces the content and keeps the permissions; a link is followed to its target.
  fs::create_symlink("user.yaml", dir_ / "link.yaml");
  detail::publish_file(dir_ / "link.yaml", "new calibration\n");
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.yaml"));
  EXPECT_EQ(kelto::test::read_file(path), "new calibration\n");
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(directory_entries().size(), 3u);
}

}  // namespace
}  // namespace kelto::hand::runtime
