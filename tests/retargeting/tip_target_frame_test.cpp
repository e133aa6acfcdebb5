#include "retargeting/tip_target_frame.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "retargeting_test_support.hpp"

namespace kelto::hand {
namespace {

using test::expect_error;
using test::tip_config;
using Vec3 = std::array<double, 3>;

const std::array<double, 9> kIdentity{1, 0, 0, 0, 1, 0, 0, 0, 1};

// A glove frame with identity tip rotations at the given glove positions.
GloveFeatureFrame glove(const std::map<std::string, Vec3>& positions) {
  GloveFeatureFrame frame;
  frame.source = "test";
  frame.timestamp_s = 2.5;
  for (const auto& [finger, p] : positions) frame.local_tips[finger] = Pose{p, kIdentity};
  return frame;
}

// Fingers spread far apart so that no refinement reacts to them.
std::map<std::string, Vec3> open_hand() {
  return {{"thumb", {0.0, 0.0, 0.0}},
          {"first", {0.1, 0.0, 0.0}},
          {"middle", {0.1, 0.1, 0.0}},
          {"ring", {0.1, 0.2, 0.0}},
          {"little", {0.1, 0.3, 0.0}}};
}

double number(const RetargetTargetFrame& frame, const std::string& key) {
  return std::get<double>(frame.diagnostics.at(key));
}
std::string text(const RetargetTargetFrame& frame, const std::string& key) {
  return std::get<std::string>(frame.diagnostics.at(key));
}

void expect_near(const Vec3& a, const Vec3& b, double tol = 1e-12) {
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(a[i], b[i], tol) << "component " << i;
}

TEST(TipTargetFrame, BaseMappingWithoutRefinements) {
  const TipMappingParameters p = TipMappingParameters::from_config(
      tip_config("    human_hand_scale: 2.0\n    palm_offset_local: [0.01, 0.02, 0.03]\n"
                 "    input_tip_offset_local: {first: [0, 0, 0.01]}\n"
                 "    pinch_model: {enabled: false}\n"),
      "right");
  GloveFeatureFrame g = glove(open_hand());
  // Rotate the first finger's tip by 90 degrees about z; its offset then moves along its own z.
  g.local_tips["first"].rotation = {0, -1, 0, 1, 0, 0, 0, 0, 1};
  const Vec3 origin{1.0, 2.0, 3.0};
  const std::array<double, 9> wrist{0, -1, 0, 1, 0, 0, 0, 0, 1};
  const RetargetTargetFrame t = build_tip_target_frame(g, origin, p, wrist);

  // M = [[0,0,-1],[0,1,0],[1,0,0]]: glove (x, y, z) goes to (-z, y, x).
  expect_near(t.human_tip_positions.at("first"), {-0.01, 0.0, 0.1});
  expect_near(t.target_positions.at("first"), {0.01 - 0.02, 0.02, 0.03 + 0.2});
  expect_near(t.target_positions.at("ring"), {0.01, 0.02 + 0.4, 0.03 + 0.2});
  expect_near(t.target_positions_world.at("ring"), {1.0 - 0.42, 2.0 + 0.01, 3.0 + 0.23});
  // Tip rotation of "first": x axis (0,1,0) -> (0,1,0); z axis (0,0,1) -> (-1,0,0).
  const std::array<double, 9>& R = t.target_rotations.at("first");
  expect_near({R[0], R[3], R[6]}, {0, 1, 0});
  expect_near({R[2], R[5], R[8]}, {-1, 0, 0});
  for (const auto& [finger, w] : t.shape_weights) EXPECT_EQ(w, 1.0) << finger;
  for (const auto& [finger, w] : t.orientation_weights) EXPECT_EQ(w, 1.0) << finger;
  EXPECT_TRUE(t.pinch_vectors.empty());
  EXPECT_EQ(t.source, "test");
  EXPECT_EQ(t.timestamp_s, 2.5);
  expect_near(t.reference_points.at("human_palm_origin"), {1.0 - 0.02, 2.01, 3.03});
  EXPECT_EQ(text(t, "pipeline"), "pinocchio_generic_retargeting");
  EXPECT_EQ(number(t, "pinch_closest_distance_m"), -1.0);
  EXPECT_EQ(text(t, "pinch_strongest_partner"), "");
}

TEST(TipTargetFrame, MissingFingerIsAnOutOfRangeError) {
  const TipMappingParameters p = TipMappingParameters::from_config(tip_config(), "right");
  std::map<std::string, Vec3> tips = open_hand();
  tips.erase("ring");
  expect_error<std::out_of_range>([&] { build_tip_target_frame(glove(tips), {}, p, kIdentity); },
                                  "map::at:  key not found");
}

TEST(TipTargetFrame, PinchReachBranchesAndPartners) {
  const TipMappingParameters p = TipMappingParameters::from_config(
      tip_config("    human_hand_scale: 1.5\n    pinch_model: {contact_distance_m: 0.002, "
                 "thumb_compensation_weight: 0.5}\n"),
      "right");
  // Distances from the thumb along glove z (robot x after M): first 5 mm (inside epsilon2), middle 30 mm
  // (exactly epsilon1), ring 20 mm (between), little 5 mm (ties with first).
  const RetargetTargetFrame t = build_tip_target_frame(glove({{"thumb", {0, 0, 0}},
                                                              {"first", {0, 0, 0.005}},
                                                              {"middle", {0, 0, 0.03}},
                                                              {"ring", {0, 0, 0.02}},
                                                              {"little", {0, 0, 0.005}}}),
                                                       {}, p, kIdentity);
  expect_near(t.pinch_vectors.at("first"), {-1.5 * 0.002, 0, 0});         // reach 0, contact distance
  expect_near(t.pinch_vectors.at("middle"), {-1.5 * 0.03, 0, 0}, 1e-15);  // branches meet at epsilon1
  expect_near(t.pinch_vectors.at("ring"), {-1.5 * 0.015, 0, 0}, 1e-15);   // (d - e2) e1 / (e1 - e2)
  EXPECT_DOUBLE_EQ(t.pinch_weights.at("middle"), 0.5);
  const double w_first = 1.0 / (1.0 + std::exp(50.0 * (0.005 - 0.03)));
  EXPECT_DOUBLE_EQ(t.pinch_weights.at("first"), w_first);
  EXPECT_DOUBLE_EQ(t.shape_weights.at("first"), 1.0 - w_first);
  EXPECT_DOUBLE_EQ(t.shape_weights.at("thumb"), 1.0 - 0.5 * w_first);
  EXPECT_EQ(text(t, "pinch_closest_partner"), "first");
  EXPECT_EQ(text(t, "pinch_strongest_partner"), "first");
  EXPECT_DOUBLE_EQ(number(t, "pinch_closest_distance_m"), 0.005);
  EXPECT_DOUBLE_EQ(number(t, "pinch_distance_m_ring"), 0.02);

  // Far apart, the switch saturates: the exponent is clamped at 60.
  const RetargetTargetFrame far = build_tip_target_frame(glove({{"thumb", {0, 0, 0}},
                                                                {"first", {0, 0, 2.0}},
                                                                {"middle", {0, 0, 3.0}},
                                                                {"ring", {0, 0, 4.0}},
                                                                {"little", {0, 0, 5.0}}}),
                                                         {}, p, kIdentity);
  EXPECT_DOUBLE_EQ(far.pinch_weights.at("first"), 1.0 / (1.0 + std::exp(60.0)));
}

TEST(TipTargetFrame, TripodClosesTheTwoFingersOnTheirMidpoint) {
  const TipMappingParameters p = TipMappingParameters::from_config(
      tip_config("    pinch_model: {enabled: false}\n    tripod_pinch: {enabled: true, alignment_axis: y}\n"),
      "right");
  // Thumb, first and middle all within a few millimetres: w is close to 1.
  const RetargetTargetFrame t = build_tip_target_frame(glove({{"thumb", {0, 0, 0}},
                                                              {"first", {0.0, 0.002, 0.004}},
                                                              {"middle", {0.0, -0.002, 0.002}},
                                                              {"ring", {0.1, 0.2, 0}},
                                                              {"little", {0.1, 0.3, 0}}}),
                                                       {}, p, kIdentity);
  const double w = number(t, "tripod_pinch_weight");
  const auto sig = [](double d) { return 1.0 / (1.0 + std::exp(50.0 * (d - 0.03))); };
  EXPECT_DOUBLE_EQ(w, std::min(sig(std::sqrt(2e-5)), sig(std::sqrt(8e-6))));
  // Robot coordinates: first (-0.004, 0.002, 0), middle (-0.002, -0.002, 0), midpoint (-0.003, 0, 0).
  expect_near(t.human_tip_positions.at("first"), {(1 - w) * -0.004 + w * -0.003, 0.002, 0.0});
  expect_near(t.human_tip_positions.at("middle"), {(1 - w) * -0.002 + w * -0.003, -0.002, 0.0});
  expect_near(t.human_tip_positions.at("thumb"), {w * -0.003, 0.0, 0.0});
}

TEST(TipTargetFrame, ThumbAdductionFadesBetweenOpenAndClose) {
  struct Case {
    double driver;
    bool applied;
    double alpha;
  };
  const std::vector<Case> cases = {{0.0697, true, 1.0}, {0.1062, true, 0.0}, {0.09, true, 0.4438356164383562},
                                   {0.12, false, 0.0},  {0.0647, true, 0.5}, {0.0590, false, 0.0}};
  const TipMappingParameters p = TipMappingParameters::from_config(
      tip_config("    pinch_model: {enabled: false}\n"
                 "    dynamic_thumb_adduction_offset:\n"
                 "      {enabled: true, open_bias_local: [0, 0, 0.01], close_bias_local: [0.02, 0, 0]}\n"),
      "right");
  for (const Case& c : cases) {
    std::map<std::string, Vec3> tips = open_hand();
    tips["thumb"] = {0.0, c.driver, 0.0};
    const RetargetTargetFrame t = build_tip_target_frame(glove(tips), {}, p, kIdentity);
    const Vec3 unbiased{0.0, c.driver, 0.0};  // M maps (0, y, 0) to itself
    if (!c.applied) {
      EXPECT_EQ(t.diagnostics.count("dynamic_thumb_adduction_alpha"), 0u) << c.driver;
      expect_near(t.target_positions.at("thumb"), unbiased);
      continue;
    }
    const double alpha = number(t, "dynamic_thumb_adduction_alpha");
    EXPECT_NEAR(alpha, c.alpha, 1e-12) << c.driver;
    const double open_share = c.driver < 0.0697 ? 0.0 : 1.0 - alpha;
    expect_near(t.target_positions.at("thumb"), {0.02 * alpha, c.driver, 0.01 * open_share});
  }
  // Equal driver values: nothing to interpolate.
  TipMappingParameters same = p;
  same.dynamic_thumb_adduction_open_driver_value = same.dynamic_thumb_adduction_close_driver_value;
  const RetargetTargetFrame t = build_tip_target_frame(glove(open_hand()), {}, same, kIdentity);
  EXPECT_EQ(t.diagnostics.count("dynamic_thumb_adduction_alpha"), 0u);
}

TEST(TipTargetFrame, SideTouchPicksTheFirstOfEqualCandidates) {
  const TipMappingParameters p = TipMappingParameters::from_config(
      tip_config(
          "    pinch_model: {enabled: false}\n"
          "    side_touch_plane_constraint:\n"
          "      enabled: true\n"
          "      fingers: [ring, middle]\n"
          "      planes:\n"
          "        middle: {human_point: [0, 0, -0.006], human_normal: [0, 0, 2], robot_normal: [1, 0, 0]}\n"
          "        ring: {human_point: [0, 0, 0.006], human_normal: [0, 0, 1], robot_normal: [1, 0, 0],\n"
          "               robot_point: [0.001, 0, 0]}\n"),
      "right");
  // Bent fingers (tips along glove z) pass the MCP trigger; the thumb sits 6 mm from both planes.
  const RetargetTargetFrame t = build_tip_target_frame(glove({{"thumb", {0, 0, 0}},
                                                              {"first", {0, 0, 0.1}},
                                                              {"middle", {0, 0.02, 0.1}},
                                                              {"ring", {0, 0.04, 0.1}},
                                                              {"little", {0, 0.06, 0.1}}}),
                                                       {}, p, kIdentity);
  EXPECT_EQ(text(t, "side_touch_plane_partner"), "ring");
  EXPECT_DOUBLE_EQ(number(t, "side_touch_human_distance_m"), -0.006);
  EXPECT_DOUBLE_EQ(number(t, "side_touch_plane_alpha"), 0.5);
  EXPECT_DOUBLE_EQ(number(t, "side_touch_mcp_angle_deg"), 65.0);
  // d < 0 flips the clearance: thumb x moves by 0.5 * (-0.006 - (0 - 0.001)).
  expect_near(t.target_positions.at("thumb"), {0.5 * (-0.006 + 0.001), 0, 0});
}

TEST(TipTargetFrame, DynamicPalmHeightFollowsTheBend) {
  const TipMappingParameters p = TipMappingParameters::from_config(
      tip_config("    pinch_model: {enabled: false}\n"
                 "    dynamic_palm_offset_by_finger_plane: {enabled: true, fingers: [first, middle]}\n"),
      "right");
  // first: straight along glove x (no bend, flat height); middle: 30 degrees out of the x-y plane.
  std::map<std::string, Vec3> tips = open_hand();
  tips["middle"] = {std::cos(M_PI / 6), 0.0, std::sin(M_PI / 6)};
  const RetargetTargetFrame t = build_tip_target_frame(glove(tips), {}, p, kIdentity);
  EXPECT_DOUBLE_EQ(t.target_positions.at("first")[2], 0.11261015 + 0.1);
  const double r = 30.0 / 65.0;
  EXPECT_NEAR(number(t, "dynamic_palm_z_middle"), (1 - r) * 0.11261015 + r * 0.07261015, 1e-12);
  EXPECT_EQ(t.diagnostics.count("dynamic_palm_z_ring"), 0u);
  EXPECT_EQ(t.target_positions.at("ring")[2], 0.1);
}

TEST(FingerBendAngle, ReferenceDirectionAndPlaneNormal) {
  TipMappingParameters p;
  const std::map<std::string, Vec3> tips{{"first", {0, 0, -0.05}}};
  EXPECT_DOUBLE_EQ(finger_bend_angle_deg("first", tips, p, 65.0), 65.0);  // 90 degrees clamped
  p.mcp_joint_position["first"] = {0, 0, 0};
  p.mcp90_reference_vector["first"] = {0, 0, -1};
  EXPECT_DOUBLE_EQ(finger_bend_angle_deg("first", tips, p, 65.0), 65.0);  // at the reference
  const std::map<std::string, Vec3> straight{{"first", {1, 0, 0}}};
  EXPECT_DOUBLE_EQ(finger_bend_angle_deg("first", straight, p, 65.0), 0.0);  // 90 degrees away
  p.mcp_motion_plane_normal["first"] = {0, 1, 0};
  // Turning from the reference about +y counts positively; turning the other way by less than A is still
  // a full bend.
  const std::map<std::string, Vec3> positive{{"first", {-std::sin(0.2), 0, -std::cos(0.2)}}};
  const double a = 0.2 * 180.0 / M_PI;
  EXPECT_NEAR(finger_bend_angle_deg("first", positive, p, 65.0), 65.0 - a, 1e-9);
  const std::map<std::string, Vec3> negative{{"first", {std::sin(0.2), 0, -std::cos(0.2)}}};
  EXPECT_DOUBLE_EQ(finger_bend_angle_deg("first", negative, p, 65.0), 65.0);
  const std::map<std::string, Vec3> beyond{{"first", {0, 0, 1}}};  // 180 degrees away
  EXPECT_DOUBLE_EQ(finger_bend_angle_deg("first", beyond, p, 65.0), 0.0);
  EXPECT_THROW(finger_bend_angle_deg("ring", tips, p, 65.0), std::out_of_range);
}

}  // namespace
}  // namespace kelto::hand
