// Dynamic palm offset fit: flat and bent palm heights, MCP joint circles and the bend angle limit.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "calibration/dynamic_palm_offset_fit.hpp"
#include "calibration_test_support.hpp"

namespace kelto::hand {
namespace {

using test::mul;
using test::rot;
using Vec3 = std::array<double, 3>;

const std::vector<std::string> kFingers{"thumb", "first", "middle"};
// Right-hand mapping: the robot z axis is the glove x axis.
const std::array<double, 9> kMapping{0, 0, -1, 0, 1, 0, 1, 0, 0};
constexpr double kPi = 3.14159265358979323846;

CalibrationStageSample sample(const std::string& id, double weight) {
  CalibrationStageSample s;
  s.stage_id = id;
  s.weight = weight;
  return s;
}

// Adds a finger whose glove tip is `tip` and whose robot target makes the palm height `z` at scale 1.
void add(CalibrationStageSample& s, const std::string& finger, const Vec3& tip, double z) {
  s.fingers.push_back(finger);
  s.positions[finger] = tip;
  s.rotations[finger] = rot(2, 0.0);
  s.robot_targets[finger] = {0.0, 0.0, z + tip[0]};
}

// A tip at `deg` degrees above the glove's x-y plane, 8 cm out.
Vec3 elevated(double deg) {
  return {0.08 * std::cos(deg * kPi / 180), 0.0, 0.08 * std::sin(deg * kPi / 180)};
}

std::optional<DynamicPalmFit> fit(const std::vector<CalibrationStageSample>& samples,
                                  const std::map<std::string, Vec3>& offsets = {}) {
  return fit_dynamic_palm_offset(samples, kFingers, kMapping, offsets, 1.0, {0.004, -0.006, 0.09});
}

TEST(DynamicPalmFit, FlatAndBentHeights) {
  struct Case {
    const char* name;
    double close_z, open_z, bent_z;
    double close_w, open_w, bent_w;
    double flat, bent;
  };
  const double mixed_flat = (3 * 0.1 + 0.5 * 0.2) / 3.5;
  const std::vector<Case> cases = {
      {"weighted flat mean", 0.1, 0.2, 0.13, 3.0, 0.5, 4.0, mixed_flat + 0.014,
       std::max(0.13 - 0.024, mixed_flat + 0.014 - 0.025)},
      {"bent limited to 2.5 cm below flat", 0.1, 0.1, 0.02, 3.0, 0.5, 4.0, 0.114, 0.089},
      {"bent above the limit", 0.1, 0.1, 0.12, 3.0, 0.5, 4.0, 0.114, 0.096},
      {"negative weight counts as zero", 0.1, 0.2, 0.12, -3.0, 0.5, 4.0, 0.214, 0.189},
      {"all-zero weights take the plain mean", 0.1, 0.2, 0.12, 0.0, -1.0, 0.0, 0.164, 0.139},
  };
  for (const Case& c : cases) {
    auto close = sample("close", c.close_w), open = sample("open", c.open_w), bent = sample("fist", c.bent_w);
    for (const char* f : {"thumb", "first", "middle"}) {
      add(close, f, elevated(5), c.close_z);
      add(open, f, elevated(15), c.open_z);
    }
    add(bent, "first", elevated(60), c.bent_z);
    add(bent, "middle", {0.02, 0.05, -0.07}, c.bent_z);
    // Stages that are neither flat nor bent are skipped.
    auto pinch = sample("pinch_first", 1.0);
    add(pinch, "first", elevated(0), 5.0);
    const auto result = fit({close, pinch, open, bent});
    ASSERT_TRUE(result.has_value()) << c.name;
    EXPECT_NEAR(result->flat_z, c.flat, 1e-12) << c.name;
    EXPECT_NEAR(result->bent_z, c.bent, 1e-12) << c.name;
    EXPECT_EQ(result->fingers, (std::vector<std::string>{"first", "middle"})) << c.name;
    EXPECT_TRUE(test::near(result->palm_offset_local, Vec3{0.004, -0.006, c.flat - 0.01}, 1e-12)) << c.name;
  }
}

TEST(DynamicPalmFit, ScaleAndTipOffsetEnterTheHeight) {
  auto close = sample("close", 1.0), bent = sample("mcp90", 1.0);
  close.fingers = bent.fingers = {"first"};
  close.positions["first"] = {0.08, 0.0, 0.01};
  close.rotations["first"] = rot(2, kPi / 2);
  close.robot_targets["first"] = {0.0, 0.0, 0.2};
  bent.positions["first"] = {0.03, 0.0, 0.05};
  bent.robot_targets["first"] = {0.0, 0.0, 0.2};  // no rotation: the offset is added as given
  const std::map<std::string, Vec3> offsets{{"first", {0.0, -0.01, 0.0}}};
  const auto result = fit_dynamic_palm_offset({close, bent}, kFingers, kMapping, offsets, 0.5, {0, 0, 0});
  ASSERT_TRUE(result.has_value());
  // Rotated offset (0.01, 0, 0): tip x 0.09; flat z = 0.2 - 0.5 * 0.09.
  EXPECT_NEAR(result->flat_z, 0.2 - 0.045 + 0.014, 1e-12);
  EXPECT_NEAR(result->bent_z, std::max(0.2 - 0.015 - 0.024, result->flat_z - 0.025), 1e-12);
}

TEST(DynamicPalmFit, JointCircleThroughCloseOpenAndMcp90) {
  const Vec3 centre{0.07, 0.02, -0.01};
  const double radius = 0.045;
  // The finger moves in the plane spanned by these unit vectors.
  const Vec3 e1{std::cos(0.2), std::sin(0.2), 0.0}, e2{0.0, 0.0, 1.0};
  auto on_circle = [&](double deg) {
    const double a = deg * kPi / 180;
    Vec3 p{};
    for (int k = 0; k < 3; ++k) p[k] = centre[k] + radius * (std::cos(a) * e1[k] + std::sin(a) * e2[k]);
    return p;
  };
  auto close = sample("close", 3), open = sample("open", 0.5), mcp90 = sample("mcp90", 4);
  add(close, "thumb", {0.01, 0.05, 0.0}, 0.1);
  add(close, "first", on_circle(-5), 0.1);
  add(open, "first", on_circle(10), 0.1);
  add(mcp90, "first", on_circle(-95), 0.1);
  // The middle finger's tips lie on one line: centroid and no plane normal.
  add(close, "middle", {0.08, -0.01, 0.0}, 0.1);
  add(open, "middle", {0.09, -0.01, 0.0}, 0.1);
  add(mcp90, "middle", {0.06, -0.01, 0.0}, 0.1);

  const auto result = fit({close, open, mcp90});
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->mcp_joint_position.size(), 2u);  // no thumb circle
  EXPECT_TRUE(test::near(result->mcp_joint_position.at("first"), centre, 1e-12));
  const Vec3 reference = result->mcp90_reference_vector.at("first");
  EXPECT_TRUE(test::near(reference, test::sub(on_circle(-95), centre), 1e-12));
  // Normal: unit, perpendicular to the motion plane, oriented as (mcp90 - joint) x (flat mid - joint).
  const Vec3 normal = result->mcp_motion_plane_normal.at("first");
  const Vec3 expected = test::cross(e1, e2);
  const double sign =
      test::dot(test::cross(reference, test::sub(test::mid(on_circle(-5), on_circle(10)), centre)),
                expected) > 0
          ? 1.0
          : -1.0;
  EXPECT_TRUE(test::near(normal, Vec3{sign * expected[0], sign * expected[1], sign * expected[2]}, 1e-12));

  EXPECT_TRUE(test::near(result->mcp_joint_position.at("middle"), Vec3{0.23 / 3, -0.01, 0.0}, 1e-15));
  EXPECT_EQ(result->mcp_motion_plane_normal.count("middle"), 0u);
  EXPECT_EQ(result->mcp90_reference_vector.count("middle"), 1u);
  EXPECT_DOUBLE_EQ(result->max_angle_deg, 90.0);  // with joint circles, whatever the angles
}

TEST(DynamicPalmFit, BendAngleLimitWithoutJointCircles) {
  struct Case {
    std::vector<double> flat_deg, bent_deg;
    double expected;
  };
  const std::vector<Case> cases = {
      {{10}, {50}, 42.5},                      // max(0.85 * 50, 10 + 20)
      {{10}, {14}, 65.0},                      // not 5 degrees above the flat angle
      {{10}, {20}, 30.0},                      // margin of 20 degrees above flat
      {{0}, {10}, 20.0},                       // clamped up to 20
      {{10}, {89.5}, 75.0},                    // clamped down to 75
      {{10, 10}, {10, 20, 30, 40, 85}, 30.0},  // trimmed mean 30 -> max(25.5, 30)
  };
  for (const Case& c : cases) {
    std::vector<CalibrationStageSample> samples;
    for (double deg : c.flat_deg) {
      samples.push_back(sample("open", 1.0));
      add(samples.back(), "first", elevated(deg), 0.1);
    }
    for (double deg : c.bent_deg) {
      samples.push_back(sample("mcp90_pip90", 1.0));
      add(samples.back(), "first", elevated(-deg), 0.1);  // the angle uses |z|
    }
    const auto result = fit(samples);
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->mcp_joint_position.empty());  // no close stage
    EXPECT_NEAR(result->max_angle_deg, c.expected, 1e-9) << c.bent_deg.size();
  }
}

TEST(DynamicPalmFit, TooLittleDataGivesNone) {
  auto close = sample("close", 1.0), open = sample("open", 1.0), fist = sample("fist", 1.0);
  add(close, "first", elevated(0), 0.1);
  add(open, "first", elevated(0), 0.1);
  add(fist, "first", elevated(40), 0.1);
  auto thumb_only = sample("mcp90", 1.0);
  add(thumb_only, "thumb", elevated(40), 0.1);
  EXPECT_FALSE(fit({}).has_value());
  EXPECT_FALSE(fit({close, open}).has_value());              // only flat stages
  EXPECT_FALSE(fit({fist}).has_value());                     // only bent stages
  EXPECT_FALSE(fit({close, open, thumb_only}).has_value());  // the thumb is not fitted
  EXPECT_TRUE(fit({close, fist}).has_value());
}

TEST(DynamicPalmFit, MissingPerFingerDataFails) {
  auto close = sample("close", 1.0), fist = sample("fist", 1.0);
  add(close, "first", elevated(0), 0.1);
  add(fist, "first", elevated(40), 0.1);
  fist.robot_targets.clear();
  EXPECT_THROW(fit({close, fist}), std::out_of_range);
  fist.fingers.push_back("middle");  // listed without a position
  add(fist, "first", elevated(40), 0.1);
  EXPECT_THROW(fit({close, fist}), std::out_of_range);
}

}  // namespace
}  // namespace kelto::hand
