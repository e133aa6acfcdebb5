// Calibrate mode: samples files replayed into the overlay (the other side of an earlier overlay kept), the
// scale check, the live capture from a glove on a pseudo-terminal with Enter presses on standard input,
// and the overlay's publication through a temporary file.
#include "runtime/calibration_capture.hpp"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <stdexcept>
#include <thread>

#include "config/config.hpp"
#include "glove_simulator/glove_line_writer.hpp"
#include "glove_simulator/pseudo_terminal.hpp"
#include "glove_simulator/simulated_glove.hpp"
#include "support/error_text.hpp"
#include "support/programs.hpp"

namespace kelto::hand::runtime {
namespace {

namespace fs = std::filesystem;
using kelto::test::read_file;
using kelto::test::write_file;
using ::testing::HasSubstr;
using Names = std::vector<std::string>;

const char kHeader[] =
    "# 自动生成的 kelto_hand 标定覆盖配置。\n"
    "# extends 使用生成时 system 配置的绝对路径，仅保证当前机器可恢复。\n"
    "# 量纲说明：位置单位为 m，角度单位为 deg。\n";

Names keys(const YAML::Node& map) {
  Names out;
  for (const auto& entry : map) out.push_back(entry.first.as<std::string>());
  return out;
}

Names entries(const fs::path& dir) {
  Names names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

struct Outcome {
  std::string error;  // empty when the calibration returned normally
  std::string out;
  std::string err;
};

class CalibrationCapture : public ::testing::Test {
 protected:
  // Six noisy glove lines per gesture of a hand that matches the configured mapping.
  static void SetUpTestSuite() {
    kelto::test::TempDir home;
    kelto::test::ScopedEnv scratch_cache("KELTO_HOME", home.path().string());
    simulator::SimulatedGloveOptions options;
    options.config = kelto::test::hand_config();
    options.noise_mm = 0.2;
    options.seed = 5;
    simulator::SimulatedGlove glove(options);
    for (const char* gesture :
         {"five_close", "open", "mcp90", "pinch_first", "pinch_middle", "pinch_ring", "pinch_little"}) {
      for (int i = 0; i < 6; ++i)
        lines_[gesture].push_back(
            simulator::write_glove_line(glove.frame(glove.kinematics().pose_active(gesture)),
                                        glove.finger_order(), simulator::GloveLineFormat::rpy));
    }
  }

  void SetUp() override {
    options_.config = kelto::test::hand_config();
    options_.mode = "calibrate";
    options_.output = dir_ / "calibration/user.yaml";
    options_.samples_file = dir_ / "samples.yaml";
    write_samples({"five_close", "open", "mcp90"});
  }

  // The lines of `gesture` as the entry `key` of a samples file's gestures.
  static std::string entry(const std::string& gesture, const std::string& key) {
    std::string text = "  " + key + ":\n";
    for (const std::string& line : lines_.at(gesture)) text += "    - '" + line + "'\n";
    return text;
  }
  void write_samples(const Names& gestures) {
    std::string text = "gestures:\n";
    for (const std::string& gesture : gestures) text += entry(gesture, gesture);
    write_file(options_.samples_file, text);
  }

  // Calibrate mode on `config` (the options' one by default) with an unfiltered decoder; `input` is all
  // that comes on standard input (a pipe).
  Outcome run(const Config* config = nullptr, const std::string& input = "") {
    int ends[2] = {-1, -1};
    if (::pipe(ends) != 0) throw std::runtime_error("cannot make a pipe");
    const bool typed = ::write(ends[1], input.data(), input.size()) == static_cast<ssize_t>(input.size());
    ::close(ends[1]);
    if (!typed) throw std::runtime_error("cannot fill the pipe");
    const Config loaded = Config::load(options_.config, options_.bone_config, "right");
    const Config& main = config != nullptr ? *config : loaded;
    const Config runtime = Config::load(
        write_file(dir_ / "runtime.yaml", "glove: {position_filter_alpha: 1, orientation_filter_alpha: 1}\n"),
        {}, "");
    GloveDecoder decoder(main, &runtime, KX_HAND_RIGHT, "glove1");
    Outcome outcome;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    try {
      run_calibration(options_, main, decoder, ends[0]);
    } catch (const std::exception& error) {
      outcome.error = error.what();
    }
    outcome.out = ::testing::internal::GetCapturedStdout();
    outcome.err = ::testing::internal::GetCapturedStderr();
    ::close(ends[0]);
    return outcome;
  }
  YAML::Node overlay() const { return YAML::LoadFile(options_.output.string()); }

  static inline std::map<std::string, Names> lines_;
  kelto::test::TempDir dir_;
  kelto::test::ScopedEnv home_{"KELTO_HOME", (dir_ / "home").string()};
  Options options_;
};

// The overlay of a replay: the header, the system configuration it extends, the user's bone measurements,
// and the fitted keys of the side (fingertip offsets only with the pinch stages).
TEST_F(CalibrationCapture, ReplayWritesTheOverlay) {
  options_.bone_config =
      write_file(dir_ / "bones.yaml", "hand: {anthropometry: {enabled: false, hand_length_m: 0.19}}\n");
  const Outcome outcome = run();
  ASSERT_EQ(outcome.error, "");
  const Names printed = {"本次标定阶段：close, open, mcp90", "样本 five_close -> close: 6 帧",
                         "标定完成：\"" + options_.output.string() + "\""};
  for (const std::string& line : printed)
    EXPECT_THAT(outcome.out, HasSubstr("[kelto_hand_calibration] " + line + "\n"));
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(read_file(options_.output).rfind(kHeader, 0), 0u);
  const YAML::Node root = overlay();
  EXPECT_EQ(keys(root), (Names{"extends", "hand", "viewer", "tip_mapping"}));
  EXPECT_EQ(root["extends"].as<std::string>(), kelto::test::hand_config().string());
  EXPECT_EQ(root["hand"]["anthropometry"]["hand_length_m"].as<double>(), 0.19);
  EXPECT_EQ(root["viewer"]["anthropometry"]["hand_length_m"].as<double>(), 0.19);
  EXPECT_EQ(keys(root["tip_mapping"]), Names{"right"});
  EXPECT_EQ(keys(root["tip_mapping"]["right"]),
            (Names{"human_hand_scale", "palm_offset_local", "input_base_rotation_offset",
                   "input_tip_rotation_offset_local", "dynamic_palm_offset_by_finger_plane"}));
  EXPECT_NEAR(root["tip_mapping"]["right"]["human_hand_scale"].as<double>(), 1.1, 0.05);
  EXPECT_EQ(entries(options_.output.parent_path()), Names{"user.yaml"});
}

// An earlier overlay's other side keeps its known keys in order; everything else of it is replaced.
TEST_F(CalibrationCapture, PinchStagesAddTipOffsetsAndKeepTheOtherSide) {
  write_file(options_.output, std::string(kHeader) +
                                  "extends: /elsewhere.yaml\nstale: 1\ntip_mapping:\n"
                                  "  right: {human_hand_scale: 7, unknown: 1}\n"
                                  "  left: {unknown: 2, input_tip_offset_local: {thumb: [0.001, 0, 0]}, "
                                  "human_hand_scale: 0.93}\n");
  options_.capture_pinch_stages = true;
  write_samples({"five_close", "open", "mcp90", "pinch_first", "pinch_middle", "pinch_ring", "pinch_little"});
  const Outcome outcome = run();
  ASSERT_EQ(outcome.error, "");
  EXPECT_THAT(outcome.out, HasSubstr("样本 pinch_little -> pinch_little: 6 帧\n"));
  const YAML::Node root = overlay();
  EXPECT_EQ(keys(root), (Names{"extends", "tip_mapping"}));
  EXPECT_EQ(root["extends"].as<std::string>(), kelto::test::hand_config().string());
  EXPECT_EQ(keys(root["tip_mapping"]), (Names{"left", "right"}));
  const YAML::Node left = root["tip_mapping"]["left"];
  EXPECT_EQ(keys(left), (Names{"human_hand_scale", "input_tip_offset_local"}));
  EXPECT_EQ(left["human_hand_scale"].as<double>(), 0.93);
  EXPECT_EQ(left["input_tip_offset_local"]["thumb"][0].as<double>(), 0.001);
  const YAML::Node right = root["tip_mapping"]["right"];
  EXPECT_NE(right["human_hand_scale"].as<double>(), 7.0);
  EXPECT_FALSE(right["unknown"].IsDefined());
  EXPECT_EQ(right["input_tip_offset_local"].size(), 5u);
}

TEST_F(CalibrationCapture, SamplesFileErrorTexts) {
  const std::string close_open = "gestures:\n" + entry("five_close", "five_close") + entry("open", "open");
  const std::pair<std::string, std::string> cases[] = {
      {"gestures: [a, b]\n", "samples YAML missing gestures map"},
      {"gestures:\n" + entry("five_close", "close"), "samples YAML missing gesture: five_close"},
      // An mcp90 entry that is not a list sends the stage to the other mcp90 gesture.
      {close_open + "  mcp90: 5\n", "samples YAML missing gesture: mcp90_pip90"},
      {"gestures:\n" + entry("five_close", "five_close") + "  open: [\"status\", null, \"{t: p}\"]\n",
       "sample gesture contains no valid frames: open"},
  };
  for (const auto& [text, error] : cases) {
    write_file(options_.samples_file, text);
    EXPECT_EQ(run().error, error);
    EXPECT_FALSE(fs::exists(options_.output));
  }
  write_file(options_.samples_file, "gestures:\n  five_close:\n    - [1, 2]\n");  // not glove lines
  EXPECT_NE(run().error, "");
}

// A scale that is not finite leaves the old overlay alone; one beyond three times (or a third of) the
// configured scale is only a warning; exactly three times is in range.
TEST_F(CalibrationCapture, ScaleRatioWarningAndNonFiniteRefusal) {
  write_file(options_.output, "previous calibration\n");
  Config config = Config::load(options_.config, {}, "right");
  config.set_number("tip_mapping.right.human_hand_scale", 0.0);
  Outcome outcome = run(&config);
  EXPECT_EQ(outcome.error, "calibration scale is not finite; the output file was not changed");
  EXPECT_EQ(read_file(options_.output), "previous calibration\n");

  config.set_number("tip_mapping.right.human_hand_scale", 0.25);
  outcome = run(&config);
  ASSERT_EQ(outcome.error, "");
  EXPECT_THAT(outcome.err, HasSubstr("[kelto_hand_calibration] warning: calibration scale ratio "));
  EXPECT_THAT(outcome.err, HasSubstr(" is outside the usual baseline range; continuing\n"));
  const double scale = overlay()["tip_mapping"]["right"]["human_hand_scale"].as<double>();
  double baseline = scale / 3.0;
  while (scale / baseline > 3.0) baseline = std::nextafter(baseline, 1.0);
  while (scale / baseline < 3.0) baseline = std::nextafter(baseline, 0.0);
  ASSERT_EQ(scale / baseline, 3.0);
  config.set_number("tip_mapping.right.human_hand_scale", baseline);
  outcome = run(&config);
  ASSERT_EQ(outcome.error, "");
  EXPECT_EQ(outcome.err, "");
}

// A glove on a pseudo-terminal: no lines (the start-up wait gives up), then one line every 2 ms with
// standard input closed at once, after one Enter press (one stage of four frames), and with a stage that
// cannot fill in time.
TEST_F(CalibrationCapture, LiveCaptureWithEnterPresses) {
  simulator::PseudoTerminal glove_end;
  glove_end.open();
  options_.samples_file.clear();
  options_.port = glove_end.slave_path();
  options_.startup_commands = false;
  options_.startup_valid_frames = 2;
  options_.capture_samples = 4;
  options_.capture_timeout = 2.0;
  const std::string connected =
      "[kelto_hand_runtime] serial=" + options_.port + " side=right mode=calibrate\n";
  const std::string prompt =
      "[kelto_hand_calibration] 等待稳定的手套数据...\n[kelto_hand_calibration] 手套数据已稳定。\n"
      "\n[kelto_hand_calibration] 手势 close：五指自然并拢并保持。\n"
      "[kelto_hand_calibration] 准备好后按 Enter 开始采样。";
  Outcome outcome = run(nullptr, "\n");
  EXPECT_EQ(outcome.error, "startup timeout: received 0/2 valid glove frames");
  EXPECT_THAT(outcome.out, HasSubstr(connected));

  std::atomic<bool> streaming{true};
  std::thread glove([&] {
    for (; streaming; std::this_thread::sleep_for(std::chrono::milliseconds(2)))
      glove_end.write_line(lines_.at("five_close").front());  // lost while nobody reads
  });
  outcome = run(nullptr, "");
  EXPECT_EQ(outcome.error, "calibration input was closed");
  EXPECT_THAT(outcome.out, HasSubstr(connected + prompt));

  outcome = run(nullptr, "\n");
  EXPECT_EQ(outcome.error, "calibration input was closed");
  EXPECT_THAT(
      outcome.out,
      HasSubstr(prompt + "\r[kelto_hand_calibration] close 1/4\r"
                         "[kelto_hand_calibration] close 2/4\r[kelto_hand_calibration] close 3/4\r"
                         "[kelto_hand_calibration] close 4/4\n\n[kelto_hand_calibration] 手势 open："));

  options_.capture_samples = 1000000;
  options_.capture_timeout = 0.5;
  outcome = run(nullptr, "\n");
  EXPECT_THAT(outcome.error,
              ::testing::MatchesRegex("capture timeout for close: received [0-9]+/1000000 frames"));
  EXPECT_FALSE(fs::exists(options_.output));
  streaming = false;
  glove.join();
}

// The overlay replaces the file whole or not at all, through a link to its target, keeping its permissions.
TEST_F(CalibrationCapture, PublicationReplacesTheFileWholeOrNotAtAll) {
  const fs::path path = write_file(dir_ / "user.yaml", "old calibration\n");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  {  // a write that fails half way (the file size limit stands in for a full disk)
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
  EXPECT_EQ(read_file(path), "old calibration\n");
  EXPECT_EQ(entries(dir_.path()), (Names{"samples.yaml", "user.yaml"}));

  // Places that do not open for writing, directly or through a link: nothing is written and nothing is
  // left behind.
  fs::create_directory(dir_ / "taken.yaml");
  fs::create_symlink("taken.yaml", dir_ / "to_directory.yaml");
  std::vector<fs::path> refused = {dir_ / "taken.yaml", dir_ / "to_directory.yaml",
                                   path / "below_a_file.yaml", dir_ / "missing/user.yaml"};
  const fs::path read_only = write_file(dir_ / "read_only.yaml", "kept\n");
  ASSERT_EQ(::chmod(read_only.c_str(), 0444), 0);
  if (::geteuid() != 0) refused.push_back(read_only);  // the superuser may write it all the same
  for (const fs::path& place : refused) {
    EXPECT_EQ(kelto::test::error_text([&] { detail::publish_file(place, "new\n"); }),
              "cannot open calibration output: " + place.string());
  }
  fs::remove(read_only);
  EXPECT_TRUE(fs::is_empty(dir_ / "taken.yaml"));
  EXPECT_EQ(entries(dir_.path()), (Names{"samples.yaml", "taken.yaml", "to_directory.yaml", "user.yaml"}));
  fs::remove(dir_ / "taken.yaml");
  fs::remove(dir_ / "to_directory.yaml");

  // A link, also a chain of them, is replaced in its target with the target's permissions; a dangling
  // one creates its target.
  fs::create_symlink("user.yaml", dir_ / "link.yaml");
  fs::create_symlink(dir_ / "link.yaml", dir_ / "chain.yaml");
  detail::publish_file(dir_ / "chain.yaml", "new calibration\n");
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.yaml") && fs::is_symlink(dir_ / "chain.yaml"));
  EXPECT_EQ(read_file(path), "new calibration\n");
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_directory(dir_ / "sub");
  fs::create_symlink("sub/first.yaml", dir_ / "dangling.yaml");
  detail::publish_file(dir_ / "dangling.yaml", "first calibration\n");
  EXPECT_TRUE(fs::is_symlink(dir_ / "dangling.yaml"));
  EXPECT_EQ(read_file(dir_ / "sub/first.yaml"), "first calibration\n");
  EXPECT_EQ(entries(dir_ / "sub"), Names{"first.yaml"});
  EXPECT_EQ(entries(dir_.path()),
            (Names{"chain.yaml", "dangling.yaml", "link.yaml", "samples.yaml", "sub", "user.yaml"}));
}

}  // namespace
}  // namespace kelto::hand::runtime
