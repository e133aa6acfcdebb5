// The kinematic model on the bundled OpenXR-style hand resources, both sides.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "config/config.hpp"
#include "config/resource_root.hpp"
#include "kinematics/jacobian_check.hpp"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "support/test_files.hpp"

namespace kelto::hand {
namespace {

using test::expect_jacobians_match_differences;
using test::random_inside;
using test::ScopedEnv;
using test::TempDir;
using Vec = std::vector<double>;
using Rot = std::array<double, 9>;

std::filesystem::path system_config() {
  return test::source_dir() / "resources/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml";
}

class BundledHand : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override { set_runtime_resource_root({}); }
  void TearDown() override { set_runtime_resource_root(saved_root_); }

  std::filesystem::path saved_root_ = runtime_resource_root();
  TempDir cache_home_;
  ScopedEnv kelto_home_{"KELTO_HOME", cache_home_.path().string()};
};

Rot rotation_of(const std::array<double, 4>& q) {
  const double x = q[0], y = q[1], z = q[2], w = q[3];
  return {1 - 2 * (y * y + z * z), 2 * (x * y - z * w),     2 * (x * z + y * w),
          2 * (x * y + z * w),     1 - 2 * (x * x + z * z), 2 * (y * z - x * w),
          2 * (x * z - y * w),     2 * (y * z + x * w),     1 - 2 * (x * x + y * y)};
}

const SkeletonPose& node(const std::vector<SkeletonPose>& poses, const std::string& name) {
  for (const SkeletonPose& pose : poses) {
    if (pose.name == name) return pose;
  }
  throw std::runtime_error("no skeleton node " + name);
}

double distance(const std::array<double, 3>& a, const std::array<double, 3>& b) {
  return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) +
                   (a[2] - b[2]) * (a[2] - b[2]));
}

TEST_P(BundledHand, JacobiansMatchDifferences) {
  const std::string side = GetParam();
  PinocchioHandKinematics model(Config::load(system_config(), "", side), side);
  EXPECT_EQ(model.joint_names().size(), 23u);
  EXPECT_EQ(model.active_joint_names().size(), 17u);
  std::mt19937 rng(side == "left" ? 11 : 12);
  for (int trial = 0; trial < 4; ++trial)
    expect_jacobians_match_differences(model, random_inside(model, rng));
  expect_jacobians_match_differences(model, model.q_rest_active());
}

TEST_P(BundledHand, SkeletonAgreesWithTheFingertipFrames) {
  const std::string side = GetParam();
  const Config config = Config::load(system_config(), "", side);
  PinocchioHandKinematics model(config, side);
  ASSERT_EQ(model.skeleton_node_names().size(), 25u);
  EXPECT_EQ(model.skeleton_node_names().front(), "wrist");
  EXPECT_EQ(model.skeleton_node_names()[5], "index_metacarpal");
  EXPECT_EQ(model.skeleton_node_names().back(), "little_tip");
  // The tip frames hang on the tip links with the configured offset and axis convention.
  const Rot expected_axes =
      side == "right" ? Rot{0, 0, -1, 0, 1, 0, 1, 0, 0} : Rot{0, 0, 1, 0, -1, 0, 1, 0, 0};
  const std::map<std::string, std::string> tip_nodes{{"thumb", "thumb_tip"},
                                                     {"first", "index_tip"},
                                                     {"middle", "middle_tip"},
                                                     {"ring", "ring_tip"},
                                                     {"little", "little_tip"}};
  std::mt19937 rng(5);
  for (int trial = 0; trial < 3; ++trial) {
    const Vec q = random_inside(model, rng);
    const std::vector<SkeletonPose> poses = model.skeleton_poses_local(q);
    const HandKinematicsState state = model.state_from_active(q);
    const SkeletonPose& wrist = node(poses, "wrist");
    EXPECT_EQ(wrist.quaternion, (std::array<double, 4>{0, 0, 0, 1}));
    for (double p : wrist.position) EXPECT_NEAR(p, 0.0, 1e-15);
    for (const auto& [finger, node_name] : tip_nodes) {
      const SkeletonPose& tip = node(poses, node_name);
      const auto& qn = tip.quaternion;
      EXPECT_NEAR(qn[0] * qn[0] + qn[1] * qn[1] + qn[2] * qn[2] + qn[3] * qn[3], 1.0, 1e-12);
      const Rot r = rotation_of(qn);
      const std::vector<double> offset = config.numbers("hand.fingers." + finger + ".tip_offset_" + side);
      const auto& tip_position = state.tip_positions_wrist.at(finger);
      const auto& tip_rotation = state.tip_rotations_wrist.at(finger);
      for (int i = 0; i < 3; ++i) {
        const double moved =
            tip.position[i] + r[3 * i] * offset[0] + r[3 * i + 1] * offset[1] + r[3 * i + 2] * offset[2];
        EXPECT_NEAR(tip_position[i], moved, 1e-12) << finger;
        for (int j = 0; j < 3; ++j) {
          double axes = 0.0;  // (Rᵀ · tip rotation)(i, j)
          for (int k = 0; k < 3; ++k) axes += r[3 * k + i] * tip_rotation[3 * k + j];
          EXPECT_NEAR(axes, expected_axes[3 * i + j], 1e-12) << finger;
        }
      }
    }
  }
}

TEST_P(BundledHand, BoneFileResizesTheGeneratedModel) {
  const std::string side = GetParam();
  TempDir tmp;
  const std::string lengths =
      "  fingers:\n"
      "    thumb: {metacarpal: 0.05, proximal: 0.03, intermediate: 0.9, distal: 0.022}\n"
      "    first: {metacarpal: 0.07, proximal: 0.045, intermediate: 0.02, distal: 0.018}\n";
  const auto bone = test::write_file(tmp / "carol.yaml", "left:\n" + lengths + "right:\n" + lengths);
  PinocchioHandKinematics resized(Config::load(system_config(), bone, side), side);
  PinocchioHandKinematics original(Config::load(system_config(), "", side), side);

  // The generated file sits in the cache under the bone file's stem; only the edited origins differ.
  const auto generated =
      cache_home_.path() / "glove/algorithms/cache/dynamic_openxr_hand" / ("carol_" + side + ".urdf");
  ASSERT_TRUE(std::filesystem::is_regular_file(generated));
  std::istringstream template_lines(
      test::read_file(system_config().parent_path() / "resources/pinocchio" / (side + ".urdf")));
  std::istringstream generated_lines(test::read_file(generated));
  std::string a, b;
  int changed = 0;
  while (std::getline(template_lines, a)) {
    ASSERT_TRUE(std::getline(generated_lines, b));
    if (a != b) {
      ++changed;
      EXPECT_EQ(a.substr(0, a.find("xyz=\"")), b.substr(0, b.find("xyz=\"")));
      EXPECT_EQ(a.substr(a.find("\" rpy=")), b.substr(b.find("\" rpy=")));
    }
  }
  EXPECT_FALSE(std::getline(generated_lines, b));
  EXPECT_EQ(changed, 7);

  // Bone lengths are the distances between consecutive skeleton nodes, whatever the joint angles.
  const std::vector<std::pair<std::pair<const char*, const char*>, double>> bones = {
      {{"thumb_metacarpal", "thumb_proximal"}, 0.05},
      {{"thumb_proximal", "thumb_distal"}, 0.03},
      {{"thumb_distal", "thumb_tip"}, 0.022},
      {{"index_metacarpal", "index_proximal"}, 0.07},
      {{"index_proximal", "index_intermediate"}, 0.045},
      {{"index_intermediate", "index_distal"}, 0.02},
      {{"index_distal", "index_tip"}, 0.018}};
  std::mt19937 rng(9);
  const Vec q = random_inside(resized, rng);
  const auto poses = resized.skeleton_poses_local(q);
  const auto template_poses = original.skeleton_poses_local(q);
  for (const auto& [nodes, length] : bones) {
    EXPECT_NEAR(distance(node(poses, nodes.first).position, node(poses, nodes.second).position), length, 1e-6)
        << nodes.first;
  }
  // Untouched fingers keep their template geometry; the resized ones move their tips.
  const auto resized_state = resized.state_from_active(q);
  const auto original_state = original.state_from_active(q);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(resized_state.tip_positions_wrist.at("middle")[i],
                original_state.tip_positions_wrist.at("middle")[i], 1e-9);
  }
  EXPECT_GT(
      distance(resized_state.tip_positions_wrist.at("first"), original_state.tip_positions_wrist.at("first")),
      1e-3);
  EXPECT_GT(
      distance(resized_state.tip_positions_wrist.at("thumb"), original_state.tip_positions_wrist.at("thumb")),
      1e-3);
  EXPECT_NEAR(distance(node(template_poses, "middle_proximal").position,
                       node(template_poses, "middle_intermediate").position),
              distance(node(poses, "middle_proximal").position, node(poses, "middle_intermediate").position),
              1e-12);
}

INSTANTIATE_TEST_SUITE_P(Sides, BundledHand, ::testing::Values("right", "left"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace kelto::hand
