// The engine step on glove frames of the synthetic glove: which text each failure lands in, the getters of
// its last outputs and the output rules (re-seed, velocity limit, hold, physics).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "capi/engine_support.hpp"

namespace kelto::test {
namespace {

class EngineStepTest : public CapiSuite {
 protected:
  // An engine over the bundled configuration with the smoother off and `yaml` on top.
  Owned<kx_engine> engine_with(const std::string& yaml) {
    return create_engine(overlay_config(dir_, "engine", "joint_smoother:\n  enabled: false\n" + yaml));
  }
  // Worst wrist-frame fingertip distance (m) between a joint output and the active vector `q`.
  static double tip_error(const std::vector<double>& joints, const std::vector<double>& q) {
    return worst_tip_error(right_->kinematics(), joints, q);
  }
};

// Record and side checks set the engine's text; glove data checks the side's text; none the thread's.
TEST_F(EngineStepTest, FailureTexts) {
  const kx_engine_input good = right_->pose("open", 0.0);
  struct Case {
    void (*change)(kx_engine_input&, kx_engine_output&);
    kx_status status;
    const char* text;  // null: the step succeeds
  };
  const Case cases[] = {
      {[](auto& in, auto&) { in.struct_size = 1103, in.abi_version = 7; }, KX_STATUS_INVALID_ARGUMENT,
       "input or output struct_size is invalid"},
      {[](auto&, auto& out) { out.abi_version = 3; }, KX_STATUS_ABI_MISMATCH,
       "input or output ABI version does not match"},
      {[](auto& in, auto&) { in.hand_side = -1; }, KX_STATUS_INVALID_ARGUMENT, "input hand side is invalid"},
      {[](auto& in, auto&) { in.local_tip_mask &= ~(1u << 3); }, KX_STATUS_INVALID_ARGUMENT,
       "all configured local fingertip poses are required"},
      {[](auto& in, auto&) { in.root.rotation[4] = kNaN; }, KX_STATUS_INVALID_ARGUMENT,
       "root pose contains a non-finite value"},
      {[](auto& in, auto&) { in.local_tips[2].position[1] = INFINITY; }, KX_STATUS_INVALID_ARGUMENT,
       "local fingertip pose contains a non-finite value"},
      {[](auto& in, auto&) { in.world_tips[4].position[0] = kNaN; }, KX_STATUS_INVALID_ARGUMENT,
       "world fingertip pose contains a non-finite value"},
      {[](auto& in, auto&) { in.world_tips[4].position[0] = kNaN, in.world_tip_mask &= ~(1u << 4); },
       KX_STATUS_OK, nullptr},
      {[](auto&, auto& out) { out.joint_capacity -= 1; }, KX_STATUS_BUFFER_TOO_SMALL,
       "joint output buffer is too small"},
      {[](auto&, auto& out) { out.joints = nullptr; }, KX_STATUS_BUFFER_TOO_SMALL,
       "joint output buffer is too small"},
  };
  for (const Case& c : cases) {
    const Owned<kx_engine> engine = create_engine(kHandConfig);
    const std::size_t n = KX(kx_engine_joint_count)(engine.get());
    std::vector<double> joints(n, -7.0);
    kx_engine_input input = good;
    kx_engine_output output{48, 2, 0.0, -1, 0, n, joints.data()};
    c.change(input, output);
    KX(kx_sdk_create)(nullptr, nullptr);  // a thread text that the step's failures leave alone
    EXPECT_EQ(KX(kx_engine_step)(engine.get(), &input, &output), c.status) << c.text;
    EXPECT_STREQ(KX(kx_engine_last_error)(engine.get()), c.text != nullptr ? c.text : "");
    EXPECT_STREQ(KX(kx_last_error)(), c.text != nullptr ? "SDK output pointer is required" : "");
    if (c.status == KX_STATUS_OK || c.status == KX_STATUS_BUFFER_TOO_SMALL) {
      EXPECT_EQ(output.joint_count, n);  // reported even when the buffer is too small
      EXPECT_EQ(output.hand_side, KX_HAND_RIGHT);
    } else {
      EXPECT_EQ(output.joint_count, 0u);
    }
    if (c.status != KX_STATUS_OK) {
      EXPECT_EQ(joints, std::vector<double>(n, -7.0));
    }
  }
}

TEST_F(EngineStepTest, LastTargetAndSkeleton) {
  const Owned<kx_engine> engine = create_engine(kHandConfig);
  kx_target_output target{};
  target.struct_size = sizeof target;
  target.abi_version = 2;
  const std::size_t count = KX(kx_engine_skeleton_node_count)(engine.get());
  std::vector<kx_skeleton_node_pose> nodes(count);
  kx_skeleton_pose_output skeleton{48, 2, 0.0, -1, 0, count, nodes.data()};
  const auto texts = [&](kx_status target_status, kx_status skeleton_status, const char* target_text,
                         const char* skeleton_text) {
    EXPECT_EQ(KX(kx_engine_get_last_target)(engine.get(), &target), target_status);
    EXPECT_STREQ(KX(kx_engine_last_error)(engine.get()), target_text);
    EXPECT_EQ(KX(kx_engine_get_last_skeleton_pose)(engine.get(), &skeleton), skeleton_status);
    EXPECT_STREQ(KX(kx_engine_last_error)(engine.get()), skeleton_text);
  };
  texts(KX_STATUS_INVALID_ARGUMENT, KX_STATUS_INVALID_ARGUMENT, "native engine has no target frame yet",
        "native engine has no skeleton pose yet");
  // A frame of the other side that fails its glove checks still selects that side.
  kx_status status = KX_STATUS_OK;
  step(engine.get(), left_->pose("open", 0.5));
  kx_engine_input right = right_->pose("fist", 0.0);
  right.local_tip_mask = 1;
  step(engine.get(), right, &status);
  EXPECT_EQ(status, KX_STATUS_INVALID_ARGUMENT);
  texts(KX_STATUS_INVALID_ARGUMENT, KX_STATUS_INVALID_ARGUMENT, "native engine has no target frame yet",
        "native engine has no skeleton pose yet");
  EXPECT_EQ(skeleton.hand_side, KX_HAND_RIGHT);

  step(engine.get(), right_->pose("fist", 4.0));
  target.struct_size = sizeof target - 1;
  skeleton.node_capacity = count - 1;
  texts(KX_STATUS_INVALID_ARGUMENT, KX_STATUS_BUFFER_TOO_SMALL, "target output struct_size is invalid",
        "target output struct_size is invalid");
  EXPECT_EQ(skeleton.node_count, count);
  target.struct_size = sizeof target + 100;  // rewritten to the record's own size
  target.abi_version = 3;
  skeleton.node_capacity = count;
  skeleton.abi_version = 1;
  texts(KX_STATUS_ABI_MISMATCH, KX_STATUS_ABI_MISMATCH, "target output ABI version does not match",
        "skeleton pose output ABI version does not match");
  target.abi_version = 2;
  skeleton.abi_version = 2;
  texts(KX_STATUS_OK, KX_STATUS_OK, "", "");

  EXPECT_EQ(target.struct_size, sizeof target);
  EXPECT_EQ(std::string(target.source.data, target.source.size), "synthetic glove");
  EXPECT_TRUE(target.timestamp_s == 4.0 && skeleton.timestamp_s == 4.0);
  EXPECT_EQ(target.pinch_mask & 1u, 0u);  // the thumb is never a pinch candidate
}

TEST_F(EngineStepTest, VelocityLimitScalesTheWholeChange) {
  const std::string rules =
      "solver:\n  output_velocity_limit:\n    enabled: true\n    max_velocity_rad_s: 6.0\n    max_dt_s: ";
  const std::string capped = rules + "0.016666666666666666\n";
  const std::string stop =
      "solver:\n  output_velocity_limit:\n    enabled: true\n    max_velocity_rad_s: -3\n    max_dt_s: 0\n";
  Owned<kx_engine> free_engine = engine_with(""), limited = engine_with(capped),
                   late_capped = engine_with(capped), same_time = engine_with(capped),
                   uncapped_dt = engine_with(rules + "0\n"), stopped = engine_with(stop);
  std::vector<double> first;
  for (kx_engine* e : {free_engine.get(), limited.get(), late_capped.get(), same_time.get(),
                       uncapped_dt.get(), stopped.get()})
    first = step(e, right_->pose("open", 10.0));
  const std::vector<double> unlimited = step(free_engine.get(), right_->pose("fist", 10.0 + 1.0 / 60));
  const std::vector<double> scaled = step(limited.get(), right_->pose("fist", 10.0 + 1.0 / 60));
  const double largest = max_abs_difference(unlimited, first);
  ASSERT_GT(largest, 0.1);
  EXPECT_NEAR(max_abs_difference(scaled, first), 0.1, 1e-12);
  for (std::size_t i = 0; i < scaled.size(); ++i)
    EXPECT_NEAR(scaled[i], first[i] + (0.1 / largest) * (unlimited[i] - first[i]), 1e-9);
  // A negative speed reads as zero; one second later the cap counts 1/60 s, with max_dt_s 0 the whole
  // second (6 rad); a step whose time does not advance is not limited.
  EXPECT_EQ(step(stopped.get(), right_->pose("fist", 11.0)), first);
  EXPECT_NEAR(max_abs_difference(step(late_capped.get(), right_->pose("fist", 11.0)), first), 0.1, 1e-12);
  EXPECT_NEAR(max_abs_difference(step(uncapped_dt.get(), right_->pose("fist", 11.0)), unlimited), 0, 1e-9);
  EXPECT_NEAR(max_abs_difference(step(same_time.get(), right_->pose("fist", 10.0)), unlimited), 0, 1e-9);
}

TEST_F(EngineStepTest, HoldWhenStalled) {
  const std::string hold =
      "solver:\n  output_hold_when_stalled:\n    enabled: true\n    target_delta_threshold_m: ";
  const std::string rest = "\n    shape_delta_threshold_m: 0.01\n    q_delta_norm_threshold_rad: 1.0\n";
  // Glove jitter of 3 mm on every fingertip, out of the back of the hand where straight fingers follow.
  const kx_engine_input still = right_->pose("five_close", 1.0);
  kx_engine_input jitter = still;
  jitter.timestamp_s = 2.0;
  for (kx_pose& tip : jitter.local_tips) tip.position[2] += 0.003;
  Owned<kx_engine> reference = engine_with(""), holding = engine_with(hold + "0.01" + rest),
                   tight = engine_with(hold + "0.0" + rest);
  const std::vector<double> base = step(reference.get(), still);
  ASSERT_EQ(step(holding.get(), still), base);
  ASSERT_EQ(step(tight.get(), still), base);
  const std::vector<double> moved = step(reference.get(), jitter);
  ASSERT_NE(moved, base);
  EXPECT_EQ(step(holding.get(), jitter), base);  // within every threshold: held exactly
  EXPECT_EQ(step(tight.get(), jitter), moved);   // the targets moved past a zero threshold
}

// A slow solver (two iterations move once) falls far behind a jump of the glove. Re-seeding solves again
// from the last good vector and from the rest pose and keeps the better outcome, never a worse one.
TEST_F(EngineStepTest, ReseedKeepsTheBetterSolve) {
  const std::string slow =
      "solver:\n  optimizer:\n    gn_max_iters: 2\n    gn_step_scales: [0.2]\n  error_reseed:\n";
  Owned<kx_engine> plain = engine_with(slow + "    enabled: false\n"),
                   reseeded = engine_with(slow + "    enabled: true\n    shape_max_threshold_m: 0.01\n"),
                   lax = engine_with(slow + "    enabled: true\n    shape_max_threshold_m: 10\n");
  hand::PinocchioHandKinematics& model = right_->kinematics();
  double t = 0.0;
  std::vector<double> out[3];  // plain, re-seeded, lax
  const auto run = [&](const std::vector<double>& q) {
    const kx_engine_input input = right_->active(q, t += 0.01);
    int i = 0;
    for (kx_engine* engine : {plain.get(), reseeded.get(), lax.get()}) {
      out[i++] = step(engine, input);
    }
    EXPECT_EQ(out[2], out[0]);  // a threshold never crossed changes nothing
  };
  const std::vector<double> fist = model.pose_active("fist");
  const std::vector<double> open = model.pose_active("open");
  ASSERT_EQ(open, model.q_rest_active());

  // Chasing the fist from nearby, a solve from rest is never better: the outputs agree bit for bit.
  std::vector<double> errors;
  for (int i = 0; i < 40; ++i) {
    run(fist);
    errors.push_back(tip_error(out[0], fist));
    ASSERT_EQ(out[1], out[0]) << "frame " << i;
  }
  EXPECT_GT(errors.front(), 0.05);
  EXPECT_LT(errors.back(), 0.01);  // within the threshold: the last good vector

  // Three frames towards a half-closed hand, then the fist again: the re-seeded engine starts back from
  // the last good vector.
  std::vector<double> half(fist.size());
  for (std::size_t i = 0; i < half.size(); ++i) half[i] = 0.6 * fist[i] + 0.4 * open[i];
  for (int i = 0; i < 3; ++i) {
    run(half);
    ASSERT_EQ(out[1], out[0]) << "frame " << i;
  }
  run(fist);
  const double plain_fist = tip_error(out[0], fist), reseeded_fist = tip_error(out[1], fist);
  EXPECT_GT(plain_fist, 0.01);
  EXPECT_LE(reseeded_fist, errors.back() + 1e-9);

  // Then the open hand: the re-seeded engine starts at rest.
  run(open);
  const double plain_open = tip_error(out[0], open), reseeded_open = tip_error(out[1], open);
  std::printf(
      "[reseed] fingertip error back at the fist: plain %.4f m, re-seeded %.4f m; after the jump to "
      "open: plain %.4f m, re-seeded %.6f m\n",
      plain_fist, reseeded_fist, plain_open, reseeded_open);
  EXPECT_GT(plain_open, 0.05);
  EXPECT_LT(reseeded_open, 0.001);
}

// With physics on, the caller gets the simulated joints, and the observer's counters reach the getters.
TEST_F(EngineStepTest, PhysicsReplacesTheOutput) {
  Owned<kx_engine> engine = engine_with("kelto_sdk:\n  physics_enabled: true\n");
  ASSERT_NE(engine, nullptr);
  ASSERT_EQ(KX(kx_engine_physics_enabled)(engine.get()), 1);
  ASSERT_NE(KX(kx_engine_physics_model_path)(engine.get()), nullptr);
  EXPECT_TRUE(std::filesystem::is_regular_file(KX(kx_engine_physics_model_path)(engine.get())));
  EXPECT_GT(KX(kx_engine_physics_actuator_count)(engine.get()), 0);
  EXPECT_EQ(KX(kx_engine_physics_step_count)(engine.get()), 0);
  Owned<kx_engine> kinematic_only = engine_with("");
  const std::vector<double> simulated = step(engine.get(), right_->pose("fist", 0.0));
  const std::vector<double> solved = step(kinematic_only.get(), right_->pose("fist", 0.0));
  EXPECT_GT(KX(kx_engine_physics_step_count)(engine.get()), 0);
  EXPECT_GE(KX(kx_engine_physics_contact_count)(engine.get()), 0);
  for (double value : simulated) EXPECT_TRUE(std::isfinite(value));
  EXPECT_GT(max_abs_difference(simulated, solved), 1e-6);  // the simulation lags the jump
}

}  // namespace
}  // namespace kelto::test
