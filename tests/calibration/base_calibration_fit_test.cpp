// Weighted least-squares fit of hand scale and palm offset.
#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <random>
#include <vector>

#include "calibration/base_calibration_fit.hpp"
#include "calibration_test_support.hpp"

namespace kelto::hand {
namespace {

using test::mul;
using test::rot;
using Vec3 = std::array<double, 3>;

const std::array<double, 9> kMapping = mul(rot(1, -1.5707963267948966), rot(0, 0.2));

// Observations whose robot targets are exactly scale * M * (p + R o) + palm.
std::vector<CalibrationObservation> exact_observations(double scale, const Vec3& palm, std::size_t count) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<CalibrationObservation> out;
  for (std::size_t i = 0; i < count; ++i) {
    CalibrationObservation o;
    o.source_position = {0.08 * u(rng), 0.05 * u(rng), 0.03 * u(rng)};
    o.source_rotation = mul(rot(2, u(rng)), rot(0, u(rng)));
    o.input_tip_offset_local = {0.01 * u(rng), 0.0, -0.008 * u(rng)};
    const Vec3 tip = mul(o.source_rotation, o.input_tip_offset_local);
    const Vec3 h = mul(kMapping, Vec3{o.source_position[0] + tip[0], o.source_position[1] + tip[1],
                                      o.source_position[2] + tip[2]});
    for (int k = 0; k < 3; ++k) o.robot_target[k] = scale * h[k] + palm[k];
    o.weight = 0.5 + (i % 3);
    out.push_back(o);
  }
  return out;
}

TEST(BaseCalibrationFit, RecoversScaleAndPalmOffset) {
  const Vec3 palm{0.012, -0.02, 0.091};
  for (const double scale : {0.87, 1.0, 1.15}) {
    const auto observations = exact_observations(scale, palm, 14);
    const BaseCalibrationFit fit = fit_base_calibration(observations, kMapping, 0.0, std::nullopt);
    EXPECT_NEAR(fit.scale_delta, scale, 1e-12);
    EXPECT_NEAR(fit.human_hand_scale, scale, 1e-12);
    EXPECT_TRUE(test::near(fit.palm_offset_local, palm, 1e-12));

    // The scale base is added to the fitted slope, and the palm offset follows the resulting scale.
    const BaseCalibrationFit based = fit_base_calibration(observations, kMapping, 0.1, std::nullopt);
    EXPECT_NEAR(based.scale_delta, scale, 1e-12);
    EXPECT_NEAR(based.human_hand_scale, scale + 0.1, 1e-12);
    EXPECT_FALSE(test::near(based.palm_offset_local, palm, 1e-4));
  }
}

TEST(BaseCalibrationFit, FixedScaleStillReportsTheSlope) {
  const Vec3 palm{0.0, 0.01, 0.08};
  auto observations = exact_observations(0.9, palm, 6);
  const BaseCalibrationFit fit = fit_base_calibration(observations, kMapping, 0.1, 1.25);
  EXPECT_NEAR(fit.scale_delta, 0.9, 1e-12);
  EXPECT_DOUBLE_EQ(fit.human_hand_scale, 1.25);
  // Palm offset = weighted mean of target - 1.25 * mapped tip.
  Vec3 expected{};
  double weights = 0.0;
  for (const auto& o : observations) {
    const Vec3 r = mul(o.source_rotation, o.input_tip_offset_local);
    const Vec3 h = mul(kMapping, Vec3{o.source_position[0] + r[0], o.source_position[1] + r[1],
                                      o.source_position[2] + r[2]});
    for (int k = 0; k < 3; ++k) expected[k] += o.weight * (o.robot_target[k] - 1.25 * h[k]);
    weights += o.weight;
  }
  for (double& v : expected) v /= weights;
  EXPECT_TRUE(test::near(fit.palm_offset_local, expected, 1e-12));
}

TEST(BaseCalibrationFit, WeightsSelectTheObservations) {
  auto observations = exact_observations(1.05, {0.0, 0.0, 0.1}, 8);
  CalibrationObservation outlier = observations[0];
  outlier.robot_target = {5.0, -3.0, 2.0};
  outlier.weight = 0.0;
  observations.push_back(outlier);
  const BaseCalibrationFit fit = fit_base_calibration(observations, kMapping, 0.0, std::nullopt);
  EXPECT_NEAR(fit.human_hand_scale, 1.05, 1e-12);
  EXPECT_TRUE(test::near(fit.palm_offset_local, Vec3{0.0, 0.0, 0.1}, 1e-12));
}

TEST(BaseCalibrationFit, DegenerateInputs) {
  // All weights zero: the sums are divided by 1e-9, never by zero.
  auto observations = exact_observations(1.0, {0.01, 0.02, 0.03}, 4);
  for (auto& o : observations) o.weight = 0.0;
  const BaseCalibrationFit zero = fit_base_calibration(observations, kMapping, 0.1, std::nullopt);
  EXPECT_DOUBLE_EQ(zero.scale_delta, 0.0);
  EXPECT_DOUBLE_EQ(zero.human_hand_scale, 0.1);
  EXPECT_TRUE(test::near(zero.palm_offset_local, Vec3{0, 0, 0}, 0.0));

  // One observation has no spread: slope 0, the palm offset takes the whole target.
  const auto single = exact_observations(1.0, {0.01, 0.02, 0.03}, 1);
  const BaseCalibrationFit one = fit_base_calibration(single, kMapping, 0.0, std::nullopt);
  EXPECT_DOUBLE_EQ(one.scale_delta, 0.0);
  EXPECT_TRUE(test::near(one.palm_offset_local, single[0].robot_target, 1e-15));

  EXPECT_EQ(test::error_text([] { fit_base_calibration({}, kMapping, 0.1, std::nullopt); }),
            "Base calibration requires at least one observation");
}

}  // namespace
}  // namespace kelto::hand
