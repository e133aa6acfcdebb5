// The base rotation offset that levels the glove's flat-hand plane and the per-finger yaw offsets of the
// close stage.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "calibration/rotation_offset_fit.hpp"
#include "calibration_test_support.hpp"

namespace kelto::hand {
namespace {

using test::mul;
using test::rot;
using Vec3 = std::array<double, 3>;

const std::vector<std::string> kFingers{"thumb", "first", "middle", "ring", "little"};

// Open and close fingertips of a flat hand in the glove's x-y plane, seen through a glove tilted by
// `tilt`. The thumb lies far out of the plane and must not count.
std::vector<CalibrationStageSample> flat_stages(const std::array<double, 9>& tilt) {
  CalibrationStageSample open, close;
  open.stage_id = "open";
  close.stage_id = "close";
  const double spread[] = {0.03, 0.01, -0.01, -0.03};
  const char* names[] = {"first", "middle", "ring", "little"};
  for (int i = 0; i < 4; ++i) {
    open.positions[names[i]] = mul(tilt, Vec3{0.09 - 0.005 * i, 1.6 * spread[i], 0.0});
    close.positions[names[i]] = mul(tilt, Vec3{0.085 - 0.004 * i, spread[i] * 0.7, 0.0});
  }
  open.positions["thumb"] = mul(tilt, Vec3{0.02, 0.05, 0.06});
  close.positions["thumb"] = mul(tilt, Vec3{0.03, 0.04, -0.05});
  return {close, open};
}

TEST(BaseRotationOffsetFit, LevelsATiltedGlovePlane) {
  for (const auto& tilt : {rot(0, 0.3), rot(1, -0.45), mul(rot(0, 0.2), rot(1, 0.25))}) {
    const std::vector<CalibrationStageSample> samples = flat_stages(tilt);
    const auto offset = fit_input_base_rotation_offset_from_open_close(samples, kFingers);
    ASSERT_TRUE(offset.has_value());
    EXPECT_NEAR(test::det(*offset), 1.0, 1e-12);
    // Every non-thumb tip lands in the level plane z = 0.
    for (const auto& sample : samples) {
      for (const auto& [finger, p] : sample.positions) {
        if (finger != "thumb") {
          EXPECT_NEAR(mul(*offset, p)[2], 0.0, 1e-12) << finger;
        }
      }
    }
    // The tilted plane normal is turned onto +z.
    const Vec3 normal = mul(*offset, mul(tilt, Vec3{0, 0, 1}));
    EXPECT_TRUE(test::near(normal, Vec3{0, 0, 1}, 1e-12));
  }
  // A tilt about a horizontal axis is undone exactly by the smallest rotation.
  const auto offset = fit_input_base_rotation_offset_from_open_close(flat_stages(rot(0, 0.3)), kFingers);
  ASSERT_TRUE(offset.has_value());
  EXPECT_TRUE(test::near(*offset, rot(0, -0.3), 1e-12));
}

TEST(BaseRotationOffsetFit, LevelPlaneGivesIdentity) {
  const auto offset = fit_input_base_rotation_offset_from_open_close(flat_stages(rot(2, 0.4)), kFingers);
  ASSERT_TRUE(offset.has_value());
  EXPECT_TRUE(test::near(*offset, rot(2, 0.0), 1e-12));
}

TEST(BaseRotationOffsetFit, TooLittleDataGivesNone) {
  const auto level = flat_stages(rot(0, 0.3));
  struct Case {
    const char* name;
    std::vector<CalibrationStageSample> samples;
    std::vector<std::string> fingers;
  };
  std::vector<Case> cases;
  cases.push_back({"no open stage", {level[0]}, kFingers});
  cases.push_back({"two non-thumb fingers", level, {"thumb", "first", "middle"}});
  {
    auto missing = level;  // ring and little lack a close position
    missing[0].positions.erase("ring");
    missing[0].positions.erase("little");
    cases.push_back({"fingers missing from one stage", missing, kFingers});
  }
  {
    auto line = level;  // every tip on one line through the origin
    int i = 1;
    for (auto& sample : line) {
      for (auto& [finger, p] : sample.positions) {
        p = {0.01 * i, 0.02 * i, 0.005 * i};
        ++i;
      }
    }
    cases.push_back({"tips on a line", line, kFingers});
  }
  {
    auto zero = level;
    for (auto& sample : zero)
      for (auto& [finger, p] : sample.positions) p = {0, 0, 0};
    cases.push_back({"all tips at the origin", zero, kFingers});
  }
  {
    auto nan = level;
    nan[1].positions["middle"][1] = std::nan("");
    cases.push_back({"non-finite tip", nan, kFingers});
  }
  for (const Case& c : cases) {
    EXPECT_FALSE(fit_input_base_rotation_offset_from_open_close(c.samples, c.fingers).has_value()) << c.name;
  }
}

TEST(TipRotationOffsetFit, RecoversTheYawOfEachFinger) {
  const auto base = rot(0, -0.3);
  const std::map<std::string, double> yaw{{"first", 0.2}, {"middle", -0.35}, {"ring", 1.1}, {"little", -2.0}};
  AggregatedCalibrationStage close;
  for (const auto& [finger, angle] : yaw) close.rotations[finger] = mul(rot(0, 0.3), rot(2, angle));
  close.rotations["thumb"] = rot(2, 0.7);
  const std::map<std::string, std::array<double, 9>> current{{"first", rot(1, 0.5)}, {"thumb", rot(1, 0.1)}};

  const auto offsets = fit_input_tip_rotation_offsets_from_close(close, kFingers, current, base);
  ASSERT_TRUE(offsets.has_value());
  EXPECT_EQ(offsets->size(), 4u);  // no thumb entry
  for (const auto& [finger, angle] : yaw) {
    // The fitted offset replaces the current one and undoes the yaw.
    EXPECT_TRUE(test::near(offsets->at(finger), rot(2, -angle), 1e-12)) << finger;
  }
}

TEST(TipRotationOffsetFit, FingersWithoutDataKeepTheirOffsets) {
  AggregatedCalibrationStage close;
  close.rotations["first"] = rot(1, 1.5707963267948966);  // tip z along the glove x: no yaw to read
  close.rotations["middle"] = rot(2, 0.3);
  const std::map<std::string, std::array<double, 9>> current{{"ring", rot(0, 0.2)}};

  const auto offsets = fit_input_tip_rotation_offsets_from_close(close, kFingers, current, rot(0, 0.0));
  ASSERT_TRUE(offsets.has_value());
  EXPECT_TRUE(test::near(offsets->at("first"), rot(0, 0.0), 1e-12));
  EXPECT_TRUE(test::near(offsets->at("middle"), rot(2, -0.3), 1e-12));
  EXPECT_TRUE(test::near(offsets->at("ring"), rot(0, 0.2), 1e-12));
  EXPECT_TRUE(test::near(offsets->at("little"), rot(0, 0.0), 1e-12));

  close.rotations.erase("middle");
  EXPECT_FALSE(fit_input_tip_rotation_offsets_from_close(close, kFingers, current, rot(0, 0.0)).has_value());
  EXPECT_FALSE(fit_input_tip_rotation_offsets_from_close({}, kFingers, current, rot(0, 0.0)).has_value());
}

}  // namespace
}  // namespace kelto::hand
