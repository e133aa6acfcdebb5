// Calibration profiles read from the pose library (stages, modes, the profile made from the poses, where
// the library is found) and every error text of the calibration library, one row per text.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "calibration/base_calibration_fit.hpp"
#include "calibration/calibration_fit.hpp"
#include "synthetic_user.hpp"

namespace kelto::hand {
namespace {

namespace fs = std::filesystem;
using test::error_text;
using test::TempDir;
using test::write_file;

const std::vector<std::string> kAllFingers{"thumb", "first", "middle", "ring", "little"};
const std::string kPoses = "poses:\n  - name: open\n  - name: five_close\n  - name: mcp90\n";

// A stage entry with valid fields; `fields` replace them or add more, an empty value drops a field.
std::string stage(const std::string& id, const std::map<std::string, std::string>& fields = {}) {
  std::map<std::string, std::string> f{{"role", "flat_reference"},
                                       {"gesture_kind", id},
                                       {"prompt", "hold"},
                                       {"sample_count", "5"},
                                       {"weight", "1.5"}};
  for (const auto& [key, value] : fields) f[key] = value;
  std::string text = "    - {id: " + id;
  for (const auto& [key, value] : f) text += value.empty() ? "" : ", " + key + ": " + value;
  return text + "}\n";
}

std::string library(const std::string& stages, const std::string& basic = "[close]",
                    const std::string& enhanced = "[close, open]") {
  return kPoses + "calibration:\n  profile_version: 1\n  stages:\n" + stages + "  modes:\n    basic:\n" +
         "      stages: " + basic + "\n    enhanced:\n      stages: " + enhanced + "\n";
}

// A configuration file in `dir` (hand type "toy") whose directory is searched for the library.
Config config_in(const fs::path& dir) {
  return Config::load(write_file(dir / "system.yaml", "hand:\n  type: toy\n"), "", "");
}

CalibrationProfile load_library(const TempDir& tmp, const std::string& text,
                                const std::vector<std::string>& fingers = kAllFingers) {
  write_file(tmp / "pose_library.yaml", text);
  return load_calibration_profile(config_in(tmp.path()), fingers);
}

TEST(CalibrationProfile, ReadsStagesAndModesInFileOrder) {
  TempDir tmp;
  const CalibrationProfile profile = load_library(
      tmp, library(stage("close", {{"reference_pose", "five_close"}, {"fingers", "[thumb, first]"}}) +
                       stage("open") +
                       stage("pinch_first", {{"role", "tip_offset"},
                                             {"sample_count", "3"},
                                             {"weight", "0"},
                                             {"partner_finger", "first"},
                                             {"reference_pose", "~"}}),
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
  EXPECT_EQ(profile.stage_ids(false), (std::vector<std::string>{"close"}));
  EXPECT_EQ(profile.stage_ids(true), (std::vector<std::string>{"close", "open", "pinch_first"}));
  EXPECT_THROW(profile.stage("fist"), std::out_of_range);
}

TEST(CalibrationProfile, CompatibilityProfileFromPoses) {
  TempDir tmp;
  const CalibrationProfile profile = load_library(tmp, kPoses + "  - name: close\n");
  EXPECT_EQ(profile.stage_ids(false), (std::vector<std::string>{"close", "open", "mcp90"}));
  EXPECT_EQ(profile.stage_ids(true),
            (std::vector<std::string>{"close", "open", "mcp90", "pinch_first", "pinch_middle", "pinch_ring",
                                      "pinch_little"}));
  ASSERT_EQ(profile.stages.size(), 7u);
  const std::vector<std::vector<std::string>> expected{
      {"five_close", "flat_reference", "五指自然并拢并保持。", "3", "5"},
      {"open", "flat_reference", "五指自然张开并保持。", "0.5", "5"},
      {"mcp90", "bent_reference", "四指根关节弯曲约 90 度并保持。", "4", "4"},
      {"", "tip_offset", "拇指与first对指并保持。", "0", "0"}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const CalibrationStageProfile& stage = profile.stages[i];
    EXPECT_EQ(stage.reference_pose.value_or(""), expected[i][0]);
    EXPECT_EQ(stage.role, expected[i][1]);
    EXPECT_EQ(stage.prompt, expected[i][2]);
    EXPECT_EQ(stage.weight, std::stod(expected[i][3]));
    EXPECT_EQ(stage.fingers.size(), std::stoul(expected[i][4])) << stage.id;
  }
  EXPECT_EQ(profile.stages[2].fingers.front(), "first");
  EXPECT_EQ(profile.stages[3].gesture_kind, "pinch");
  EXPECT_EQ(profile.stages[3].partner_finger, std::optional<std::string>("first"));
  EXPECT_EQ(profile.stages[3].sample_count, 30u);

  // Without "five_close" the close stage imitates "close"; without a thumb only its fingers are held.
  const CalibrationProfile partial =
      load_library(tmp, "poses:\n  - name: close\n  - name: open\n  - name: mcp90\n", {"first", "ring"});
  EXPECT_EQ(partial.stage("close").reference_pose, std::optional<std::string>("close"));
  EXPECT_EQ(partial.stage("mcp90").fingers, (std::vector<std::string>{"first", "ring"}));
  EXPECT_EQ(partial.stage_ids(true),
            (std::vector<std::string>{"close", "open", "mcp90", "pinch_first", "pinch_ring"}));
}

TEST(CalibrationProfile, FindsTheLibrary) {
  TempDir tmp;
  const fs::path config_dir = tmp / "a/b/c";
  const fs::path upward = tmp / "a/kelto_hand/resources/hands/toy/pose_library.yaml";
  write_file(upward, library(stage("close") + stage("open")));
  // Upward through kelto_hand/resources/hands/<hand.type>, unless a library lies beside the configuration.
  EXPECT_EQ(load_calibration_profile(config_in(config_dir), kAllFingers).stages.size(), 2u);
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

TEST(CalibrationErrorTexts, OneRowPerText) {
  TempDir tmp;
  const std::string in = " in " + (tmp / "pose_library.yaml").string();
  const auto profile = [&tmp](const std::string& text, std::vector<std::string> fingers = kAllFingers) {
    return [&tmp, text, fingers] { load_library(tmp, text, fingers); };
  };
  const Config config = Config::load(test::bundled_hand_config(), "", "right");
  const auto stages = test::capture_stages(
      config, "right", TipMappingParameters::from_config(config, "right"), {"close"}, 1, 0.0);
  auto unobserved = stages, no_frames = stages;
  unobserved[0].fingers.clear();
  no_frames[0].frames.clear();
  std::vector<std::map<std::string, CalibrationFingerFrame>> frames(2, {{"first", {}}});
  frames[1]["ring"] = {};
  const std::string ok = stage("close") + stage("open");
  struct Row {
    std::function<void()> call;
    std::string text;
  };
  std::vector<Row> rows = {
      {profile("calibration: {}\n"), "poses must be a list" + in},
      {profile("poses:\n  - name: open\n  - joints: 1\n"), "pose name must not be empty" + in},
      {profile(kPoses + "calibration: {profile_version: 2}\n"), "unsupported calibration profile" + in},
      {profile(kPoses + "calibration: {profile_version: 1, stages: []}\n"),
       "calibration.stages must be a non-empty list" + in},
      {profile(library("    - close\n")), "calibration stage must be a mapping" + in},
      {profile(library(stage("close", {{"reference_pose", "fist"}}))),
       "calibration stage close references missing pose fist"},
      {profile(library(stage("close", {{"role", "tip_offset"}}))),
       "tip-offset calibration stage requires partner_finger: close"},
      {profile(library(stage("close") + stage("close"))), "duplicate calibration stage: close"},
      {profile(library(stage("close", {{"fingers", "[ring]"}})), {"thumb", "first"}),
       "calibration stage uses unsupported finger: ring"},
      {profile(library(stage("close", {{"partner_finger", "little"}})), {"thumb", "first"}),
       "calibration stage uses unsupported partner finger: little"},
      {profile(kPoses + "calibration:\n  profile_version: 1\n  stages:\n" + ok),
       "calibration.modes must be a mapping" + in},
      {profile(library(ok, "~")), "calibration.modes.basic.stages must be a list" + in},
      {profile(library(ok, "[]")), "calibration.modes.basic.stages must contain unique non-empty values"},
      {profile(library(ok, "[close]", "[close, '']")),
       "calibration.modes.enhanced.stages must contain unique non-empty values"},
      // Enhanced ids are checked before any basic id.
      {profile(library(ok, "[fist]", "[close, mcp]")), "unknown calibration stage: mcp"},
      {profile(library(ok, "[fist]", "[close]")), "unknown calibration stage: fist"},
      {profile(library(ok, "[close, open]", "[close]")),
       "enhanced calibration mode is missing basic stage: open"},
      {profile("poses:\n  - name: open\n  - name: close\n"),
       "compatibility calibration profile requires close, open, and mcp90 poses"},
      {[] { aggregate_calibration_stage({}, {"first"}); }, "Calibration stage requires at least one frame"},
      {[&] {
         aggregate_calibration_stage(frames, {"first", "ring"});
       },
       "Calibration frame is missing finger: ring"},
      {[] { fit_base_calibration({}, test::rot(0, 0.0), 0.1, std::nullopt); },
       "Base calibration requires at least one observation"},
      {[&] { fit_calibration(config, "both", stages, std::nullopt); },
       "Calibration side must be left or right"},
      {[&] { fit_calibration(config, "right", {}, std::nullopt); },
       "Three-stage calibration requires stage samples"},
      {[&] { fit_calibration(config, "right", unobserved, std::nullopt); },
       "Base calibration requires at least one observation"},
      {[&] { fit_three_stage_calibration(config, "right", no_frames, std::nullopt); },
       "Calibration stage requires at least one frame"},
  };
  // Stage fields that are missing, of the wrong kind or out of range.
  const std::map<std::string, std::vector<std::string>> invalid{
      {"sample_count", {"2.5", "0", "-2"}}, {"weight", {".inf", "-0.5"}}, {"prompt", {"''"}}, {"role", {""}}};
  for (const auto& [key, values] : invalid) {
    for (const std::string& value : values)
      rows.push_back(
          {profile(library(stage("close", {{key, value}}))), "calibration stage has invalid fields" + in});
  }
  for (const Row& row : rows) EXPECT_EQ(error_text(row.call), row.text);

  // A stage that lists fingers needs a reference pose for their robot targets.
  auto no_reference = stages;
  no_reference[0].reference_pose.clear();
  EXPECT_THROW(fit_calibration(config, "right", no_reference, std::nullopt), std::out_of_range);
}

}  // namespace
}  // namespace kelto::hand
