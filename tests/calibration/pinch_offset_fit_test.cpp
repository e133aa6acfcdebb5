// Pinch fingertip offset fit: which captures it needs, the gap it aims for, its score, the box and the
// frozen axes, on the bundled hand.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "calibration/pinch_offset_fit.hpp"
#include "calibration_test_support.hpp"
#include "synthetic_user.hpp"

namespace kelto::hand {
namespace {

using detail::FrozenAxes;
using Vec3 = std::array<double, 3>;
using Offsets = std::map<std::string, Vec3>;

Config bundled_config() {
  return Config::load(test::bundled_hand_config(), "", "right");
}

// Aggregated samples of the named stages, captured by a glove that fits the configuration exactly; the
// gesture of each stage is the pose `poses[i]`.
std::vector<CalibrationStageSample> pinch_samples(const Config& config,
                                                  const std::vector<std::string>& stage_ids,
                                                  const std::vector<std::string>& poses) {
  const TipMappingParameters params = TipMappingParameters::from_config(config, "right");
  PinocchioHandKinematics kinematics(config, "right");
  synthetic::SyntheticGlove glove(params);
  std::vector<CalibrationStageSample> samples;
  for (std::size_t i = 0; i < stage_ids.size(); ++i) {
    const GloveFeatureFrame frame = glove.frame_from_active(kinematics, kinematics.pose_active(poses[i]));
    CalibrationStageSample sample;
    sample.stage_id = stage_ids[i];
    for (const auto& [finger, pose] : frame.local_tips) {
      sample.positions[finger] = pose.position;
      sample.rotations[finger] = pose.rotation;
    }
    samples.push_back(sample);
  }
  return samples;
}

TEST(PinchOffsetFit, GapResidual) {
  struct Case {
    double gap, target_gap;
  };
  const Vec3 thumb{0.01, -0.02, 0.1};
  const Vec3 direction{0.6, 0.0, 0.8};
  for (const Case& c : std::vector<Case>{{0.02, 0.015}, {0.01, 0.01}, {0.005, 0.01}, {0.1, 0.075}}) {
    const Vec3 partner{thumb[0] + c.gap * direction[0], thumb[1], thumb[2] + c.gap * direction[2]};
    const Vec3 r = detail::pinch_gap_residual(thumb, partner);
    const Vec3 moved{partner[0] + r[0], partner[1] + r[1], partner[2] + r[2]};
    EXPECT_NEAR(test::distance(moved, thumb), c.target_gap, 1e-15) << c.gap;
    EXPECT_NEAR(test::dot(test::cross(r, direction), test::cross(r, direction)), 0.0,
                1e-24);  // along the gap
  }
  EXPECT_EQ(detail::pinch_gap_residual(thumb, thumb), (Vec3{0, 0, 0}));
}

TEST(PinchOffsetFit, ThumbObjective) {
  EXPECT_EQ(detail::thumb_runtime_objective({}), 0.0);
  const std::vector<detail::PinchRuntimeMetrics> metrics{{10.0, 4.0, 6.0}, {20.0, 30.0, 10.0}};
  // solved max 30, mean 17; target mean 15, max 20; diff mean 8, max 10.
  const double expected = 0.95 * 30 + 1.9 * 17 + 1.15 * 15 + 0.45 * 20 + 0.55 * 8 + 0.2 * 10;
  EXPECT_NEAR(detail::thumb_runtime_objective(metrics), expected, 1e-12);
}

TEST(PinchOffsetFit, WorkingConfigurations) {
  Config config = bundled_config();
  config.set_vec3("tip_mapping.right.input_tip_offset_local.stale", {1, 2, 3});
  const std::string before = config.dump_yaml();
  const Config with =
      detail::config_with_input_tip_offsets(config, "right", {{"thumb", {0.001, 0.002, 0.003}}});
  EXPECT_EQ(config.dump_yaml(), before);
  EXPECT_EQ(with.size("tip_mapping.right.input_tip_offset_local"), 1u);
  EXPECT_EQ(with.numbers("tip_mapping.right.input_tip_offset_local.thumb"),
            (std::vector<double>{0.001, 0.002, 0.003}));

  Config bare = config;
  bare.remove("tip_mapping.right.pinch_model");
  bare.remove("joint_smoother");
  for (const Config& source : {config, bare}) {
    const Config prepared = detail::prepared_runtime_config(source, "right");
    EXPECT_FALSE(prepared.boolean("joint_smoother.enabled"));
    EXPECT_FALSE(prepared.boolean("solver.output_hold_when_stalled.enabled"));
    EXPECT_FALSE(TipMappingParameters::from_config(prepared, "right").pinch_enabled);
  }
}

TEST(PinchOffsetFit, NeedsEveryPinchStageOfTheFingerOrder) {
  const Config config = bundled_config();
  const TipMappingParameters params = TipMappingParameters::from_config(config, "right");
  const auto all = pinch_samples(config, {"close", "pinch_first", "pinch_middle"},
                                 {"five_close", "pinch_first", "pinch_middle"});
  struct Case {
    const char* name;
    std::vector<CalibrationStageSample> samples;
  };
  auto no_partner = all;
  no_partner[2].positions.erase("middle");
  auto no_rotations = all;
  no_rotations[1].rotations.clear();
  const std::vector<Case> cases = {
      {"no pinch stage", {all[0]}},      {"one of four pinch stages", {all[0], all[1]}},
      {"two of four pinch stages", all}, {"partner missing", no_partner},
      {"no rotations", no_rotations},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(detail::fit_input_tip_offsets_from_pinch(
                     config, c.samples, "right", params.input_tip_offset_local, params.finger_order, {})
                     .has_value())
        << c.name;
  }
}

TEST(PinchOffsetFit, StaysInTheBoxAndKeepsFrozenAxes) {
  Config config = bundled_config();
  config.set_strings("retargeting.finger_order", {"thumb", "first"});
  const Offsets start{
      {"thumb", {0.004, -0.002, 0.006}}, {"first", {-0.003, 0.001, 0.002}}, {"ring", {1, 2, 3}}};
  // The fingers held far apart ("open") while the pinch stage was captured: every target wants to move far.
  const auto samples = pinch_samples(config, {"pinch_first"}, {"open"});

  const auto free =
      detail::fit_input_tip_offsets_from_pinch(config, samples, "right", start, {"thumb", "first"}, {});
  ASSERT_TRUE(free.has_value());  // one stage expected, one captured
  EXPECT_EQ(free->at("ring"), start.at("ring"));
  const Vec3 box{0.025, 0.01, 0.025};
  for (const char* finger : {"thumb", "first"}) {
    for (int a = 0; a < 3; ++a) {
      EXPECT_LE(std::abs(free->at(finger)[a] - start.at(finger)[a]), box[a] + 1e-15) << finger << a;
    }
  }
  // The first finger is pulled far enough to reach the edge of its box across.
  EXPECT_DOUBLE_EQ(free->at("first")[1], start.at("first")[1] + 0.01);
  EXPECT_NE(free->at("first"), start.at("first"));
  EXPECT_NE(free->at("thumb"), start.at("thumb"));

  const FrozenAxes frozen{{"first", {0, 1, 2}}, {"thumb", {0, 2}}};
  const auto held =
      detail::fit_input_tip_offsets_from_pinch(config, samples, "right", start, {"thumb", "first"}, frozen);
  ASSERT_TRUE(held.has_value());
  EXPECT_EQ(held->at("first"), start.at("first"));
  EXPECT_EQ(held->at("thumb")[0], start.at("thumb")[0]);
  EXPECT_EQ(held->at("thumb")[2], start.at("thumb")[2]);
}

}  // namespace
}  // namespace kelto::hand
