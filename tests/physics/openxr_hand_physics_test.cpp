// The physics observer on the bundled OpenXR-style hand: following joint commands, contacts between
// fingers, step counting, and a personalised model built from a bone configuration.
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "physics/mujoco_physics_observer.hpp"
#include "physics_fixtures.hpp"

namespace kelto::test {
namespace {

namespace fs = std::filesystem;
using hand::Config;
using hand::MujocoPhysicsObserver;

fs::path system_config() {
  return source_dir() / "resources/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml";
}

// The actuated flexion and abduction joints of the right hand.
const std::vector<std::string> kJoints = {
    "right_thumb_cmc_flexion",  "right_thumb_mcp_flexion",  "right_index_mcp_abduction",
    "right_index_mcp_flexion",  "right_index_pip_flexion",  "right_middle_mcp_flexion",
    "right_middle_pip_flexion", "right_ring_mcp_flexion",   "right_ring_pip_flexion",
    "right_little_mcp_flexion", "right_little_pip_flexion", "right_middle_mcp_abduction",
};

class OpenXrHand : public ::testing::Test {
 protected:
  TempDir dir_;
  ScopedProcessState state_{dir_ / "work"};
  ScopedEnv home_{"KELTO_HOME", (dir_ / "home").string()};
};

TEST_F(OpenXrHand, LoadsTheBundledTemplateWithItsSettings) {
  const Config config = Config::load(system_config(), "", "right");
  ASSERT_EQ(config.number("viewer.physics_steps_per_render"), 8);
  MujocoPhysicsObserver observer(config, system_config(), "right");
  EXPECT_EQ(observer.model_path(), fs::canonical(bundled_mjcf("right")));
  EXPECT_GT(observer.actuator_count(), static_cast<int>(kJoints.size()) - 1);
  EXPECT_GT(observer.collision_geom_count(), 15);
  for (int frame = 1; frame <= 4; ++frame) {
    observer.observe(kJoints, std::vector<double>(kJoints.size(), 0.0));
    EXPECT_EQ(observer.step_count(), 8 * frame);
  }
  EXPECT_EQ(observer.contact_count(), 0) << "the open hand touches nothing";
}

TEST_F(OpenXrHand, FollowsASlowTrajectory) {
  MujocoPhysicsObserver observer(Config::load(system_config(), "", "right"), system_config(), "right");
  // One frame is 8 steps of 2 ms. The fingers curl and open together at 0.5 Hz, so that they never
  // touch one another; the abductions stay at zero.
  const double frame_s = 0.016;
  auto command = [&](std::size_t j, double t) {
    if (kJoints[j].find("abduction") != std::string::npos) return 0.0;
    // The thumb stretches a little instead, clear of the curling index finger.
    const double scale = kJoints[j].find("thumb") != std::string::npos ? -0.2 : 1.0;
    return scale * (0.4 + 0.3 * std::sin(2.0 * M_PI * 0.5 * t));
  };
  std::vector<double> values(kJoints.size());
  double worst_after_settling = 0;
  for (int frame = 0; frame < 250; ++frame) {
    const double t = frame * frame_s;
    for (std::size_t j = 0; j < kJoints.size(); ++j) values[j] = command(j, t);
    const auto out = observer.observe(kJoints, values);
    EXPECT_EQ(observer.contact_count(), 0) << "at " << t << " s";
    if (t < 0.5) continue;  // settling time
    for (std::size_t j = 0; j < kJoints.size(); ++j) {
      worst_after_settling = std::max(worst_after_settling, std::abs(out[j] - values[j]));
    }
  }
  EXPECT_LT(worst_after_settling, 0.04) << "tracking error while moving, rad";

  // Held still, every joint settles onto its command.
  std::vector<double> out;
  for (int frame = 0; frame < 60; ++frame) out = observer.observe(kJoints, values);
  for (std::size_t j = 0; j < kJoints.size(); ++j) EXPECT_NEAR(out[j], values[j], 0.005) << kJoints[j];
}

TEST_F(OpenXrHand, FingersPressedTogetherTouch) {
  struct Case {
    const char* label;
    double index_abduction, middle_abduction;
    bool touch;
  };
  for (const Case& c : {Case{"spread", 0.44, 0.35, false}, Case{"pressed together", -0.3, 0.35, true}}) {
    SCOPED_TRACE(c.label);
    MujocoPhysicsObserver observer(Config::load(system_config(), "", "right"), system_config(), "right");
    const std::vector<std::string> names = {"right_index_mcp_abduction", "right_middle_mcp_abduction"};
    std::vector<double> out;
    for (int frame = 0; frame < 100; ++frame)
      out = observer.observe(names, {c.index_abduction, c.middle_abduction});
    if (c.touch) {
      EXPECT_GT(observer.contact_count(), 0);
      EXPECT_GT(out[0], c.index_abduction + 0.01) << "the middle finger blocks the index finger";
      EXPECT_LT(out[1], c.middle_abduction - 0.01) << "and the index finger the middle finger";
    } else {
      EXPECT_EQ(observer.contact_count(), 0);
      EXPECT_NEAR(out[0], c.index_abduction, 1e-3);
      EXPECT_NEAR(out[1], c.middle_abduction, 1e-3);
    }
  }
}

TEST_F(OpenXrHand, PersonalisedModelFromABoneConfiguration) {
  const fs::path bones = write_file(dir_ / "bones/bob.yaml", R"(right:
  fingers:
    first: {metacarpal: 0.07, proximal: 0.045, intermediate: 0.026, distal: 0.022}
    thumb: {proximal: 0.035}
  palm_layout:
    enabled: true
    coordinate_frame: wrist_x_toward_index_y_toward_middle
    landmarks_m:
      thumb_cmc: [0.012, 0.03]
      first_mcp: [0.02, 0.085]
      middle_mcp: [0.0, 0.088]
      ring_mcp: [-0.018, 0.083]
      little_mcp: [-0.036, 0.074]
)");
  const fs::path generated = dir_ / "home/glove/algorithms/cache/dynamic_openxr_hand/bob_right.xml";
  {
    MujocoPhysicsObserver observer(Config::load(system_config(), bones, "right"), system_config(), "right");
    EXPECT_EQ(observer.model_path(), generated);
    const std::string xml = read_file(generated);
    EXPECT_EQ(xml_attribute(xml, "body", "right_index_intermediate", "pos"), "0 0 0.045");
    std::vector<double> out;
    for (int frame = 0; frame < 60; ++frame) out = observer.observe({"right_index_mcp_flexion"}, {0.8});
    EXPECT_NEAR(out[0], 0.8, 0.005);
  }
  EXPECT_FALSE(fs::exists(generated));
}

}  // namespace
}  // namespace kelto::test
