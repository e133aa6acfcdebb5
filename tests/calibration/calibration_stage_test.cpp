// Reducing captured stage frames to one sample per finger, and the nearest-rotation projection.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "calibration/calibration_stage.hpp"
#include "calibration_test_support.hpp"

namespace kelto::hand {
namespace {

using test::det;
using test::rot;

using Frames = std::vector<std::map<std::string, CalibrationFingerFrame>>;

Frames frames_with_x(const std::vector<double>& xs) {
  Frames frames;
  for (double x : xs) frames.push_back({{"first", {{x, -x, 2 * x}, rot(2, 0.0)}}});
  return frames;
}

TEST(CalibrationStage, MedianPerAxis) {
  struct Case {
    std::vector<double> xs;
    double median;
  };
  for (const Case& c :
       std::vector<Case>{{{1, 4, 2, 3}, 2.5}, {{5, 1, 3}, 3.0}, {{7}, 7.0}, {{2, 2, 9, 1}, 2.0}}) {
    const AggregatedCalibrationStage stage = aggregate_calibration_stage(frames_with_x(c.xs), {"first"});
    const auto& p = stage.positions.at("first");
    EXPECT_DOUBLE_EQ(p[0], c.median);
    EXPECT_DOUBLE_EQ(p[1], -c.median);  // the axes are taken apart, not as whole points
    EXPECT_DOUBLE_EQ(p[2], 2 * c.median);
  }
}

TEST(CalibrationStage, NonFiniteCapturesAreSortedLast) {
  // Lost samples (NaN) sort after every number: the values 0..19 and 5 NaNs sort to 0..19, NaN x 5,
  // whose middle (position 12 of 25) is 12.
  std::vector<double> xs;
  for (int i = 19; i >= 0; --i) {
    xs.push_back(i);
    if (i % 4 == 0) xs.push_back(std::nan(""));
  }
  const double nan = std::nan("");
  Frames frames = frames_with_x(xs);
  frames[3]["first"].rotation = {nan, 0, 0, 0, 1, 0, 0, 0, 1};
  const AggregatedCalibrationStage stage = aggregate_calibration_stage(frames, {"first"});
  EXPECT_DOUBLE_EQ(stage.positions.at("first")[0], 12.0);
  for (double v : stage.rotations.at("first")) EXPECT_TRUE(std::isnan(v));
}

TEST(CalibrationStage, AggregationErrors) {
  EXPECT_EQ(test::error_text([] { aggregate_calibration_stage({}, {"first"}); }),
            "Calibration stage requires at least one frame");
  // Every frame must hold every listed finger, even when the others do.
  Frames frames = frames_with_x({1, 2, 3});
  frames[1]["ring"] = {};
  frames[2]["ring"] = {};
  EXPECT_EQ(test::error_text([&] {
              aggregate_calibration_stage(frames, {"first", "ring"});
            }),
            "Calibration frame is missing finger: ring");
}

TEST(CalibrationStage, ProjectRotationMatrix) {
  // Already a rotation: unchanged.
  const auto r = rot(1, 0.7);
  EXPECT_TRUE(test::near(project_rotation_matrix(r), r, 1e-12));
  // A scaled, slightly sheared rotation comes back to the rotation.
  auto noisy = r;
  for (double& v : noisy) v *= 2.0;
  noisy[1] += 0.01;
  const auto projected = project_rotation_matrix(noisy);
  EXPECT_TRUE(test::near(projected, r, 1e-2));
  EXPECT_NEAR(det(projected), 1.0, 1e-12);
  // A reflection gives a proper rotation.
  const std::array<double, 9> reflection{1, 0, 0, 0, 1, 0, 0, 0, -1};
  const auto proper = project_rotation_matrix(reflection);
  EXPECT_NEAR(det(proper), 1.0, 1e-12);
  EXPECT_TRUE(test::near(test::mul(test::transpose(proper), proper), rot(0, 0.0), 1e-12));
}

TEST(CalibrationStage, SampleByStage) {
  std::vector<CalibrationStageSample> samples(5);
  const char* ids[] = {"open", "fist", "mcp90", "close", "open"};
  for (int i = 0; i < 5; ++i) {
    samples[i].stage_id = ids[i];
    samples[i].weight = i;
  }
  EXPECT_EQ(sample_by_stage(samples, "open"), &samples[0]);
  EXPECT_EQ(sample_by_stage(samples, "close"), &samples[3]);
  EXPECT_EQ(sample_by_stage(samples, "mcp90"), &samples[1]);  // the earlier fist wins
  EXPECT_EQ(sample_by_stage(samples, "fist"), &samples[1]);
  EXPECT_EQ(sample_by_stage(samples, "pinch_first"), nullptr);
  samples[1].stage_id = "mcp90_pip90";
  EXPECT_EQ(sample_by_stage(samples, "mcp90"), &samples[1]);
  EXPECT_EQ(sample_by_stage(samples, "fist"), nullptr);  // only mcp90 takes the bent stand-ins
}

}  // namespace
}  // namespace kelto::hand
