// Targets the hand cannot meet exactly, through the C interface with the shipped configuration and only the
// smoother off: glove orientations that disagree with the fingertip positions (a glove not calibrated yet,
// or drifting) and fingertips beyond the fingers' reach (a user's hand larger than the model). The hand must
// keep following: no frame may leave every joint where it was while the targets moved.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "capi/engine_support.hpp"
#include "capi/hand_motion.hpp"
#include "kinematics/vec3.hpp"

namespace kelto::test {
namespace {

using hand::detail::Mat3;
using hand::detail::Vec3;

constexpr int kFrames = 999;
constexpr double kMovedM = 1e-6;  // a fingertip target that moved less is taken as held

enum class Orientations { glove, identity, turned };

// The glove's fingertip rotations left at the identity, or each turned by 60 degrees about an axis of its
// own.
void set_orientations(Orientations orientations, kx_engine_input& input) {
  if (orientations == Orientations::glove) return;
  const Vec3 axes[KX_FINGER_COUNT] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 0}, {0, 1, 1}};
  for (int f = 0; f < KX_FINGER_COUNT; ++f) {
    const Mat3 turn = hand::detail::axis_angle(hand::detail::normalized(axes[f]), M_PI / 3.0);
    for (kx_pose* pose : {&input.local_tips[f], &input.world_tips[f]}) {
      Mat3 rotation = hand::detail::kIdentity;
      if (orientations == Orientations::turned) {
        std::copy(std::begin(pose->rotation), std::end(pose->rotation), rotation.begin());
        rotation = hand::detail::mul(turn, rotation);
      }
      std::copy(rotation.begin(), rotation.end(), pose->rotation);
    }
  }
}

// The tracking motion, or the same motion closing to a pinch of the first finger and opening again.
std::vector<double> pose_at(hand::PinocchioHandKinematics& model, const std::vector<double>& pinch,
                            double t) {
  std::vector<double> q = motion_pose(model, t);
  if (pinch.empty()) return q;
  const double w = 0.5 - 0.5 * std::cos(2.0 * M_PI * 0.4 * t);
  for (std::size_t i = 0; i < q.size(); ++i) q[i] = (1.0 - w) * q[i] + w * pinch[i];
  return q;
}

kx_target_output last_target(kx_engine* engine) {
  kx_target_output target{};
  target.struct_size = sizeof target;
  target.abi_version = 2;
  EXPECT_EQ(KX(kx_engine_get_last_target)(engine, &target), KX_STATUS_OK);
  return target;
}

double largest_target_move(const kx_target_output& a, const kx_target_output& b) {
  double move = 0.0;
  for (int f = 0; f < KX_FINGER_COUNT; ++f) {
    const double* p = a.wrist_targets[f].position;
    const double* q = b.wrist_targets[f].position;
    move = std::max(move, std::hypot(p[0] - q[0], p[1] - q[1], p[2] - q[2]));
  }
  return move;
}

struct Row {
  const char* name;
  Orientations orientations;
  const char* weights;  // YAML under solver.weights
  bool pinching;        // the motion closes to a pinch now and then
  double user_scale;    // the user's hand against the model's
};

struct Stalls {
  int frozen = 0;    // frames in which the targets moved and no joint did
  int pinching = 0;  // frames in which a fingertip is within the pinch model's reach of the thumb's
};

class SolverStallTest : public CapiSuite {
 protected:
  Stalls run(const Row& row) {
    const std::string yaml =
        "joint_smoother:\n  enabled: false\nsolver:\n  weights:\n" + std::string(row.weights);
    const Owned<kx_engine> engine = create_engine(overlay_config(dir_, "stall", yaml));
    hand::TipMappingParameters user =
        hand::TipMappingParameters::from_config(hand::Config::load(kHandConfig, "", "right"), "right");
    user.human_hand_scale /= row.user_scale;  // the glove reports the larger hand's fingertips
    BundledGlove glove("right", &user);
    hand::PinocchioHandKinematics& model = glove.kinematics();
    const std::vector<double> pinch = row.pinching ? model.pose_active("pinch_first") : std::vector<double>{};
    Stalls run;
    std::vector<double> last_joints;
    kx_target_output last{};
    for (int k = 0; k < kFrames; ++k) {
      const double t = k / kMotionRate;
      kx_engine_input input = glove.active(pose_at(model, pinch, t), t);
      set_orientations(row.orientations, input);
      const std::vector<double> joints = step(engine.get(), input);
      const kx_target_output target = last_target(engine.get());
      if (*std::max_element(std::begin(target.pinch_weights), std::end(target.pinch_weights)) > 0.5)
        ++run.pinching;
      if (k > 0 && largest_target_move(target, last) > kMovedM &&
          max_abs_difference(joints, last_joints) == 0.0)
        ++run.frozen;
      last_joints = joints;
      last = target;
    }
    return run;
  }
};

TEST_F(SolverStallTest, TargetsThatCannotBeMetAreFollowedFrameByFrame) {
  const char* const shipped = "";
  const char* const strong = "    orientation: 0.05\n";
  const char* const pads =
      "    pinch_pad_alignment: 0.5\n    orientation_axis_weights: {x: 1.0, y: 0.5, z: 0.5}\n";
  const char* const strong_pads =
      "    orientation: 0.05\n    pinch_pad_alignment: 0.5\n"
      "    orientation_axis_weights: {x: 1.0, y: 0.5, z: 0.5}\n";
  const Row rows[] = {
      {"orientations at identity, weight 0.005", Orientations::identity, shipped, false, 1.0},
      {"orientations at identity, weight 0.05", Orientations::identity, strong, false, 1.0},
      {"orientations turned by 60 degrees, weight 0.005", Orientations::turned, shipped, false, 1.0},
      {"orientations turned by 60 degrees, weight 0.05", Orientations::turned, strong, false, 1.0},
      {"identity, y and z axes, pad alignment, weight 0.005", Orientations::identity, pads, true, 1.0},
      {"identity, y and z axes, pad alignment, weight 0.05", Orientations::identity, strong_pads, true, 1.0},
      {"turned, y and z axes, pad alignment, weight 0.005", Orientations::turned, pads, true, 1.0},
      {"turned, y and z axes, pad alignment, weight 0.05", Orientations::turned, strong_pads, true, 1.0},
      {"targets 1.15 times beyond reach", Orientations::glove, shipped, false, 1.15},
      {"targets 1.3 times beyond reach", Orientations::glove, shipped, false, 1.3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Stalls stalls = run(row);
    std::printf("[ figures  ] %s: %d frozen frames of %d, %d pinching\n", row.name, stalls.frozen, kFrames,
                stalls.pinching);
    EXPECT_EQ(stalls.frozen, 0);
    if (row.pinching) {
      EXPECT_GT(stalls.pinching, kFrames / 10) << "the motion does not pinch";
    }
  }
}

}  // namespace
}  // namespace kelto::test
