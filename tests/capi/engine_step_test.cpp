// The engine step on glove frames of the synthetic glove: record and glove data checks, which error text
// each failure lands in, the output rules (velocity limit, hold when stalled) and the last-output getters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "capi/engine_support.hpp"

namespace kelto::test {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class EngineStepTest : public BundledHandSuite {
 protected:
  void SetUp() override {
    use_bundled_resource_root();
    engine_ = create_engine(bundled_hand_config().string());
    ASSERT_NE(engine_, nullptr);
  }

  // An engine over the bundled configuration with the smoother off and `yaml` on top.
  EnginePtr engine_with(const std::string& yaml) {
    return create_engine(overlay_config(dir_, "engine", "joint_smoother:\n  enabled: false\n" + yaml));
  }

  static double max_abs_difference(const std::vector<double>& a, const std::vector<double>& b) {
    double worst = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
  }

  TempDir dir_;
  EnginePtr engine_;
};

TEST_F(EngineStepTest, RecordChecksSetTheEngineText) {
  const kx_engine_input good = right_->pose("open", 0.0);
  struct Case {
    const char* name;
    kx_engine_input input;
    uint32_t output_size;
    uint32_t output_abi;
    kx_status status;
    const char* text;
  };
  std::vector<Case> cases;
  kx_engine_input in = good;
  in.struct_size = 1103;
  in.abi_version = 7;
  cases.push_back(
      {"input size first", in, 48, 2, KX_STATUS_INVALID_ARGUMENT, "input or output struct_size is invalid"});
  cases.push_back(
      {"output size", good, 47, 2, KX_STATUS_INVALID_ARGUMENT, "input or output struct_size is invalid"});
  in = good;
  in.abi_version = 1;
  cases.push_back(
      {"input version", in, 48, 2, KX_STATUS_ABI_MISMATCH, "input or output ABI version does not match"});
  cases.push_back(
      {"output version", good, 48, 3, KX_STATUS_ABI_MISMATCH, "input or output ABI version does not match"});
  in = good;
  in.hand_side = 2;
  cases.push_back({"side 2", in, 48, 2, KX_STATUS_INVALID_ARGUMENT, "input hand side is invalid"});
  in.hand_side = -1;
  cases.push_back({"side -1", in, 48, 2, KX_STATUS_INVALID_ARGUMENT, "input hand side is invalid"});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KX(kx_sdk_create)(nullptr, nullptr);  // a thread text that these failures must leave alone
    std::vector<double> joints(KX(kx_engine_joint_count)(engine_.get()));
    kx_engine_output output{};
    output.struct_size = c.output_size;
    output.abi_version = c.output_abi;
    output.joint_capacity = joints.size();
    output.joints = joints.data();
    EXPECT_EQ(KX(kx_engine_step)(engine_.get(), &c.input, &output), c.status);
    EXPECT_STREQ(KX(kx_engine_last_error)(engine_.get()), c.text);
    EXPECT_STREQ(KX(kx_last_error)(), "SDK output pointer is required");
    EXPECT_EQ(output.joint_count, 0u);
  }
}

TEST_F(EngineStepTest, GloveDataChecksSetTheSideText) {
  const kx_engine_input good = right_->pose("open", 0.0);
  struct Case {
    const char* name;
    kx_engine_input input;
    const char* text;  // null: the step succeeds
  };
  std::vector<Case> cases;
  kx_engine_input in = good;
  in.local_tip_mask &= ~(1u << 3);
  cases.push_back({"missing local ring", in, "all configured local fingertip poses are required"});
  in = good;
  in.root.rotation[4] = kNaN;
  cases.push_back({"root", in, "root pose contains a non-finite value"});
  in = good;
  in.local_tips[2].position[1] = std::numeric_limits<double>::infinity();
  cases.push_back({"local middle", in, "local fingertip pose contains a non-finite value"});
  in = good;
  in.world_tips[4].position[0] = kNaN;
  cases.push_back({"world little", in, "world fingertip pose contains a non-finite value"});
  in.world_tip_mask &= ~(1u << 4);
  cases.push_back({"world little not given", in, nullptr});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const StepResult result = step(engine_.get(), c.input);
    if (c.text == nullptr) {
      EXPECT_EQ(result.status, KX_STATUS_OK) << KX(kx_engine_last_error)(engine_.get());
      EXPECT_STREQ(KX(kx_engine_last_error)(engine_.get()), "");
      EXPECT_STREQ(KX(kx_last_error)(), "");
    } else {
      EXPECT_EQ(result.status, KX_STATUS_INVALID_ARGUMENT);
      EXPECT_STREQ(KX(kx_engine_last_error)(engine_.get()), c.text);
    }
  }
}

// The engine's own text wins over the side's, and a successful step leaves it; the target getter clears it.
TEST_F(EngineStepTest, EngineTextOutlivesSuccessfulSteps) {
  kx_engine_input input = right_->pose("open", 0.0);
  input.struct_size = 8;
  EXPECT_EQ(step(engine_.get(), input).status, KX_STATUS_INVALID_ARGUMENT);
  input.struct_size = sizeof input;
  input.local_tip_mask = 0;
  EXPECT_EQ(step(engine_.get(), input).status, KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_engine_last_error)(engine_.get()), "input or output struct_size is invalid");

  input = right_->pose("open", 0.0);
  EXPECT_EQ(step(engine_.get(), input).status, KX_STATUS_OK);
  EXPECT_STREQ(KX(kx_engine_last_error)(engine_.get()), "input or output struct_size is invalid");

  kx_target_output target{};
  target.struct_size = sizeof target;
  target.abi_version = 2;
  EXPECT_EQ(KX(kx_engine_get_last_target)(engine_.get(), &target), KX_STATUS_OK);
  EXPECT_STREQ(KX(kx_engine_last_error)(engine_.get()), "");
}

TEST_F(EngineStepTest, BufferTooSmallStillReportsTheCount) {
  const std::size_t n = KX(kx_engine_joint_count)(engine_.get());
  const kx_engine_input input = right_->pose("open", 2.5);
  std::vector<double> joints(n, -7.0);
  for (const bool null_buffer : {false, true}) {
    SCOPED_TRACE(null_buffer);
    kx_engine_output output{};
    output.struct_size = sizeof output;
    output.abi_version = 2;
    output.joint_capacity = null_buffer ? n : n - 1;
    output.joints = null_buffer ? nullptr : joints.data();
    EXPECT_EQ(KX(kx_engine_step)(engine_.get(), &input, &output), KX_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(output.joint_count, n);
    EXPECT_EQ(output.timestamp_s, 2.5);
    EXPECT_EQ(output.hand_side, KX_HAND_RIGHT);
    EXPECT_STREQ(KX(kx_engine_last_error)(engine_.get()), "joint output buffer is too small");
  }
  EXPECT_TRUE(std::all_of(joints.begin(), joints.end(), [](double v) { return v == -7.0; }));
}

// The synthetic glove reports the fingertips of a known pose; the joints that come back put the model's
// fingertips where that pose has them.
TEST_F(EngineStepTest, StepRecoversTheGlovePose) {
  EnginePtr engine = engine_with("");
  for (const char* pose : {"open", "fist"}) {
    SCOPED_TRACE(pose);
    BundledGlove& glove = *right_;
    const std::vector<double> truth = glove.kinematics().pose_active(pose);
    const kx_engine_input input = glove.pose(pose, 1.0);
    StepResult result;
    for (int i = 0; i < 5; ++i) result = step(engine.get(), input);
    ASSERT_EQ(result.status, KX_STATUS_OK) << KX(kx_engine_last_error)(engine.get());
    EXPECT_EQ(result.output.struct_size, sizeof(kx_engine_output));
    EXPECT_EQ(result.output.joint_count, result.joints.size());
    EXPECT_EQ(result.output.timestamp_s, 1.0);

    const auto reached =
        glove.kinematics().state_from_active(glove.kinematics().active_from_full(result.joints));
    const auto wanted = glove.kinematics().state_from_active(truth);
    for (const auto& [finger, position] : wanted.tip_positions_wrist) {
      const auto& got = reached.tip_positions_wrist.at(finger);
      const double error = std::hypot(got[0] - position[0], got[1] - position[1], got[2] - position[2]);
      EXPECT_LT(error, 0.01) << finger;
    }
  }
}

TEST_F(EngineStepTest, StepSelectsTheFrameSide) {
  EXPECT_EQ(step(engine_.get(), left_->pose("open", 0.5)).status, KX_STATUS_OK);
  kx_skeleton_pose_output skeleton{};
  skeleton.struct_size = sizeof skeleton;
  skeleton.abi_version = 2;
  std::vector<kx_skeleton_node_pose> nodes(KX(kx_engine_skeleton_node_count)(engine_.get()));
  skeleton.node_capacity = nodes.size();
  skeleton.nodes = nodes.data();
  EXPECT_EQ(KX(kx_engine_get_last_skeleton_pose)(engine_.get(), &skeleton), KX_STATUS_OK);
  EXPECT_EQ(skeleton.hand_side, KX_HAND_LEFT);

  // A frame that fails its glove checks still switches the side; the right side has no skeleton yet.
  kx_engine_input right = right_->pose("open", 0.0);
  right.local_tip_mask = 1;
  EXPECT_EQ(step(engine_.get(), right).status, KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(KX(kx_engine_get_last_skeleton_pose)(engine_.get(), &skeleton), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(skeleton.hand_side, KX_HAND_RIGHT);
  EXPECT_STREQ(KX(kx_engine_last_error)(engine_.get()), "native engine has no skeleton pose yet");
}

TEST_F(EngineStepTest, LastTarget) {
  kx_target_output target;
  std::memset(&target, 0xab, sizeof target);
  target.struct_size = sizeof target;
  target.abi_version = 2;
  EXPECT_EQ(KX(kx_engine_get_last_target)(engine_.get(), &target), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_engine_last_error)(engine_.get()), "native engine has no target frame yet");

  target.struct_size = sizeof target - 1;
  EXPECT_EQ(KX(kx_engine_get_last_target)(engine_.get(), &target), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_engine_last_error)(engine_.get()), "target output struct_size is invalid");
  target.struct_size = sizeof target;
  target.abi_version = 3;
  EXPECT_EQ(KX(kx_engine_get_last_target)(engine_.get(), &target), KX_STATUS_ABI_MISMATCH);
  EXPECT_STREQ(KX(kx_engine_last_error)(engine_.get()), "target output ABI version does not match");

  ASSERT_EQ(step(engine_.get(), right_->pose("fist", 4.0)).status, KX_STATUS_OK);
  target.struct_size = sizeof target + 100;  // rewritten to the record's own size
  target.abi_version = 2;
  ASSERT_EQ(KX(kx_engine_get_last_target)(engine_.get(), &target), KX_STATUS_OK);
  EXPECT_EQ(target.struct_size, sizeof target);
  EXPECT_EQ(std::string(target.source.data, target.source.size), "synthetic glove");
  EXPECT_EQ(target.timestamp_s, 4.0);
  EXPECT_EQ(target.hand_side, KX_HAND_RIGHT);
  EXPECT_EQ(target.finger_mask, 31u);
  EXPECT_EQ(target.pinch_mask & 1u, 0u);  // the thumb is never a pinch candidate
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_GT(std::abs(target.world_targets[i].rotation[0]) + std::abs(target.world_targets[i].rotation[1]) +
                  std::abs(target.world_targets[i].rotation[2]),
              0.5);
    EXPECT_GT(std::hypot(target.wrist_targets[i].position[0], target.wrist_targets[i].position[1],
                         target.wrist_targets[i].position[2]),
              0.02);
    for (double value : target.human_tips[i]) EXPECT_TRUE(std::isfinite(value));
    if ((target.pinch_mask & (1u << i)) == 0) {
      EXPECT_EQ(target.pinch_weights[i], 0.0);
      EXPECT_EQ(target.pinch_vectors[i][0], 0.0);
    }
  }
  // World and wrist-frame targets describe the same points.
  for (int i = 0; i < 5; ++i) {
    const kx_pose& wrist_target = target.wrist_targets[i];
    for (int r = 0; r < 3; ++r) {
      double world = target.wrist.position[r];
      for (int c = 0; c < 3; ++c) world += target.wrist.rotation[3 * r + c] * wrist_target.position[c];
      EXPECT_NEAR(world, target.world_targets[i].position[r], 1e-9);
    }
  }
}

TEST_F(EngineStepTest, LastSkeletonPose) {
  const std::size_t count = KX(kx_engine_skeleton_node_count)(engine_.get());
  ASSERT_GT(count, 0u);
  std::vector<kx_skeleton_node_pose> nodes(count);
  kx_skeleton_pose_output out{};
  out.struct_size = sizeof out;
  out.abi_version = 2;
  out.node_capacity = count;
  out.nodes = nodes.data();
  EXPECT_EQ(KX(kx_engine_get_last_skeleton_pose)(engine_.get(), &out), KX_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(KX(kx_engine_last_error)(engine_.get()), "native engine has no skeleton pose yet");

  ASSERT_EQ(step(engine_.get(), right_->pose("fist", 3.25)).status, KX_STATUS_OK);
  out.node_capacity = count - 1;
  EXPECT_EQ(KX(kx_engine_get_last_skeleton_pose)(engine_.get(), &out), KX_STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(out.node_count, count);
  EXPECT_STREQ(KX(kx_engine_last_error)(engine_.get()), "skeleton pose output buffer is too small");

  out.node_capacity = count;
  out.abi_version = 1;
  EXPECT_EQ(KX(kx_engine_get_last_skeleton_pose)(engine_.get(), &out), KX_STATUS_ABI_MISMATCH);
  EXPECT_STREQ(KX(kx_engine_last_error)(engine_.get()), "skeleton pose output ABI version does not match");
  out.abi_version = 2;
  ASSERT_EQ(KX(kx_engine_get_last_skeleton_pose)(engine_.get(), &out), KX_STATUS_OK);
  EXPECT_EQ(out.timestamp_s, 3.25);
  EXPECT_EQ(out.node_count, count);
  for (const kx_skeleton_node_pose& node : nodes) {
    const double norm =
        std::sqrt(node.orientation[0] * node.orientation[0] + node.orientation[1] * node.orientation[1] +
                  node.orientation[2] * node.orientation[2] + node.orientation[3] * node.orientation[3]);
    EXPECT_NEAR(norm, 1.0, 1e-9);
  }
}

// ---------------------------------------------------------------- output rules

TEST_F(EngineStepTest, VelocityLimitScalesTheWholeChange) {
  const std::string rules =
      "solver:\n  output_velocity_limit:\n    enabled: true\n    max_velocity_rad_s: 6.0\n    max_dt_s: ";
  EnginePtr free_engine = engine_with("");
  EnginePtr limited = engine_with(rules + "0.016666666666666666\n");
  EnginePtr uncapped_dt = engine_with(rules + "0\n");
  EnginePtr stopped = engine_with(
      "solver:\n  output_velocity_limit:\n    enabled: true\n    max_velocity_rad_s: -3\n    max_dt_s: 0\n");

  const kx_engine_input open = right_->pose("open", 10.0);
  const StepResult first = step(limited.get(), open);
  ASSERT_EQ(first.status, KX_STATUS_OK);
  ASSERT_EQ(step(free_engine.get(), open).status, KX_STATUS_OK);
  ASSERT_EQ(step(uncapped_dt.get(), open).status, KX_STATUS_OK);
  ASSERT_EQ(step(stopped.get(), open).status, KX_STATUS_OK);

  const kx_engine_input fist = right_->pose("fist", 10.0 + 1.0 / 60.0);
  const StepResult unlimited = step(free_engine.get(), fist);
  const StepResult scaled = step(limited.get(), fist);
  ASSERT_EQ(scaled.status, KX_STATUS_OK);
  const double largest = max_abs_difference(unlimited.joints, first.joints);
  ASSERT_GT(largest, 0.1);
  EXPECT_NEAR(max_abs_difference(scaled.joints, first.joints), 0.1, 1e-12);
  for (std::size_t i = 0; i < scaled.joints.size(); ++i) {
    EXPECT_NEAR(scaled.joints[i], first.joints[i] + (0.1 / largest) * (unlimited.joints[i] - first.joints[i]),
                1e-9);
  }

  // A negative speed reads as zero: the output does not move at all.
  EXPECT_EQ(step(stopped.get(), fist).joints, first.joints);

  // One second later: with max_dt_s 0 the whole second counts (6 rad allowed), else only 1/60 s of it.
  const kx_engine_input late = right_->pose("fist", 11.0);
  EnginePtr capped = engine_with(rules + "0.016666666666666666\n");
  ASSERT_EQ(step(capped.get(), open).status, KX_STATUS_OK);
  EXPECT_NEAR(max_abs_difference(step(capped.get(), late).joints, first.joints), 0.1, 1e-12);
  EXPECT_NEAR(max_abs_difference(step(uncapped_dt.get(), late).joints, unlimited.joints), 0.0, 1e-9);

  // A step whose time does not advance is not limited.
  EnginePtr same_time = engine_with(rules + "0.016666666666666666\n");
  ASSERT_EQ(step(same_time.get(), open).status, KX_STATUS_OK);
  const kx_engine_input fist_same_time = right_->pose("fist", 10.0);
  EXPECT_NEAR(max_abs_difference(step(same_time.get(), fist_same_time).joints, unlimited.joints), 0.0, 1e-9);
}

TEST_F(EngineStepTest, HoldWhenStalled) {
  const std::string hold = "solver:\n  output_hold_when_stalled:\n    enabled: true\n";
  // Small glove jitter: three millimetres on every fingertip, out of the back of the hand, where the
  // straight fingers can follow it.
  std::vector<double> q = right_->kinematics().pose_active("five_close");
  const kx_engine_input still = right_->active(q, 1.0);
  kx_engine_input jitter = still;
  jitter.timestamp_s = 2.0;
  for (kx_pose& tip : jitter.local_tips) tip.position[2] += 0.003;

  EnginePtr reference = engine_with("");
  EnginePtr holding = engine_with(hold +
                                  "    target_delta_threshold_m: 0.01\n    shape_delta_threshold_m: 0.01\n"
                                  "    q_delta_norm_threshold_rad: 1.0\n");
  EnginePtr tight = engine_with(hold +
                                "    target_delta_threshold_m: 0.0\n    shape_delta_threshold_m: 0.01\n"
                                "    q_delta_norm_threshold_rad: 1.0\n");

  const StepResult base = step(reference.get(), still);
  ASSERT_EQ(step(holding.get(), still).joints, base.joints);
  ASSERT_EQ(step(tight.get(), still).joints, base.joints);

  const StepResult moved = step(reference.get(), jitter);
  ASSERT_NE(moved.joints, base.joints);
  EXPECT_EQ(step(holding.get(), jitter).joints, base.joints);  // within every threshold: held exactly
  EXPECT_EQ(step(tight.get(), jitter).joints, moved.joints);   // the targets moved past a zero threshold
}

// The solver takes one short step per frame (it records its best vector at each linearization, so two
// iterations move once), which leaves an engine far behind after a jump of the glove. Re-seeding solves
// again from the last good vector and from the rest pose and keeps the better outcome, never a worse one.
TEST_F(EngineStepTest, ReseedKeepsTheBetterSolve) {
  const std::string slow =
      "solver:\n  optimizer:\n    gn_max_iters: 2\n    gn_step_scales: [0.2]\n  error_reseed:\n";
  EnginePtr plain = engine_with(slow + "    enabled: false\n");
  EnginePtr reseeded = engine_with(slow + "    enabled: true\n    shape_max_threshold_m: 0.01\n");
  EnginePtr lax = engine_with(slow + "    enabled: true\n    shape_max_threshold_m: 10\n");
  hand::PinocchioHandKinematics& model = right_->kinematics();
  // Worst wrist-frame fingertip distance (m) between an output and the active vector `q`.
  const auto tip_error = [&model](const std::vector<double>& joints, const std::vector<double>& q) {
    const auto got = model.state_from_active(model.active_from_full(joints)).tip_positions_wrist;
    double worst = 0.0;
    for (const auto& [finger, p] : model.state_from_active(q).tip_positions_wrist) {
      const auto& g = got.at(finger);
      worst = std::max(worst, std::hypot(g[0] - p[0], g[1] - p[1], g[2] - p[2]));
    }
    return worst;
  };
  double t = 0.0;
  std::vector<double> out[3];  // plain, re-seeded, lax
  const auto run = [&](const std::vector<double>& q) {
    const kx_engine_input input = right_->active(q, t += 0.01);
    int i = 0;
    for (kx_engine* engine : {plain.get(), reseeded.get(), lax.get()}) {
      const StepResult result = step(engine, input);
      ASSERT_EQ(result.status, KX_STATUS_OK) << KX(kx_engine_last_error)(engine);
      out[i++] = result.joints;
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

  // Three frames towards a half-closed hand (nearer the fist than rest), then the fist again: the plain
  // engine starts back from where it strayed, the re-seeded one from the last good vector.
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

  // Then the open hand: the plain engine moves part of the way, the re-seeded one starts at rest.
  run(open);
  const double plain_open = tip_error(out[0], open), reseeded_open = tip_error(out[1], open);
  std::printf(
      "[reseed] fingertip error back at the fist: plain %.4f m, re-seeded %.4f m; after the jump to "
      "open: plain %.4f m, re-seeded %.6f m\n",
      plain_fist, reseeded_fist, plain_open, reseeded_open);
  EXPECT_GT(plain_open, 0.05);
  EXPECT_LT(reseeded_open, 0.001);
  EXPECT_LT(max_abs_difference(model.active_from_full(out[1]), open), 0.01);
  EXPECT_GT(max_abs_difference(model.active_from_full(out[0]), open), 0.3);
}

// With physics on, the caller gets the simulated joints, and the observer's counters reach the getters.
TEST_F(EngineStepTest, PhysicsObserverFollowsTheSteps) {
  EnginePtr engine = engine_with("kelto_sdk:\n  physics_enabled: true\n");
  ASSERT_NE(engine, nullptr);
  ASSERT_EQ(KX(kx_engine_physics_enabled)(engine.get()), 1);
  const char* model_path = KX(kx_engine_physics_model_path)(engine.get());
  ASSERT_NE(model_path, nullptr);
  EXPECT_TRUE(std::filesystem::is_regular_file(model_path)) << model_path;
  EXPECT_GT(KX(kx_engine_physics_actuator_count)(engine.get()), 0);
  EXPECT_EQ(KX(kx_engine_physics_step_count)(engine.get()), 0);

  EnginePtr kinematic_only = engine_with("");
  const kx_engine_input fist = right_->pose("fist", 0.0);
  const StepResult simulated = step(engine.get(), fist);
  ASSERT_EQ(simulated.status, KX_STATUS_OK) << KX(kx_engine_last_error)(engine.get());
  const StepResult solved = step(kinematic_only.get(), fist);
  EXPECT_GT(KX(kx_engine_physics_step_count)(engine.get()), 0);
  EXPECT_GE(KX(kx_engine_physics_contact_count)(engine.get()), 0);
  for (double value : simulated.joints) EXPECT_TRUE(std::isfinite(value));
  // The simulation lags behind a jump from rest to a fist.
  EXPECT_GT(max_abs_difference(simulated.joints, solved.joints), 1e-6);
}

}  // namespace
}  // namespace kelto::test
