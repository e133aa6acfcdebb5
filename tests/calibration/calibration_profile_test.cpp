// Calibration profiles read from the pose library: lookup of the library, the stage rules, the mode
// lists and the built-in profile made from the library's poses.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "calibration/calibration_profile.hpp"
#include "calibration_test_support.hpp"
#include "config/config.hpp"
#include "support/test_files.hpp"

namespace kelto::hand {
namespace {

namespace fs = std::filesystem;
using test::error_text;
using test::TempDir;
using test::write_file;

const std::vector<std::string> kAllFingers{"thumb", "first", "middle", "ring", "little"};

const char* const kPoses =
    "poses:\n"
    "  - name: open\n"
    "  - name: five_close\n"
    "  - name: mcp90\n";

// A stage entry with valid fields; `extra` lines (indented by four) add fields or replace these.
std::string stage(const std::string& id, const std::string& extra = "") {
  std::map<std::string, std::string> fields{{"role", "flat_reference"},
                                            {"gesture_kind", id},
                                            {"prompt", "hold"},
                                            {"sample_count", "5"},
                                            {"weight", "1.5"}};
  std::vector<std::string> order{"role", "gesture_kind", "prompt", "sample_count", "weight"};
  std::istringstream lines(extra);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t colon = line.find(':');
    const std::string key = line.substr(line.find_first_not_of(' '), colon - line.find_first_not_of(' '));
    if (!fields.count(key)) order.push_back(key);
    fields[key] = line.substr(colon + 2);
  }
  std::string text = "    - id: " + id + "\n";
  for (const std::string& key : order) {
    if (fields[key] != "<drop>") text += "      " + key + ": " + fields[key] + "\n";
  }
  return text;
}

std::string calibration(const std::string& stages, const std::string& basic = "[close]",
                        const std::string& enhanced = "[close, open]") {
  return std::string(kPoses) + "calibration:\n  profile_version: 1\n  stages:\n" + stages +
         "  modes:\n    basic:\n      stages: " + basic + "\n    enhanced:\n      stages: " + enhanced + "\n";
}

// A configuration file in `dir` (hand type "toy") whose directory is searched for the library.
Config config_in(const fs::path& dir) {
  return Config::load(write_file(dir / "system.yaml", "hand:\n  type: toy\n"), "", "");
}

CalibrationProfile load_library(const TempDir& tmp, const std::string& library,
                                const std::vector<std::string>& fingers = kAllFingers) {
  write_file(tmp / "pose_library.yaml", library);
  return load_calibration_profile(config_in(tmp.path()), fingers);
}

TEST(CalibrationProfile, ReadsStagesAndModesInFileOrder) {
  TempDir tmp;
  const CalibrationProfile profile = load_library(
      tmp,
      calibration(stage("close", "      reference_pose: five_close\n      fingers: [thumb, first]\n") +
                      stage("open") +
                      "    - id: pinch_first\n      role: tip_offset\n      gesture_kind: pinch\n"
                      "      prompt: p\n      sample_count: 3\n      weight: 0\n      partner_finger: first\n"
                      "      reference_pose: ~\n",
                  "[close]", "[close, open, pinch_first]"));
  ASSERT_EQ(profile.stages.size(), 3u);
  const CalibrationStageProfile& close = profile.stage("close");
  EXPECT_EQ(close.role, "flat_reference");
  EXPECT_EQ(close.reference_pose, std::optional<std::string>("five_close"));
  EXPECT_EQ(close.fingers, (std::vector<std::string>{"thumb", "first"}));
  EXPECT_EQ(close.sample_count, 5u);
  EXPECT_DOUBLE_EQ(close.weight, 1.5);
  EXPECT_TRUE(profile.stage("open").fingers.empty());
  const CalibrationStageProfile& pinch = profile.stage("pinch_first");
  EXPECT_EQ(pinch.partner_finger, std::optional<std::string>("first"));
  EXPECT_FALSE(pinch.reference_pose.has_value());  // a null value counts as absent
  EXPECT_DOUBLE_EQ(pinch.weight, 0.0);
  EXPECT_EQ(profile.stage_ids(false), (std::vector<std::string>{"close"}));
  EXPECT_EQ(profile.stage_ids(true), (std::vector<std::string>{"close", "open", "pinch_first"}));
  EXPECT_EQ(error_text([&] { profile.stage("fist"); }), "unknown calibration stage: fist");
  EXPECT_THROW(profile.stage("fist"), std::out_of_range);
}

TEST(CalibrationProfile, RejectsInvalidLibraries) {
  struct Case {
    const char* name;
    std::string library;
    std::vector<std::string> fingers;
    std::string error;  // "" + path suffix marker "@" means: followed by the library path
  };
  const std::string ok_stages = stage("close") + stage("open");
  const std::vector<Case> cases = {
      {"no poses", "calibration: {}\n", kAllFingers, "poses must be a list in @"},
      {"unnamed pose", "poses:\n  - name: open\n  - joints: 1\n", kAllFingers,
       "pose name must not be empty in @"},
      {"null calibration", std::string(kPoses) + "calibration: ~\n", kAllFingers,
       "unsupported calibration profile in @"},
      {"version 2", std::string(kPoses) + "calibration:\n  profile_version: 2\n", kAllFingers,
       "unsupported calibration profile in @"},
      {"no version", std::string(kPoses) + "calibration:\n  stages: []\n", kAllFingers,
       "unsupported calibration profile in @"},
      {"empty stages", std::string(kPoses) + "calibration:\n  profile_version: 1\n  stages: []\n",
       kAllFingers, "calibration.stages must be a non-empty list in @"},
      {"scalar stage", calibration("    - close\n"), kAllFingers, "calibration stage must be a mapping in @"},
      {"no weight", calibration(stage("close", "      weight: <drop>\n")), kAllFingers,
       "calibration stage has invalid fields in @"},
      {"no sample count", calibration(stage("close", "      sample_count: <drop>\n")), kAllFingers,
       "calibration stage has invalid fields in @"},
      {"zero sample count", calibration(stage("close", "      sample_count: 0\n")), kAllFingers,
       "calibration stage has invalid fields in @"},
      {"fractional sample count", calibration(stage("close", "      sample_count: 2.5\n")), kAllFingers,
       "calibration stage has invalid fields in @"},
      {"empty prompt", calibration(stage("close", "      prompt: ''\n")), kAllFingers,
       "calibration stage has invalid fields in @"},
      {"no role", calibration(stage("close", "      role: <drop>\n")), kAllFingers,
       "calibration stage has invalid fields in @"},
      {"weight not a number", calibration(stage("close", "      weight: heavy\n")), kAllFingers,
       "calibration stage has invalid fields in @"},
      {"negative sample count", calibration(stage("close", "      sample_count: -2\n")), kAllFingers,
       "calibration stage has invalid fields in @"},
      {"negative weight", calibration(stage("close", "      weight: -0.5\n")), kAllFingers,
       "calibration stage has invalid fields in @"},
      {"infinite weight", calibration(stage("close", "      weight: .inf\n")), kAllFingers,
       "calibration stage has invalid fields in @"},
      {"missing pose", calibration(stage("close", "      reference_pose: fist\n")), kAllFingers,
       "calibration stage close references missing pose fist"},
      {"tip offset without partner", calibration(stage("close", "      role: tip_offset\n")), kAllFingers,
       "tip-offset calibration stage requires partner_finger: close"},
      {"duplicate id", calibration(stage("close") + stage("close")), kAllFingers,
       "duplicate calibration stage: close"},
      {"unknown finger", calibration(stage("close", "      fingers: [thumb, pinky]\n")), kAllFingers,
       "calibration stage uses unsupported finger: pinky"},
      {"finger outside the order",
       calibration(stage("close", "      fingers: [ring]\n")),
       {"thumb", "first"},
       "calibration stage uses unsupported finger: ring"},
      {"unknown partner",
       calibration(stage("close", "      partner_finger: little\n")),
       {"thumb", "first"},
       "calibration stage uses unsupported partner finger: little"},
      {"no modes", std::string(kPoses) + "calibration:\n  profile_version: 1\n  stages:\n" + ok_stages,
       kAllFingers, "calibration.modes must be a mapping in @"},
      {"no basic list", calibration(ok_stages, "~"), kAllFingers,
       "calibration.modes.basic.stages must be a list in @"},
      {"empty basic list", calibration(ok_stages, "[]"), kAllFingers,
       "calibration.modes.basic.stages must contain unique non-empty values"},
      {"repeated enhanced id", calibration(ok_stages, "[close]", "[close, close]"), kAllFingers,
       "calibration.modes.enhanced.stages must contain unique non-empty values"},
      {"empty enhanced id", calibration(ok_stages, "[close]", "[close, '']"), kAllFingers,
       "calibration.modes.enhanced.stages must contain unique non-empty values"},
      // Enhanced ids are checked before any basic id.
      {"unknown enhanced id", calibration(ok_stages, "[fist]", "[close, mcp]"), kAllFingers,
       "unknown calibration stage: mcp"},
      {"unknown basic id", calibration(ok_stages, "[fist]", "[close]"), kAllFingers,
       "unknown calibration stage: fist"},
      {"basic id not enhanced", calibration(ok_stages, "[close, open]", "[close]"), kAllFingers,
       "enhanced calibration mode is missing basic stage: open"},
      {"compatibility without mcp90", "poses:\n  - name: open\n  - name: close\n", kAllFingers,
       "compatibility calibration profile requires close, open, and mcp90 poses"},
  };
  for (const Case& c : cases) {
    TempDir tmp;
    const std::string library = (tmp / "pose_library.yaml").string();
    std::string expected = c.error;
    if (!expected.empty() && expected.back() == '@')
      expected = expected.substr(0, expected.size() - 1) + library;
    EXPECT_EQ(error_text([&] { load_library(tmp, c.library, c.fingers); }), expected) << c.name;
  }
}

TEST(CalibrationProfile, CompatibilityProfileFromPoses) {
  TempDir tmp;
  const CalibrationProfile profile = load_library(tmp, std::string(kPoses) + "  - name: close\n");
  EXPECT_EQ(profile.stage_ids(false), (std::vector<std::string>{"close", "open", "mcp90"}));
  EXPECT_EQ(profile.stage_ids(true),
            (std::vector<std::string>{"close", "open", "mcp90", "pinch_first", "pinch_middle", "pinch_ring",
                                      "pinch_little"}));
  ASSERT_EQ(profile.stages.size(), 7u);
  const CalibrationStageProfile& close = profile.stages[0];
  EXPECT_EQ(close.id, "close");
  EXPECT_EQ(close.reference_pose, std::optional<std::string>("five_close"));
  EXPECT_EQ(close.prompt, "五指自然并拢并保持。");
  EXPECT_EQ(close.fingers, kAllFingers);
  EXPECT_DOUBLE_EQ(close.weight, 3.0);
  EXPECT_EQ(profile.stages[1].prompt, "五指自然张开并保持。");
  EXPECT_DOUBLE_EQ(profile.stages[1].weight, 0.5);
  const CalibrationStageProfile& mcp90 = profile.stages[2];
  EXPECT_EQ(mcp90.role, "bent_reference");
  EXPECT_EQ(mcp90.prompt, "四指根关节弯曲约 90 度并保持。");
  EXPECT_EQ(mcp90.fingers, (std::vector<std::string>{"first", "middle", "ring", "little"}));
  EXPECT_DOUBLE_EQ(mcp90.weight, 4.0);
  const CalibrationStageProfile& pinch = profile.stages[3];
  EXPECT_EQ(pinch.role, "tip_offset");
  EXPECT_EQ(pinch.gesture_kind, "pinch");
  EXPECT_EQ(pinch.prompt, "拇指与first对指并保持。");
  EXPECT_EQ(pinch.partner_finger, std::optional<std::string>("first"));
  EXPECT_FALSE(pinch.reference_pose.has_value());
  EXPECT_TRUE(pinch.fingers.empty());
  EXPECT_EQ(pinch.sample_count, 30u);
  EXPECT_DOUBLE_EQ(pinch.weight, 0.0);
}

TEST(CalibrationProfile, CompatibilityProfileWithoutThumbOrFiveClose) {
  TempDir tmp;
  const CalibrationProfile profile =
      load_library(tmp, "poses:\n  - name: close\n  - name: open\n  - name: mcp90\n", {"first", "ring"});
  EXPECT_EQ(profile.stage("close").reference_pose, std::optional<std::string>("close"));
  EXPECT_EQ(profile.stage("mcp90").fingers, (std::vector<std::string>{"first", "ring"}));
  EXPECT_EQ(profile.stage_ids(true),
            (std::vector<std::string>{"close", "open", "mcp90", "pinch_first", "pinch_ring"}));
}

TEST(CalibrationProfile, FindsTheLibrary) {
  TempDir tmp;
  const fs::path config_dir = tmp / "a/b/c";
  const fs::path upward = tmp / "a/kelto_hand/resources/hands/toy/pose_library.yaml";
  write_file(upward, calibration(stage("close") + stage("open")));
  // Found upward through kelto_hand/resources/hands/<hand.type>.
  EXPECT_EQ(load_calibration_profile(config_in(config_dir), kAllFingers).stages.size(), 2u);

  // A library beside the configuration wins.
  write_file(config_dir / "pose_library.yaml", kPoses);
  EXPECT_EQ(load_calibration_profile(config_in(config_dir), kAllFingers).stages.size(), 7u);

  // hand.type is needed only when the first candidate is missing.
  const Config no_type = Config::load(write_file(config_dir / "bare.yaml", "x: 1\n"), "", "");
  EXPECT_EQ(load_calibration_profile(no_type, kAllFingers).stages.size(), 7u);
  fs::remove(config_dir / "pose_library.yaml");
  EXPECT_THROW(load_calibration_profile(no_type, kAllFingers), std::out_of_range);

  fs::remove(upward);
  const std::string first =
      (fs::path(config_in(config_dir).string("__config_dir__")) / "pose_library.yaml").string();
  EXPECT_EQ(error_text([&] { load_calibration_profile(config_in(config_dir), kAllFingers); }),
            "Pose library was not found: " + first);
}

}  // namespace
}  // namespace kelto::hand
