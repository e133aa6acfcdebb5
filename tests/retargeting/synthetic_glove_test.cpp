#include "synthetic_glove/synthetic_glove.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "model_fixture.hpp"
#include "retargeting/tip_target_frame.hpp"

namespace kelto::hand {
namespace {

using Vec3 = std::array<double, 3>;

// The glove frame of a pose maps back onto the model's own fingertips, also with per-finger input offsets,
// a base rotation offset, a hand scale and a palm offset in the mapping.
TEST(SyntheticGlove, InvertsTheTipMapping) {
  for (const std::string side : {"right", "left"}) {
    Config config = test::hand_config(side);
    const std::string P = "tip_mapping." + side;
    config.set_boolean(P + ".pinch_model.enabled", false);
    config.set_number(P + ".human_hand_scale", 1.2);
    config.set_vec3(P + ".palm_offset_local", {0.01, -0.02, 0.09});
    config.set_vec3(P + ".input_tip_offset_local.first", {0.002, -0.001, 0.004});
    const double c = std::cos(0.3), s = std::sin(0.3);
    config.set_matrix3(P + ".input_base_rotation_offset", {c, -s, 0, s, c, 0, 0, 0, 1});
    config.set_matrix3(P + ".input_tip_rotation_offset_local.ring", {1, 0, 0, 0, c, -s, 0, s, c});
    PinocchioHandKinematics model(config, side);
    const TipMappingParameters params = TipMappingParameters::from_config(config, side);
    synthetic::SyntheticGloveOptions options;
    options.side = side;
    synthetic::SyntheticGlove glove(params, options);
    std::mt19937_64 rng(4);
    const std::vector<double> q = test::random_active(model, rng);
    const HandKinematicsState state = model.state_from_active(q);
    const GloveFeatureFrame frame = glove.frame_from_active(model, q, 1.5);
    EXPECT_EQ(frame.side, side);
    EXPECT_EQ(frame.timestamp_s, 1.5);
    const RetargetTargetFrame target =
        build_tip_target_frame(frame, state.wrist_position, params, state.wrist_rotation);
    for (const std::string& f : params.finger_order) {
      for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(target.target_positions.at(f)[k], state.tip_positions_wrist.at(f)[k], 1e-12) << side << f;
        EXPECT_NEAR(target.target_positions_world.at(f)[k], state.tip_positions_world.at(f)[k], 1e-12);
      }
      for (int k = 0; k < 9; ++k) {
        EXPECT_NEAR(target.target_rotations.at(f)[k], state.tip_rotations_wrist.at(f)[k], 1e-12) << side << f;
      }
    }

    // A glove on a hand 10 % larger reports tips 10 % further from the palm.
    options.human_hand_scale = 1.2 / 1.1;
    synthetic::SyntheticGlove bigger(params, options);
    const RetargetTargetFrame scaled = build_tip_target_frame(
        bigger.frame_from_active(model, q), state.wrist_position, params, state.wrist_rotation);
    for (int k = 0; k < 3; ++k) {
      const double from_palm = state.tip_positions_wrist.at("middle")[k] - params.palm_offset_local[k];
      EXPECT_NEAR(scaled.target_positions.at("middle")[k] - params.palm_offset_local[k], 1.1 * from_palm,
                  1e-12);
    }
  }
}

TEST(SyntheticGlove, NoiseIsSeeded) {
  const Config config = test::hand_config("right");
  PinocchioHandKinematics model(config, "right");
  const TipMappingParameters params = TipMappingParameters::from_config(config, "right");
  synthetic::SyntheticGloveOptions noisy;
  noisy.position_noise_m = 0.001;
  noisy.rotation_noise_rad = 0.02;
  noisy.seed = 99;
  synthetic::SyntheticGlove a(params, noisy), b(params, noisy), clean(params);
  const std::vector<double>& q = model.q_rest_active();
  const GloveFeatureFrame fa = a.frame_from_active(model, q), fb = b.frame_from_active(model, q);
  const GloveFeatureFrame fc = clean.frame_from_active(model, q);
  const Pose& pa = fa.local_tips.at("thumb");
  EXPECT_EQ(pa.position, fb.local_tips.at("thumb").position);
  EXPECT_EQ(pa.rotation, fb.local_tips.at("thumb").rotation);
  const Vec3& pc = fc.local_tips.at("thumb").position;
  const double moved = std::hypot(pa.position[0] - pc[0], pa.position[1] - pc[1], pa.position[2] - pc[2]);
  EXPECT_GT(moved, 0.0);
  EXPECT_LT(moved, 0.01);
  EXPECT_NE(a.frame_from_active(model, q).local_tips.at("thumb").position,
            pa.position);  // the stream goes on
  // Noisy rotations stay rotations.
  const auto& R = pa.rotation;
  EXPECT_NEAR(R[0] * R[0] + R[3] * R[3] + R[6] * R[6], 1.0, 1e-12);
  EXPECT_NEAR(R[0] * R[1] + R[3] * R[4] + R[6] * R[7], 0.0, 1e-12);
}

}  // namespace
}  // namespace kelto::hand
