// Fingertip targets from a glove frame: the base mapping, the pinch reach branches and partners, the thumb
// adduction fade, the side-touch partner, the dynamic palm height and the finger bend angle. (The synthetic
// glove's inverse mapping is exercised by the solver round trips and the calibrated synthetic user.)
#include "retargeting/tip_target_frame.hpp"

#include <gtest/gtest.h>

#include "retargeting_test_support.hpp"

namespace kelto::hand {
namespace {

using test::kIdentity;
using test::tip_config;
using test::Vec3;

using Tips = std::array<Vec3, 5>;  // thumb, first, middle, ring, little
const Tips kOpen{{{0, 0, 0}, {0.1, 0, 0}, {0.1, 0.1, 0}, {0.1, 0.2, 0}, {0.1, 0.3, 0}}};  // nothing reacts

// A glove frame with identity tip rotations at the given glove positions.
GloveFeatureFrame glove(const Tips& tips = kOpen) {
  GloveFeatureFrame frame;
  const char* fingers[] = {"thumb", "first", "middle", "ring", "little"};
  for (int i = 0; i < 5; ++i) frame.local_tips[fingers[i]] = Pose{tips[i], kIdentity};
  return frame;
}
RetargetTargetFrame targets(const GloveFeatureFrame& frame, const std::string& right_body) {
  return build_tip_target_frame(frame, {}, TipMappingParameters::from_config(tip_config(right_body), "right"),
                                kIdentity);
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
                 "    input_tip_offset_local: {first: [0, 0, 0.01]}\n    pinch_model: {enabled: false}\n"),
      "right");
  GloveFeatureFrame g = glove();
  g.local_tips["first"].rotation = test::rot(2, M_PI / 2);  // its offset then moves along its own z
  const RetargetTargetFrame t = build_tip_target_frame(g, {1.0, 2.0, 3.0}, p, test::rot(2, M_PI / 2));
  // M = [[0,0,-1],[0,1,0],[1,0,0]]: glove (x, y, z) goes to (-z, y, x).
  expect_near(t.target_positions.at("first"), {0.01 - 0.02, 0.02, 0.03 + 0.2});
  expect_near(t.target_positions_world.at("ring"), {1.0 - 0.42, 2.0 + 0.01, 3.0 + 0.23});
  expect_near(test::column(t.target_rotations.at("first"), 2), {-1, 0, 0});
  EXPECT_TRUE(t.pinch_vectors.empty());
  EXPECT_EQ(number(t, "pinch_closest_distance_m"), -1.0);
}

TEST(TipTargetFrame, PinchReachBranchesAndPartners) {
  const std::string pinch =
      "    human_hand_scale: 1.5\n    pinch_model: {contact_distance_m: 0.002, thumb_compensation_weight: "
      "0.5}\n";
  // first 5 mm (inside epsilon2), middle 30 mm (exactly epsilon1), ring 20 mm (between), little 5 mm (ties
  // with first, which comes first).
  const RetargetTargetFrame t =
      targets(glove({{{0, 0, 0}, {0, 0, 0.005}, {0, 0, 0.03}, {0, 0, 0.02}, {0, 0, 0.005}}}), pinch);
  expect_near(t.pinch_vectors.at("first"), {-1.5 * 0.002, 0, 0});         // reach 0: the contact distance
  expect_near(t.pinch_vectors.at("middle"), {-1.5 * 0.03, 0, 0}, 1e-15);  // the branches meet at epsilon1
  expect_near(t.pinch_vectors.at("ring"), {-1.5 * 0.015, 0, 0}, 1e-15);   // (d - e2) e1 / (e1 - e2)
  EXPECT_DOUBLE_EQ(t.pinch_weights.at("middle"), 0.5);
  const double w_first = 1.0 / (1.0 + std::exp(50.0 * (0.005 - 0.03)));
  EXPECT_DOUBLE_EQ(t.pinch_weights.at("first"), w_first);
  EXPECT_DOUBLE_EQ(t.shape_weights.at("first"), 1.0 - w_first);
  EXPECT_DOUBLE_EQ(t.shape_weights.at("thumb"), 1.0 - 0.5 * w_first);
  EXPECT_EQ(text(t, "pinch_closest_partner") + text(t, "pinch_strongest_partner"), "firstfirst");
  // Far apart the switch saturates: its exponent is clamped at 60.
  EXPECT_DOUBLE_EQ(targets(glove({{{0, 0, 0}, {0, 0, 2}, {0, 0, 3}, {0, 0, 4}, {0, 0, 5}}}), pinch)
                       .pinch_weights.at("first"),
                   1.0 / (1.0 + std::exp(60.0)));
}

TEST(TipTargetFrame, ThumbAdductionFadesBetweenOpenAndClose) {
  const std::string body =
      "    pinch_model: {enabled: false}\n"
      "    dynamic_thumb_adduction_offset:\n"
      "      {enabled: true, open_bias_local: [0, 0, 0.01], close_bias_local: [0.02, 0, 0]}\n";
  struct Case {
    double driver;  // the thumb's glove y
    bool applied;
    double alpha;
  };
  for (const Case& c :
       {Case{0.0697, true, 1.0}, Case{0.1062, true, 0.0}, Case{0.09, true, 0.4438356164383562},
        Case{0.12, false, 0.0}, Case{0.0647, true, 0.5}, Case{0.0590, false, 0.0}}) {
    GloveFeatureFrame frame = glove();
    frame.local_tips["thumb"].position = {0.0, c.driver, 0.0};  // M maps (0, y, 0) to itself
    const RetargetTargetFrame t = targets(frame, body);
    EXPECT_EQ(t.diagnostics.count("dynamic_thumb_adduction_alpha"), c.applied ? 1u : 0u) << c.driver;
    const double alpha = c.applied ? number(t, "dynamic_thumb_adduction_alpha") : 0.0;
    EXPECT_NEAR(alpha, c.alpha, 1e-12) << c.driver;
    const double open_share = !c.applied || c.driver < 0.0697 ? 0.0 : 1.0 - alpha;
    expect_near(t.target_positions.at("thumb"), {0.02 * alpha, c.driver, 0.01 * open_share});
  }
  // Equal driver values: nothing to interpolate.
  TipMappingParameters same = TipMappingParameters::from_config(tip_config(body), "right");
  same.dynamic_thumb_adduction_open_driver_value = same.dynamic_thumb_adduction_close_driver_value;
  EXPECT_EQ(
      build_tip_target_frame(glove(), {}, same, kIdentity).diagnostics.count("dynamic_thumb_adduction_alpha"),
      0u);
}

TEST(TipTargetFrame, SideTouchPicksTheFirstOfEqualCandidates) {
  // Bent fingers (tips along glove z) pass the MCP trigger; the thumb sits 6 mm from both planes.
  const RetargetTargetFrame t = targets(
      glove({{{0, 0, 0}, {0, 0, 0.1}, {0, 0.02, 0.1}, {0, 0.04, 0.1}, {0, 0.06, 0.1}}}),
      "    pinch_model: {enabled: false}\n"
      "    side_touch_plane_constraint:\n"
      "      enabled: true\n"
      "      fingers: [ring, middle]\n"
      "      planes:\n"
      "        middle: {human_point: [0, 0, -0.006], human_normal: [0, 0, 2], robot_normal: [1, 0, 0]}\n"
      "        ring: {human_point: [0, 0, 0.006], human_normal: [0, 0, 1], robot_normal: [1, 0, 0],\n"
      "               robot_point: [0.001, 0, 0]}\n");
  EXPECT_EQ(text(t, "side_touch_plane_partner"), "ring");
  EXPECT_DOUBLE_EQ(number(t, "side_touch_human_distance_m"), -0.006);
  EXPECT_DOUBLE_EQ(number(t, "side_touch_plane_alpha"), 0.5);
  // d < 0 flips the clearance: thumb x moves by 0.5 * (-0.006 - (0 - 0.001)).
  expect_near(t.target_positions.at("thumb"), {0.5 * (-0.006 + 0.001), 0, 0});
}

TEST(TipTargetFrame, DynamicPalmHeightAndBendAngle) {
  // first straight along glove x (flat height); middle 30 degrees out of the x-y plane.
  GloveFeatureFrame frame = glove();
  frame.local_tips["middle"].position = {std::cos(M_PI / 6), 0.0, std::sin(M_PI / 6)};
  const RetargetTargetFrame t =
      targets(frame,
              "    pinch_model: {enabled: false}\n    dynamic_palm_offset_by_finger_plane: "
              "{enabled: true, fingers: [first, middle]}\n");
  EXPECT_DOUBLE_EQ(t.target_positions.at("first")[2], 0.11261015 + 0.1);
  EXPECT_NEAR(number(t, "dynamic_palm_z_middle"), (35 * 0.11261015 + 30 * 0.07261015) / 65, 1e-12);
  EXPECT_EQ(t.target_positions.at("ring")[2], 0.1);

  // The bend angle against the mcp90 reference direction, signed about the motion plane normal.
  TipMappingParameters p;
  auto angle = [&p](const Vec3& tip) { return finger_bend_angle_deg("first", {{"first", tip}}, p, 65.0); };
  EXPECT_DOUBLE_EQ(angle({0, 0, -0.05}), 65.0);  // 90 degrees from the glove plane, clamped
  p.mcp_joint_position["first"] = {0, 0, 0};
  p.mcp90_reference_vector["first"] = {0, 0, -1};
  EXPECT_DOUBLE_EQ(angle({1, 0, 0}), 0.0);  // 90 degrees away
  p.mcp_motion_plane_normal["first"] = {0, 1, 0};
  // Turning from the reference about +y counts positively; the other way, by less than A, is a full bend.
  EXPECT_NEAR(angle({-std::sin(0.2), 0, -std::cos(0.2)}), 65.0 - 0.2 * 180.0 / M_PI, 1e-9);
  EXPECT_DOUBLE_EQ(angle({std::sin(0.2), 0, -std::cos(0.2)}), 65.0);
  EXPECT_DOUBLE_EQ(angle({0, 0, 1}), 0.0);  // 180 degrees away
}

// A frame rebuilt in place over the frame of another glove sample, or with other rules that add and drop
// entries, is the frame built afresh.
TEST(TipTargetFrame, RebuiltInPlaceEqualsFresh) {
  const Tips pinching{{{0, 0, 0}, {0, 0, 0.005}, {0, 0, 0.03}, {0, 0, 0.02}, {0, 0, 0.005}}};
  const std::string adduction =
      "    dynamic_thumb_adduction_offset: {enabled: true, driver_axis: x, open_driver_value: -1, "
      "close_driver_value: 1}\n";
  const std::vector<std::pair<GloveFeatureFrame, std::string>> inputs = {
      {glove(pinching), ""}, {glove(), adduction}, {glove(pinching), adduction}, {glove(), ""}};
  RetargetTargetFrame frame;
  for (const auto& [sample, rules] : inputs) {
    const TipMappingParameters params = TipMappingParameters::from_config(tip_config(rules), "right");
    const RetargetTargetFrame fresh = build_tip_target_frame(sample, {0.1, 0, 0}, params, kIdentity);
    build_tip_target_frame(sample, {0.1, 0, 0}, params, kIdentity, frame);
    test::expect_same_frame(frame, fresh);
  }
}

}  // namespace
}  // namespace kelto::hand
