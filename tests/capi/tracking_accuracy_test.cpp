// Tracking with the shipped configuration through the C interface: the synthetic glove on the bundled right
// hand follows a smooth motion at 200 Hz and the engine runs with only its smoother off. On reachable
// targets the solved fingertips stay within a fraction of a millimetre of the glove's true ones; a noisy
// glove and a user's hand larger than the model are followed without jerks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "capi/engine_support.hpp"
#include "capi/hand_motion.hpp"

namespace kelto::test {
namespace {

constexpr int kHoldFrames = 50;  // the start pose, held for 0.25 s before the motion starts
constexpr int kFrames = 2000;    // 10 s of motion

struct Tracking {
  std::vector<double> tip_errors_mm;  // worst fingertip of each frame, against the glove's true hand
  double accel_rms_rad = 0.0;         // RMS second difference of the active joints from frame to frame
  double closest_to_thumb_m = 1e9;    // of the true hand, over the non-thumb fingertips and all frames

  double mean_mm() const {
    double sum = 0.0;
    for (double e : tip_errors_mm) sum += e;
    return sum / static_cast<double>(tip_errors_mm.size());
  }
  double percentile_mm(double p) const {  // nearest rank
    std::vector<double> sorted = tip_errors_mm;
    std::sort(sorted.begin(), sorted.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::max<std::size_t>(rank, 1) - 1];
  }
};

double closest_to_thumb(hand::PinocchioHandKinematics& model, const std::vector<double>& q) {
  const auto tips = model.state_from_active(q).tip_positions_wrist;
  const auto& thumb = tips.at("thumb");
  double closest = 1e9;
  for (const auto& [finger, p] : tips)
    if (finger != "thumb")
      closest = std::min(closest, std::hypot(p[0] - thumb[0], p[1] - thumb[1], p[2] - thumb[2]));
  return closest;
}

// Holds the start pose, then steps `engine` through the motion with `glove`; `frames` frames are measured.
Tracking follow(kx_engine* engine, BundledGlove& glove, int frames) {
  hand::PinocchioHandKinematics& model = glove.kinematics();
  Tracking tracking;
  std::vector<double> before, last;
  double accel_sum = 0.0;
  std::size_t accel_count = 0;
  for (int k = -kHoldFrames; k < frames; ++k) {
    const std::vector<double> q = motion_pose(model, std::max(k, 0) / kMotionRate);
    const std::vector<double> joints = step(engine, glove.active(q, (k + kHoldFrames) / kMotionRate));
    if (k < 0) continue;
    tracking.tip_errors_mm.push_back(1e3 * worst_tip_error(model, joints, q));
    tracking.closest_to_thumb_m = std::min(tracking.closest_to_thumb_m, closest_to_thumb(model, q));
    std::vector<double> active = model.active_from_full(joints);
    if (!before.empty()) {
      for (std::size_t i = 0; i < active.size(); ++i) {
        const double accel = active[i] - 2.0 * last[i] + before[i];
        accel_sum += accel * accel;
        ++accel_count;
      }
    }
    before = std::move(last);
    last = std::move(active);
  }
  tracking.accel_rms_rad = std::sqrt(accel_sum / static_cast<double>(accel_count));
  return tracking;
}

class TrackingAccuracyTest : public CapiSuite {
 protected:
  Owned<kx_engine> shipped_without_smoother() {
    return create_engine(overlay_config(dir_, "tracking", "joint_smoother:\n  enabled: false\n"));
  }
};

TEST_F(TrackingAccuracyTest, ReachableTargetsAreMetWithinAFractionOfAMillimetre) {
  const Owned<kx_engine> engine = shipped_without_smoother();
  const Tracking tracking = follow(engine.get(), *right_, kFrames);
  const double mean = tracking.mean_mm(), p95 = tracking.percentile_mm(0.95),
               max = tracking.percentile_mm(1.0);
  std::printf("[ figures  ] worst fingertip error per frame: mean %.3f mm, p95 %.3f mm, max %.3f mm\n", mean,
              p95, max);
  RecordProperty("mean_mm", std::to_string(mean));
  RecordProperty("p95_mm", std::to_string(p95));
  RecordProperty("max_mm", std::to_string(max));
  // Outside the pinch model's reach the pinch terms agree with the fingertip targets.
  const hand::TipMappingParameters mapping =
      hand::TipMappingParameters::from_config(hand::Config::load(kHandConfig, "", "right"), "right");
  ASSERT_GT(tracking.closest_to_thumb_m, mapping.pinch_epsilon1_m);
  EXPECT_LE(mean, 0.3);
  EXPECT_LE(p95, 1.0);
  EXPECT_LE(max, 2.0);
}

// A glove with sensor noise, and users whose hands are larger than the model's, so that the targets lie
// beyond the fingers' reach: the joints follow without jerking from frame to frame.
TEST_F(TrackingAccuracyTest, NoisyGloveAndLargerHandsAreFollowedSmoothly) {
  struct Row {
    const char* name;
    double noise_m;
    double user_scale;  // the user's hand against the model's
    double max_accel_rms_rad;
    double max_mean_error_mm;  // against the glove's true hand (not reachable for larger hands)
  };
  const Row rows[] = {{"noise 0.3 mm", 0.0003, 1.0, 0.015, 1.0},
                      {"hand 15 % larger", 0.0, 1.15, 0.005, 8.0},
                      {"hand 30 % larger", 0.0, 1.3, 0.02, 14.0}};
  const hand::Config config = hand::Config::load(kHandConfig, "", "right");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    hand::TipMappingParameters user = hand::TipMappingParameters::from_config(config, "right");
    user.human_hand_scale /= row.user_scale;  // the glove reports the larger hand's fingertips
    BundledGlove glove("right", &user, row.noise_m);
    const Owned<kx_engine> engine = shipped_without_smoother();
    const Tracking tracking = follow(engine.get(), glove, kFrames / 2);
    std::printf("[ figures  ] %s: joint second difference RMS %.2e rad, mean worst fingertip error %.3f mm\n",
                row.name, tracking.accel_rms_rad, tracking.mean_mm());
    EXPECT_LE(tracking.accel_rms_rad, row.max_accel_rms_rad);
    EXPECT_LE(tracking.mean_mm(), row.max_mean_error_mm);
  }
}

}  // namespace
}  // namespace kelto::test
