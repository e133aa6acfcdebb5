// Calibration samples files: the stages read from the calibration profile, the gesture keys, and the
// recorded glove lines per stage (the hand's scale and mounting in them are checked end to end by the
// calibrate-mode program test).
#include "glove_simulator/calibration_samples.hpp"

#include <yaml-cpp/yaml.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/programs.hpp"

namespace kelto::hand::simulator {
namespace {

const std::vector<std::string> kFingers{"thumb", "first", "middle", "ring", "little"};

std::string summary(const std::vector<SampleStage>& stages) {
  std::string out;
  for (const SampleStage& s : stages)
    out += s.stage_id + ">" + s.gesture_key + ":" + s.pose_name + "x" + std::to_string(s.sample_count) + " ";
  return out;
}

// The stage summary for a pose library beside a configuration on top of the bundled hand, or the error.
std::string stages_for(const std::string& library) {
  kelto::test::TempDir dir;
  kelto::test::write_file(dir / "system.yaml", "extends: " + kelto::test::hand_config().string() + "\n");
  if (!library.empty()) kelto::test::write_file(dir / "pose_library.yaml", library);
  try {
    return summary(calibration_sample_stages(Config::load(dir / "system.yaml", {}, "right"), kFingers));
  } catch (const std::runtime_error& error) {
    return std::string("error: ") + error.what();
  }
}

std::string stage(const std::string& id, const std::string& count, const std::string& more = "") {
  return "    - {id: " + id +
         ", role: " + (more.find("partner") == std::string::npos ? "flat_reference" : "tip_offset") +
         ", gesture_kind: g, prompt: p, weight: 1, sample_count: " + count + more + "}\n";
}

std::string library(const std::string& stages, const std::string& enhanced) {
  return "poses: [{name: open}, {name: five_close}, {name: fist}]\ncalibration:\n  profile_version: 1\n  "
         "stages:\n" +
         stages + "  modes:\n    basic: {stages: [open]}\n    enhanced: {stages: " + enhanced + "}\n";
}

TEST(CalibrationSamplesTest, StagesComeFromTheProfilesEnhancedMode) {
  EXPECT_EQ(
      summary(calibration_sample_stages(Config::load(kelto::test::hand_config(), {}, "right"), kFingers)),
      "close>five_close:five_closex30 open>open:openx30 mcp90>mcp90:mcp90x30 "
      "pinch_first>pinch_first:pinch_firstx30 "
      "pinch_middle>pinch_middle:pinch_middlex30 pinch_ring>pinch_ring:pinch_ringx30 "
      "pinch_little>pinch_little:pinch_littlex30 ");
  // Reference pose, else the partner's pinch pose, else the pose named like the stage; "fist" is
  // recorded as mcp90_pip90.
  const std::string stages = stage("open", "3", ", reference_pose: open") +
                             stage("close", "7", ", reference_pose: five_close") +
                             stage("pinch_first", "2", ", partner_finger: first") + stage("fist", "5");
  EXPECT_EQ(stages_for(library(stages, "[fist, open, pinch_first]")),
            "fist>mcp90_pip90:fistx5 open>open:openx3 pinch_first>pinch_first:pinch_firstx2 ");
  EXPECT_EQ(stages_for(library(stage("open", "3") + stage("five_close", "3") + stage("close", "3"),
                               "[open, five_close, close]")),
            "error: two calibration stages are recorded as gesture five_close");
  EXPECT_EQ(stages_for("poses: [{name: open}, {name: close}, {name: mcp90}]\n").substr(0, 58),
            "close>five_close:closex30 open>open:openx30 mcp90>mcp90:mc");
  EXPECT_EQ(stages_for("").substr(0, 35), "error: Pose library was not found: ");
}

TEST(CalibrationSamplesTest, SamplesFileHoldsEachStagesPoseForItsSampleCount) {
  kelto::test::TempDir dir;
  SimulatedGloveOptions options;
  options.config = kelto::test::hand_config();
  SimulatedGlove glove(options);
  const std::filesystem::path path = dir / "nested/samples.yaml";
  EXPECT_EQ(write_calibration_samples(path, glove, GloveLineFormat::rpy), 7u * 30u);

  const YAML::Node gestures = YAML::LoadFile(path.string())["gestures"];
  const std::vector<SampleStage> stages = calibration_sample_stages(glove.config(), glove.finger_order());
  EXPECT_EQ(gestures.size(), stages.size());
  for (const SampleStage& stage : stages) {
    const YAML::Node lines = gestures[stage.gesture_key];
    ASSERT_EQ(lines.size(), stage.sample_count) << stage.stage_id;
    const std::string expected =
        write_glove_line(glove.frame(glove.kinematics().pose_active(stage.pose_name)), glove.finger_order(),
                         GloveLineFormat::rpy);
    for (const YAML::Node& line : lines) EXPECT_EQ(line.as<std::string>(), expected) << stage.stage_id;
  }
  EXPECT_NE(gestures["five_close"][0].as<std::string>(), gestures["mcp90"][0].as<std::string>());

  EXPECT_THROW(calibration_samples_yaml(glove, {{"wave", "wave", "wave_pose", 2}}, GloveLineFormat::rpy),
               std::runtime_error);
}

}  // namespace
}  // namespace kelto::hand::simulator
