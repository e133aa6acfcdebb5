// Calibration profiles from the pose library (stage fields, the profile made from the poses, where the
// library is found) and the error texts of the calibration library. The bundled library's own profile is
// read end to end by the C interface and calibrate-mode tests.
#include <gtest/gtest.h>

#include <functional>

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

// A stage entry with valid fields; `f` adds or replaces fields, an empty value drops one.
std::string stage(const std::string& id, std::map<std::string, std::string> f = {}) {
  f.insert({{"role", "flat_reference"},
            {"gesture_kind", "x"},
            {"prompt", "hold"},
            {"sample_count", "5"},
            {"weight", "1.5"}});
  std::string text = "    - {id: " + id;
  for (const auto& [key, value] : f) text += value.empty() ? "" : ", " + key + ": " + value;
  return text + "}\n";
}
std::string library(const std::string& stages, const std::string& basic = "[close]",
                    const std::string& enhanced = "[close, open]") {
  return kPoses + "calibration:\n  profile_version: 1\n  stages:\n" + stages +
         "  modes:\n    basic:\n      stages: " + basic + "\n    enhanced:\n      stages: " + enhanced + "\n";
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

TEST(CalibrationProfile, StagesModesAndTheProfileMadeFromPoses) {
  TempDir tmp;
  const CalibrationProfile profile = load_library(
      tmp,
      library(stage("close", {{"reference_pose", "five_close"}}) + stage("open", {{"reference_pose", "~"}}),
              "[open]", "[close, open]"));
  EXPECT_EQ(profile.stage("close").reference_pose, std::optional<std::string>("five_close"));
  EXPECT_FALSE(profile.stage("open").reference_pose.has_value());  // a null value counts as absent
  EXPECT_EQ(profile.stage_ids(false), (std::vector<std::string>{"open"}));
  EXPECT_EQ(profile.stage_ids(true), (std::vector<std::string>{"close", "open"}));  // file order

  // Without a calibration section the stages come from the poses.
  const CalibrationProfile poses = load_library(tmp, kPoses);
  EXPECT_EQ(poses.stage_ids(true), (std::vector<std::string>{"close", "open", "mcp90", "pinch_first",
                                                             "pinch_middle", "pinch_ring", "pinch_little"}));
  const std::vector<std::tuple<std::string, std::string, double, std::size_t>> expected{
      {"five_close", "五指自然并拢并保持。", 3, 5},
      {"open", "五指自然张开并保持。", 0.5, 5},
      {"mcp90", "四指根关节弯曲约 90 度并保持。", 4, 4},
      {"", "拇指与first对指并保持。", 0, 0}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const CalibrationStageProfile& s = poses.stages[i];
    EXPECT_EQ(std::make_tuple(s.reference_pose.value_or(""), s.prompt, s.weight, s.fingers.size()),
              expected[i]);
  }
  EXPECT_EQ(poses.stages[3].partner_finger, std::optional<std::string>("first"));
  // Without "five_close" the close stage imitates "close"; without a thumb only its fingers are held.
  const CalibrationProfile partial =
      load_library(tmp, "poses:\n  - name: close\n  - name: open\n  - name: mcp90\n", {"first", "ring"});
  EXPECT_EQ(partial.stage("close").reference_pose, std::optional<std::string>("close"));
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
  fs::remove(config_dir / "pose_library.yaml");
  fs::remove(upward);
  EXPECT_EQ(error_text([&] { load_calibration_profile(config_in(config_dir), kAllFingers); }),
            "Pose library was not found: " + (config_dir / "pose_library.yaml").string());
}

TEST(CalibrationErrorTexts, OneRowPerFailureClass) {
  TempDir tmp;
  const std::string in = " in " + (tmp / "pose_library.yaml").string();
  const auto profile = [&tmp](const std::string& text, std::vector<std::string> fingers = kAllFingers) {
    return [&tmp, text, fingers] { load_library(tmp, text, fingers); };
  };
  const Config config = Config::load(test::bundled_hand_config(), "", "right");
  const auto stages = test::capture_stages(
      config, "right", TipMappingParameters::from_config(config, "right"), {"close"}, 1, 0.0);
  auto unobserved = stages, no_frames = stages, no_reference = stages;
  unobserved[0].fingers.clear();
  no_frames[0].frames.clear();
  no_reference[0].reference_pose.clear();
  std::vector<std::map<std::string, CalibrationFingerFrame>> frames(2, {{"first", {}}});
  frames[1]["ring"] = {};
  const std::string ok = stage("close") + stage("open");
  std::vector<std::pair<std::function<void()>, std::string>> rows = {
      {profile(kPoses + "calibration: {profile_version: 2}\n"), "unsupported calibration profile" + in},
      {profile(library(stage("close", {{"reference_pose", "fist"}}))),
       "calibration stage close references missing pose fist"},
      {profile(library(stage("close") + stage("close"))), "duplicate calibration stage: close"},
      {profile(library(stage("close", {{"partner_finger", "little"}})), {"thumb", "first"}),
       "calibration stage uses unsupported partner finger: little"},
      // A mode without its own mapping, pose entries that are no mappings, null names.
      {profile(kPoses + "calibration:\n  profile_version: 1\n  stages:\n" + ok +
               "  modes:\n    enhanced: {stages: [close]}\n"),
       "calibration.modes.basic.stages must be a list" + in},
      {profile(kPoses + "calibration:\n  profile_version: 1\n  stages:\n" + ok +
               "  modes:\n    basic: {stages: [close]}\n"),
       "calibration.modes.enhanced.stages must be a list" + in},
      {profile("poses: [open, five_close, mcp90]\n"), "pose name must not be empty" + in},
      {profile(kPoses + "  - name: ~\n"), "pose name must not be empty" + in},
      {profile(library(stage("~") + ok)), "calibration stage has invalid fields" + in},
      {profile(library(ok, "[close]", "[close, '']")),
       "calibration.modes.enhanced.stages must contain unique non-empty values"},
      // Enhanced ids are checked before any basic id.
      {profile(library(ok, "[fist]", "[close, mcp]")), "unknown calibration stage: mcp"},
      {profile(library(ok, "[close, open]", "[close]")),
       "enhanced calibration mode is missing basic stage: open"},
      {profile("poses:\n  - name: open\n  - name: close\n"),
       "compatibility calibration profile requires close, open, and mcp90 poses"},
      {[&] {
         aggregate_calibration_stage(frames, {"first", "ring"});
       },
       "Calibration frame is missing finger: ring"},
      {[&] { fit_calibration(config, "right", unobserved, std::nullopt); },
       "Base calibration requires at least one observation"},
      {[&] { fit_three_stage_calibration(config, "right", no_frames, std::nullopt); },
       "Calibration stage requires at least one frame"},
      // A stage that lists fingers needs a reference pose for their robot targets.
      {[&] { fit_calibration(config, "right", no_reference, std::nullopt); }, "map::at:  key not found"},
  };
  // Stage fields that are missing, of the wrong kind or out of range.
  const std::pair<std::string, std::string> invalid[] = {
      {"sample_count", "2.5"}, {"sample_count", "0"}, {"weight", ".inf"}, {"weight", "-0.5"},
      {"prompt", "''"},        {"role", ""},          {"prompt", "~"},    {"gesture_kind", "null"}};
  for (const auto& [key, value] : invalid)
    rows.push_back(
        {profile(library(stage("close", {{key, value}}))), "calibration stage has invalid fields" + in});
  for (const auto& [call, text] : rows) EXPECT_EQ(error_text(call), text);
}

}  // namespace
}  // namespace kelto::hand
