// The single fits on exact synthetic data: stage aggregation, hand scale and palm offset, the base rotation
// that levels the glove plane, the close-stage yaw per finger, the dynamic palm offset and the pinch
// fingertip offsets; degenerate inputs give no value.
#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "calibration/base_calibration_fit.hpp"
#include "calibration/dynamic_palm_offset_fit.hpp"
#include "calibration/pinch_offset_fit.hpp"
#include "calibration/rotation_offset_fit.hpp"
#include "synthetic_user.hpp"

namespace kelto::hand {
namespace {

using test::mul;
using test::near;
using test::rot;
using test::Vec3;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kPi = 3.14159265358979323846;
const std::vector<std::string> kFingers{"thumb", "first", "middle", "ring", "little"};

TEST(CalibrationStage, MediansAndRotations) {
  using Frames = std::vector<std::map<std::string, CalibrationFingerFrame>>;
  auto median_of = [](const std::vector<double>& xs) {
    Frames frames;
    for (double x : xs) frames.push_back({{"first", {{x, -x, 2 * x}, rot(2, 0.0)}}});
    return aggregate_calibration_stage(frames, {"first"}).positions.at("first");
  };
  EXPECT_EQ(median_of({1, 4, 2, 3}), (Vec3{2.5, -2.5, 5}));  // axes are taken apart, not whole points
  // Lost samples (NaN) sort after every number: 0..19 and 5 NaNs have their middle at 12.
  std::vector<double> xs;
  for (int i = 19; i >= 0; --i) {
    xs.push_back(i);
    if (i % 4 == 0) xs.push_back(kNaN);
  }
  EXPECT_EQ(median_of(xs)[0], 12.0);
  // The trimmed mean of the bend angles sorts NaN last too: it drops -50, 1 and 100, NaN.
  EXPECT_DOUBLE_EQ(detail::trimmed_mean({3, kNaN, 1, 2, 100, -50, 4, 5, 6, 7}), 4.5);
  EXPECT_EQ(detail::trimmed_mean({}), 0.0);

  // Nearest rotation: a rotation is kept, a reflection turns proper.
  EXPECT_TRUE(near(project_rotation_matrix(rot(1, 0.7)), rot(1, 0.7), 1e-12));
  const auto proper = project_rotation_matrix({1, 0, 0, 0, 1, 0, 0, 0, -1});
  EXPECT_NEAR(test::determinant(proper), 1.0, 1e-12);
  EXPECT_TRUE(near(mul(test::transpose(proper), proper), test::kIdentity, 1e-12));

  // "mcp90" is also answered by the first "fist" or "mcp90_pip90" sample.
  std::vector<CalibrationStageSample> samples(3);
  const char* ids[] = {"open", "mcp90_pip90", "mcp90"};
  for (int i = 0; i < 3; ++i) samples[i].stage_id = ids[i];
  EXPECT_EQ(sample_by_stage(samples, "mcp90"), &samples[1]);
  EXPECT_EQ(sample_by_stage(samples, "close"), nullptr);
}

TEST(BaseCalibrationFit, RecoversScaleAndPalmOffset) {
  const test::Mat3 mapping = mul(rot(1, -kPi / 2), rot(0, 0.2));
  const Vec3 palm{0.012, -0.02, 0.091};
  // Observations whose robot targets are exactly scale * M * (p + R o) + palm.
  auto exact = [&](double scale, std::size_t count) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<CalibrationObservation> out(count);
    for (std::size_t i = 0; i < count; ++i) {
      CalibrationObservation& o = out[i];
      o.source_position = {0.08 * u(rng), 0.05 * u(rng), 0.03 * u(rng)};
      o.source_rotation = mul(rot(2, u(rng)), rot(0, u(rng)));
      o.input_tip_offset_local = {0.01 * u(rng), 0.0, -0.008 * u(rng)};
      const Vec3 h =
          mul(mapping, test::add(o.source_position, mul(o.source_rotation, o.input_tip_offset_local)));
      o.robot_target = test::add(test::scaled(h, scale), palm);
      o.weight = 0.5 + (i % 3);
    }
    return out;
  };
  for (const double scale : {0.87, 1.15}) {
    auto observations = exact(scale, 14);
    observations.push_back(observations[0]);  // a far outlier without weight
    observations.back().robot_target = {5.0, -3.0, 2.0};
    observations.back().weight = 0.0;
    // The scale base is added to the slope; a fixed scale replaces it and the palm follows it.
    const BaseCalibrationFit fit = fit_base_calibration(observations, mapping, 0.0, std::nullopt),
                             fixed = fit_base_calibration(observations, mapping, 0.1, scale);
    EXPECT_NEAR(fit.scale_delta, scale, 1e-12);
    EXPECT_NEAR(fit_base_calibration(observations, mapping, 0.1, std::nullopt).human_hand_scale, scale + 0.1,
                1e-12);
    EXPECT_TRUE(near(fit.palm_offset_local, palm, 1e-12));
    EXPECT_NEAR(fixed.scale_delta, scale, 1e-12);
    EXPECT_DOUBLE_EQ(fixed.human_hand_scale, scale);
    EXPECT_TRUE(near(fixed.palm_offset_local, palm, 1e-12));
  }
  // Degenerate: all weights zero gives slope 0 and no palm; one observation has no spread, so the palm
  // takes the whole target.
  auto zero = exact(1.0, 4);
  for (auto& o : zero) o.weight = 0.0;
  const BaseCalibrationFit none = fit_base_calibration(zero, mapping, 0.1, std::nullopt);
  EXPECT_EQ(std::make_tuple(none.scale_delta, none.human_hand_scale, none.palm_offset_local),
            std::make_tuple(0.0, 0.1, Vec3{0, 0, 0}));
  const auto single = exact(1.0, 1);
  const BaseCalibrationFit one = fit_base_calibration(single, mapping, 0.0, std::nullopt);
  EXPECT_EQ(one.scale_delta, 0.0);
  EXPECT_TRUE(near(one.palm_offset_local, single[0].robot_target, 1e-15));
}

// Open and close fingertips of a flat hand in the glove's x-y plane, seen through a glove tilted by
// `tilt`; the thumb lies far out of the plane and must not count.
std::vector<CalibrationStageSample> flat_stages(const test::Mat3& tilt) {
  CalibrationStageSample close, open;
  close.stage_id = "close";
  open.stage_id = "open";
  const char* names[] = {"first", "middle", "ring", "little"};
  for (int i = 0; i < 4; ++i) {
    open.positions[names[i]] = mul(tilt, Vec3{0.09 - 0.005 * i, 0.016 * (3 - 2 * i), 0.0});
    close.positions[names[i]] = mul(tilt, Vec3{0.085 - 0.004 * i, 0.007 * (3 - 2 * i), 0.0});
  }
  open.positions["thumb"] = mul(tilt, Vec3{0.02, 0.05, 0.06});
  close.positions["thumb"] = mul(tilt, Vec3{0.03, 0.04, -0.05});
  return {close, open};
}

TEST(RotationOffsetFit, LevelsATiltedGlovePlane) {
  for (const auto& tilt : {rot(0, 0.3), rot(1, -0.45), mul(rot(0, 0.2), rot(1, 0.25)), rot(2, 0.4)}) {
    const auto offset = fit_input_base_rotation_offset_from_open_close(flat_stages(tilt), kFingers);
    ASSERT_TRUE(offset.has_value());
    EXPECT_TRUE(near(mul(*offset, mul(tilt, Vec3{0, 0, 1})), Vec3{0, 0, 1}, 1e-12));  // normal onto +z
    EXPECT_NEAR(mul(*offset, mul(tilt, Vec3{0.07, -0.02, 0}))[2], 0.0, 1e-12);        // the plane level
  }
  // The smallest such rotation: a level plane needs none, a tilt about x is undone exactly.
  EXPECT_TRUE(near(*fit_input_base_rotation_offset_from_open_close(flat_stages(rot(2, 0.4)), kFingers),
                   rot(2, 0.0), 1e-12));
  EXPECT_TRUE(near(*fit_input_base_rotation_offset_from_open_close(flat_stages(rot(0, 0.3)), kFingers),
                   rot(0, -0.3), 1e-12));

  const auto level = flat_stages(rot(0, 0.3));
  auto missing = level, line = level, zero = level, nan = level;
  missing[0].positions.erase("ring");
  missing[0].positions.erase("little");
  double i = 1.0;
  for (auto& sample : line)
    for (auto& [finger, p] : sample.positions) p = test::scaled({0.01, 0.02, 0.005}, i++);
  for (auto& sample : zero)
    for (auto& [finger, p] : sample.positions) p = {0, 0, 0};
  nan[1].positions["middle"][1] = kNaN;
  const std::vector<std::pair<const char*, std::vector<CalibrationStageSample>>> none{
      {"no open stage", {level[0]}},
      {"two fingers missing in one stage", missing},
      {"tips on a line", line},
      {"all tips at the origin", zero},
      {"non-finite tip", nan}};
  for (const auto& [name, samples] : none)
    EXPECT_FALSE(fit_input_base_rotation_offset_from_open_close(samples, kFingers).has_value()) << name;
  EXPECT_FALSE(
      fit_input_base_rotation_offset_from_open_close(level, {"thumb", "first", "middle"}).has_value());
}

TEST(RotationOffsetFit, CloseStageYawPerFinger) {
  const std::map<std::string, double> yaw{{"first", 0.2}, {"middle", -0.35}, {"ring", 1.1}, {"little", -2.0}};
  AggregatedCalibrationStage close;
  for (const auto& [finger, angle] : yaw) close.rotations[finger] = mul(rot(0, 0.3), rot(2, angle));
  close.rotations["thumb"] = rot(2, 0.7);
  const std::map<std::string, test::Mat3> current{{"first", rot(1, 0.5)}, {"thumb", rot(1, 0.1)}};
  const auto offsets = fit_input_tip_rotation_offsets_from_close(close, kFingers, current, rot(0, -0.3));
  ASSERT_TRUE(offsets.has_value());
  EXPECT_EQ(offsets->size(), 4u);  // no thumb entry
  for (const auto& [finger, angle] : yaw)
    EXPECT_TRUE(near(offsets->at(finger), rot(2, -angle), 1e-12)) << finger;

  // A tip whose z runs along the glove x has no yaw to read; fingers without data keep their offsets.
  close.rotations = {{"first", rot(1, kPi / 2)}, {"middle", rot(2, 0.3)}};
  const auto partial =
      fit_input_tip_rotation_offsets_from_close(close, kFingers, {{"ring", rot(0, 0.2)}}, rot(0, 0));
  ASSERT_TRUE(partial.has_value());
  EXPECT_TRUE(near(partial->at("first"), rot(0, 0.0), 1e-12));
  EXPECT_TRUE(near(partial->at("middle"), rot(2, -0.3), 1e-12));
  EXPECT_TRUE(near(partial->at("ring"), rot(0, 0.2), 1e-12));
  close.rotations.erase("middle");
  EXPECT_FALSE(fit_input_tip_rotation_offsets_from_close(close, kFingers, current, rot(0, 0)).has_value());
}

// A stage sample whose fingers' glove tips lie `deg` degrees above the glove's x-y plane, 8 cm out, with
// robot targets that put the palm at height `z` at scale 1 (mapping: robot z is glove x).
CalibrationStageSample bend_sample(const std::string& id, double weight,
                                   const std::vector<std::string>& fingers, double deg, double z) {
  CalibrationStageSample s{id, {}, {}, {}, fingers, weight};
  for (const std::string& f : fingers) {
    s.positions[f] = {0.08 * std::cos(deg * kPi / 180), 0.0, 0.08 * std::sin(deg * kPi / 180)};
    s.rotations[f] = rot(2, 0.0);
    s.robot_targets[f] = {0.0, 0.0, z + s.positions[f][0]};
  }
  return s;
}

std::optional<DynamicPalmFit> palm_fit(const std::vector<CalibrationStageSample>& samples) {
  return fit_dynamic_palm_offset(samples, {"thumb", "first", "middle"}, {0, 0, -1, 0, 1, 0, 1, 0, 0}, {}, 1.0,
                                 {0.004, -0.006, 0.09});
}

TEST(DynamicPalmFit, HeightsJointCircleAndTooLittleData) {
  // Flat height: weighted mean of close and open + 1.4 cm; bent: bent stage - 2.4 cm, not below flat - 2.5.
  const std::vector<std::string> hand{"thumb", "first", "middle"}, both{"first", "middle"};
  for (const auto& [close_w, open_w, bent_z, flat, bent] :
       std::vector<std::tuple<double, double, double, double, double>>{
           {3.0, 0.5, 0.13, (0.3 + 0.1) / 3.5 + 0.014, 0.106},
           {-3.0, 0.5, 0.12, 0.214, 0.189},
           {0.0, -1.0, 0.12, 0.164, 0.139}}) {
    const auto result =
        palm_fit({bend_sample("close", close_w, hand, 5, 0.1),
                  bend_sample("pinch_first", 1.0, {"first"}, 0, 5.0),  // neither flat nor bent
                  bend_sample("open", open_w, hand, 15, 0.2), bend_sample("fist", 4.0, both, 60, bent_z)});
    ASSERT_TRUE(result.has_value());
    EXPECT_NEAR(result->flat_z, flat, 1e-12) << close_w;
    EXPECT_NEAR(result->bent_z, bent, 1e-12) << close_w;
    EXPECT_EQ(result->fingers, both);
    EXPECT_TRUE(near(result->palm_offset_local, Vec3{0.004, -0.006, flat - 0.01}, 1e-12));
  }
  // The joint circle through the close, open and mcp90 tips of a finger moving in a plane.
  const Vec3 centre{0.07, 0.02, -0.01}, e1{std::cos(0.2), std::sin(0.2), 0.0}, e2{0.0, 0.0, 1.0};
  auto point = [&](double deg) {
    return test::add(centre, test::add(test::scaled(e1, 0.045 * std::cos(deg * kPi / 180)),
                                       test::scaled(e2, 0.045 * std::sin(deg * kPi / 180))));
  };
  std::vector<CalibrationStageSample> stages{bend_sample("close", 3, {"first"}, 0, 0.1),
                                             bend_sample("open", 0.5, {"first"}, 0, 0.1),
                                             bend_sample("mcp90", 4, {"first"}, 0, 0.1)};
  const double degrees[] = {-5, 10, -95};
  for (int k = 0; k < 3; ++k) stages[k].positions["first"] = point(degrees[k]);
  const auto circle = palm_fit(stages);
  ASSERT_TRUE(circle.has_value());
  EXPECT_TRUE(near(circle->mcp_joint_position.at("first"), centre, 1e-12));
  EXPECT_TRUE(near(circle->mcp90_reference_vector.at("first"), test::sub(point(-95), centre), 1e-12));
  // Oriented as (mcp90 - joint) x (flat midpoint - joint).
  EXPECT_TRUE(near(circle->mcp_motion_plane_normal.at("first"), test::cross(e1, e2), 1e-12));

  // Too little data: no flat or no bent stage, or only the thumb bent.
  const auto close = bend_sample("close", 1.0, {"first"}, 0, 0.1),
             fist = bend_sample("fist", 1.0, {"first"}, 40, 0.1);
  EXPECT_FALSE(palm_fit({}).has_value());
  EXPECT_FALSE(palm_fit({close, bend_sample("open", 1.0, {"first"}, 0, 0.1)}).has_value());
  EXPECT_FALSE(palm_fit({fist}).has_value());
  EXPECT_FALSE(palm_fit({close, bend_sample("mcp90", 1.0, {"thumb"}, 40, 0.1)}).has_value());
  EXPECT_TRUE(palm_fit({close, fist}).has_value());
}

TEST(PinchOffsetFit, WorkingConfigurationNeededStagesAndBox) {
  // Candidates are judged with the pinch model off, also when the configuration does not name it (it is on
  // by default): see below for why.
  Config config = Config::load(test::bundled_hand_config(), "", "right");
  Config bare = config;
  bare.remove("tip_mapping.right.pinch_model");
  bare.remove("joint_smoother");
  for (const Config& source : {config, bare}) {
    const Config prepared = detail::prepared_runtime_config(source, "right");
    EXPECT_FALSE(prepared.boolean("joint_smoother.enabled"));
    EXPECT_FALSE(prepared.boolean("solver.output_hold_when_stalled.enabled"));
    EXPECT_FALSE(TipMappingParameters::from_config(prepared, "right").pinch_enabled);
  }

  // Glove frames from a glove that fits the configuration, the hand holding `poses[i]` for stage i.
  auto samples = [&](const std::vector<std::string>& ids, const std::vector<std::string>& poses) {
    PinocchioHandKinematics kinematics(config, "right");
    synthetic::SyntheticGlove glove(TipMappingParameters::from_config(config, "right"));
    std::vector<CalibrationStageSample> out(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
      out[i].stage_id = ids[i];
      for (const auto& [finger, pose] :
           glove.frame_from_active(kinematics, kinematics.pose_active(poses[i])).local_tips) {
        out[i].positions[finger] = pose.position;
        out[i].rotations[finger] = pose.rotation;
      }
    }
    return out;
  };
  auto fit = [&](const std::vector<CalibrationStageSample>& s, const std::map<std::string, Vec3>& start,
                 const std::vector<std::string>& order) {
    return detail::fit_input_tip_offsets_from_pinch(config, s, "right", start, order, {});
  };
  // The pinch model keeps the targets, but pulls the solved thumb and partner together by itself: with it,
  // the solved gap would no longer tell one thumb offset from another. Here the glove's first tip is held
  // 1 cm beside the thumb's.
  const CalibrationStageSample held = samples({"pinch_first"}, {"pinch_first"})[0];
  detail::PinchFrame pinch;
  for (const auto& [finger, position] : held.positions) pinch[finger] = {position, held.rotations.at(finger)};
  pinch["first"].position[0] += 0.01;
  const auto gaps = [&](const Config& c) {
    PinocchioHandKinematics kinematics(c, "right");
    PinocchioGNSolver solver(kinematics, c);
    const std::vector<double> rest = kinematics.q_rest_active();
    const HandKinematicsState state = kinematics.state_from_active(rest);
    const RetargetTargetFrame target = build_tip_target_frame(
        detail::pinch_feature_frame("right", "pinch_first", pinch), state.wrist_position,
        TipMappingParameters::from_config(c, "right"), state.wrist_rotation);
    const HandKinematicsState solved =
        kinematics.state_from_active(solver.solve(target, rest, std::nullopt).q);
    const auto gap = [](const std::map<std::string, Vec3>& tips) {
      return test::distance(tips.at("first"), tips.at("thumb"));
    };
    return std::make_pair(gap(target.target_positions_world), gap(solved.tip_positions_world));
  };
  const Config off = detail::prepared_runtime_config(config, "right");
  Config on = off;
  on.set_boolean("tip_mapping.right.pinch_model.enabled", true);
  const auto [target_off, solved_off] = gaps(off);
  const auto [target_on, solved_on] = gaps(on);
  EXPECT_EQ(target_on, target_off);
  EXPECT_LT(solved_on, solved_off - 0.003);  // about 4 mm against 8.5 mm

  // None unless every pinch stage of the finger order is captured with partner positions and rotations.
  const auto all =
      samples({"close", "pinch_first", "pinch_middle"}, {"five_close", "pinch_first", "pinch_middle"});
  auto no_partner = all, no_rotations = all;
  no_partner[2].positions.erase("middle");
  no_rotations[1].rotations.clear();
  for (const auto& s : {std::vector<CalibrationStageSample>{all[0]}, all, no_partner, no_rotations})
    EXPECT_FALSE(fit(s, {}, kFingers).has_value()) << s.size();

  // Fingers held far apart during the pinch: every target wants to move far, but stays in its box (frozen
  // axes: see the synthetic user end to end).
  config.set_strings("retargeting.finger_order", {"thumb", "first"});
  const std::map<std::string, Vec3> start{
      {"thumb", {0.004, -0.002, 0.006}}, {"first", {-0.003, 0.001, 0.002}}, {"ring", {1, 2, 3}}};
  const auto apart = samples({"pinch_first"}, {"open"});
  const auto free = fit(apart, start, {"thumb", "first"});
  ASSERT_TRUE(free.has_value());
  EXPECT_EQ(free->at("ring"), start.at("ring"));
  for (const char* finger : {"thumb", "first"}) {
    EXPECT_NE(free->at(finger), start.at(finger));
    EXPECT_TRUE(near(test::sub(free->at(finger), start.at(finger)), {0, 0, 0}, 0.025 + 1e-15)) << finger;
    EXPECT_LE(std::abs(free->at(finger)[1] - start.at(finger)[1]), 0.01 + 1e-15) << finger;
  }
  EXPECT_DOUBLE_EQ(free->at("first")[1], start.at("first")[1] + 0.01);  // pulled to the edge of its box
}

}  // namespace
}  // namespace kelto::hand
