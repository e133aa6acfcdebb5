// The bundled hand's glove frame sits level on the model's flat hand, as the base calibration takes for
// granted: a glove worn by the model itself calibrates to no base rotation, and a user who differs from
// the model only in hand size ends up closer to the truth after calibration, on either side.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "calibration/calibration_fit.hpp"
#include "calibration/rotation_offset_fit.hpp"
#include "calibration_test_support.hpp"
#include "synthetic_user.hpp"

namespace kelto::hand {
namespace {

const std::vector<std::string> kBasicStages{"close", "open", "mcp90"};
const std::vector<std::string> kUserPoses{"open",         "five_close",  "mcp90",
                                          "fist",         "mcp90_pip90", "pinch_first",
                                          "pinch_middle", "pinch_ring",  "pinch_little"};
const std::vector<std::string> kSides{"right", "left"};

// Angle of a rotation matrix in radians.
double rotation_angle(const std::array<double, 9>& r) {
  return std::acos(std::clamp((r[0] + r[4] + r[8] - 1.0) / 2.0, -1.0, 1.0));
}

Config bundled_config(const std::string& side) {
  return Config::load(test::bundled_hand_config(), "", side);
}

TEST(BundledGloveFrame, ModelHandCalibratesToNoBaseRotation) {
  for (const std::string& side : kSides) {
    SCOPED_TRACE(side);
    const Config config = bundled_config(side);
    const TipMappingParameters model = TipMappingParameters::from_config(config, side);
    const std::vector<CalibrationStageFrames> stages =
        test::capture_stages(config, side, model, kBasicStages, 1, 0.0);

    std::vector<CalibrationStageSample> samples;
    for (const CalibrationStageFrames& stage : stages) {
      CalibrationStageSample sample;
      sample.stage_id = stage.stage_id;
      sample.positions = aggregate_calibration_stage(stage.frames, model.finger_order).positions;
      samples.push_back(std::move(sample));
    }
    const auto offset = fit_input_base_rotation_offset_from_open_close(samples, model.finger_order);
    ASSERT_TRUE(offset.has_value());
    EXPECT_LT(rotation_angle(*offset), 1e-9);

    // The whole fit then recovers the model's own scale as its slope.
    const ThreeStageCalibrationFit fit = fit_calibration(config, side, stages, std::nullopt);
    EXPECT_LT(rotation_angle(fit.input_base_rotation_offset), 1e-9);
    EXPECT_NEAR(fit.base.scale_delta, 1.0, 1e-9);
  }
}

struct ScaleOnlyCalibration {
  ThreeStageCalibrationFit fit;
  test::RetargetError before, after;
};

// Calibrates a user whose hand differs from the model's only in size (mapping scale `scale`), with the
// fitted scale or with the user's true scale held fixed, and retargets the user's poses before and after.
ScaleOnlyCalibration calibrate_scale_only_user(const std::string& side, double scale, bool fix_scale) {
  const Config config = bundled_config(side);
  TipMappingParameters user = TipMappingParameters::from_config(config, side);
  user.human_hand_scale = scale;
  ScaleOnlyCalibration out;
  out.fit = fit_calibration(config, side, test::capture_stages(config, side, user, kBasicStages, 5, 0.0003),
                            fix_scale ? std::optional<double>(scale) : std::nullopt);
  test::TempDir tmp;
  const Config calibrated = Config::load(test::write_file(tmp / "calibrated.yaml", out.fit.yaml), "", side);
  out.before = test::retarget_error(config, side, user, kUserPoses);
  out.after = test::retarget_error(calibrated, side, user, kUserPoses);
  std::printf(
      "[glove frame] %s hand, mapping scale %.2f%s: mean fingertip error of the user's poses: targets "
      "%.2f -> %.2f mm, solved %.2f -> %.2f mm\n",
      side.c_str(), scale, fix_scale ? " (fixed)" : "", out.before.target_mm, out.after.target_mm,
      out.before.solved_mm, out.after.solved_mm);
  return out;
}

TEST(BundledGloveFrame, CalibratingAUserWhoDiffersOnlyInScaleHelps) {
  // Mapping scales of a larger (0.87) and a smaller (1.15) hand than the model's.
  for (const double scale : {0.87, 1.15}) {
    for (const std::string& side : kSides) {
      SCOPED_TRACE(side + " " + std::to_string(scale));
      // The fitted scale carries the scale base, so some error remains, but less than before.
      const ScaleOnlyCalibration fitted = calibrate_scale_only_user(side, scale, false);
      EXPECT_LT(rotation_angle(fitted.fit.input_base_rotation_offset), 0.01);
      EXPECT_NEAR(fitted.fit.base.scale_delta, scale, 0.01 * scale);
      EXPECT_LT(fitted.after.target_mm, 0.8 * fitted.before.target_mm);

      // With the user's scale given, the calibrated mapping meets the user's fingertips.
      const ScaleOnlyCalibration fixed = calibrate_scale_only_user(side, scale, true);
      EXPECT_LT(fixed.after.target_mm, 0.5);
      EXPECT_LT(fixed.after.solved_mm, fixed.before.solved_mm);
    }
  }
}

}  // namespace
}  // namespace kelto::hand
