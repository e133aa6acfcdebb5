#include "retargeting/retarget_objective_config.hpp"

#include <gtest/gtest.h>

#include "retargeting_test_support.hpp"

namespace kelto::hand {
namespace {

using test::config_from_yaml;
using test::expect_error;

const std::vector<std::string> kActive{"r_index_mcp", "r_index_pip", "right_thumb_cmc", "thumb_ipR"};

TEST(RetargetObjectiveConfig, EmptyConfigurationGivesTheInitialValues) {
  const RetargetObjectiveConfig c = RetargetObjectiveConfig::from_config(config_from_yaml("{}\n"), kActive);
  EXPECT_EQ(c.shape_weight, 5.0);
  EXPECT_EQ(c.pinch_mode, "relative");
  EXPECT_EQ(c.orientation_axis_weights, (std::map<std::string, double>{{"x", 1.0}, {"y", 0.0}, {"z", 0.0}}));
  EXPECT_EQ(c.joint_regularization, std::vector<double>(4, 1e-4));
  EXPECT_EQ(c.velocity_regularization, std::vector<double>(4, 5e-4));
  EXPECT_TRUE(c.joint_coupling.empty());
  EXPECT_TRUE(c.deep_flex.empty());
}

TEST(RetargetObjectiveConfig, WeightsModeAndPerJointOverrides) {
  const RetargetObjectiveConfig c = RetargetObjectiveConfig::from_config(
      config_from_yaml(
          "solver:\n"
          "  weights:\n"
          "    pinch_mode: \" \\tAnChoRed\\n\"\n"
          "    orientation_by_finger: {ring: 2.0, sixth: 3.0}\n"
          "    pinch_by_finger: {thumb: 4.0}\n"
          "    orientation_axis_weights: {z: 0.5}\n"
          "  velocity_regularization:\n"
          "    default_weight: 0.1\n"
          "    by_joint: {l_index_mcp: 0.2, left_thumb_cmc: 0.3, right_thumb_cmc: 0.4, thumb_ipL: 0.5}\n"),
      kActive);
  EXPECT_EQ(c.pinch_mode, "anchored");
  EXPECT_EQ(c.orientation_by_finger, (std::map<std::string, double>{{"ring", 2.0}}));
  EXPECT_EQ(c.pinch_by_finger.at("thumb"), 4.0);
  EXPECT_EQ(c.orientation_axis_weights.at("z"), 0.5);
  EXPECT_EQ(c.orientation_axis_weights.at("x"), 1.0);
  // Mirrored keys apply; the exact name wins over its mirror.
  EXPECT_EQ(c.velocity_regularization, (std::vector<double>{0.2, 0.1, 0.4, 0.5}));
}

TEST(RetargetObjectiveConfig, CouplingAndDeepFlexRules) {
  const RetargetObjectiveConfig c = RetargetObjectiveConfig::from_config(
      config_from_yaml(
          "solver:\n"
          "  joint_coupling_regularization:\n"
          "    - {joint_a: index_pip, joint_b: l_index_mcp, weight: 2.0, offset: 0.1}\n"
          "    - {joint_a: index_pip, joint_b: index_mcp}\n"
          "    - {joint_a: thumb_ipL, joint_b: thumb_cmc, weight: 1.0}\n"
          "  deep_flex_regularization:\n"
          "    weight: 3.0\n"
          "    start_rad: 1.0\n"
          "    pairs:\n"
          "      - {driver_joint: index_mcp, controlled_joint: index_pip, target_rad: 0.3}\n"
          "      - {driver_joint: nothing, controlled_joint: nothing, weight: 0}\n"
          "      - {driver_joint: thumb_cmc, controlled_joint: thumb_ipR, full_rad: 2.0, weight: 1}\n"),
      kActive);
  ASSERT_EQ(c.joint_coupling.size(), 2u);
  EXPECT_EQ(c.joint_coupling[0].joint_a, "r_index_pip");
  EXPECT_EQ(c.joint_coupling[0].joint_b, "r_index_mcp");
  EXPECT_EQ(c.joint_coupling[0].index_a, 1u);
  EXPECT_EQ(c.joint_coupling[0].offset, 0.1);
  EXPECT_EQ(c.joint_coupling[1].joint_a, "thumb_ipR");
  EXPECT_EQ(c.joint_coupling[1].joint_b, "right_thumb_cmc");
  ASSERT_EQ(c.deep_flex.size(), 2u);
  EXPECT_EQ(c.deep_flex[0].driver_index, 0u);
  EXPECT_EQ(c.deep_flex[0].controlled_index, 1u);
  EXPECT_EQ(c.deep_flex[0].start_rad, 1.0);
  EXPECT_EQ(c.deep_flex[0].full_rad, 1.45);
  EXPECT_EQ(c.deep_flex[0].weight, 3.0);
  EXPECT_EQ(c.deep_flex[0].target_rad, 0.3);
  EXPECT_EQ(c.deep_flex[1].full_rad, 2.0);
  EXPECT_EQ(c.deep_flex[1].weight, 1.0);
}

TEST(RetargetObjectiveConfig, RejectsBadRules) {
  const std::string unknown = "solver.joint_coupling_regularization references unknown active joint: ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      // A dropped entry (weight 0) still resolves its names.
      {"solver: {joint_coupling_regularization: [{joint_a: index_mcp, joint_b: wrist, weight: 0}]}\n",
       unknown + "wrist"},
      {"solver: {deep_flex_regularization: {weight: 1, pairs: [{driver_joint: ghost, controlled_joint: "
       "index_pip}]}}\n",
       unknown + "ghost"},
      {"solver: {deep_flex_regularization: {start_rad: 1.2, full_rad: 1.2}}\n",
       "solver.deep_flex_regularization start_rad and full_rad must differ"},
      {"solver: {deep_flex_regularization: {weight: 1, pairs: [{driver_joint: index_pip, controlled_joint: "
       "index_pip, full_rad: 5}]}}\n",
       "solver.deep_flex_regularization joints must differ"},
      {"solver: {deep_flex_regularization: {weight: 1, pairs: [{driver_joint: index_mcp, controlled_joint: "
       "index_pip, start_rad: 0.5, full_rad: 0.5}]}}\n",
       "solver.deep_flex_regularization start_rad and full_rad must differ"},
  };
  for (const auto& [yaml, message] : cases) {
    const Config config = config_from_yaml(yaml);
    expect_error<std::runtime_error>([&] { RetargetObjectiveConfig::from_config(config, kActive); }, message);
  }
}

}  // namespace
}  // namespace kelto::hand
