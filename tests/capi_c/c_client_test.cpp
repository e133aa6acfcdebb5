// The library driven by a C program (c_client.c, compiled as C and linked against libkelto_hand) on glove
// frames of both hands made by the synthetic glove; and engines stepped from two threads at once.
#include "c_client.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "config/config.hpp"
#include "kinematics/pinocchio_hand_kinematics.hpp"
#include "retargeting/tip_mapping_parameters.hpp"
#include "synthetic_glove/engine_input.hpp"
#include "synthetic_glove/synthetic_glove.hpp"

namespace {

using namespace kelto::hand;

const std::string kResources = std::string(KELTO_SOURCE_DIR) + "/resources";
const char* const kHand = "dynamic_openxr_hand";
const std::string kConfig = kResources + "/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml";

// Glove frames of one side: the named poses in turn, each held for a few frames.
std::vector<kx_engine_input> glove_frames(const std::string& side, const std::vector<std::string>& poses,
                                          int frames_per_pose) {
  const Config config = Config::load(kConfig, "", side);
  PinocchioHandKinematics model(config, side);
  synthetic::SyntheticGloveOptions options;
  options.side = side;
  synthetic::SyntheticGlove glove(TipMappingParameters::from_config(config, side), options);
  std::vector<kx_engine_input> frames;
  double t = 0.0;
  for (const std::string& pose : poses) {
    for (int i = 0; i < frames_per_pose; ++i, t += 0.01) {
      frames.push_back(synthetic::engine_input(glove.frame_from_active(model, model.pose_active(pose), t),
                                               side == "left" ? KX_HAND_LEFT : KX_HAND_RIGHT, t,
                                               "synthetic glove"));
    }
  }
  return frames;
}

TEST(CClient, DrivesBothHandsThroughTheLibrary) {
  for (const std::string side : {"right", "left"}) {
    const std::vector<kx_engine_input> frames = glove_frames(side, {"open", "fist", "open"}, 10);
    c_client_report report;
    ASSERT_EQ(c_client_run(kResources.c_str(), kHand, frames.data(), frames.size(), &report), 0)
        << report.error;
    // Names are those of the selected side, the configuration's default (right) for both runs.
    EXPECT_EQ(std::string(report.first_joint_name).substr(0, 6), "right_");
    EXPECT_EQ(report.target_side, frames.back().hand_side);
    EXPECT_EQ(report.target_finger_mask, 0x1fu);
    EXPECT_EQ(report.skeleton_node_count, 25u);
    // Back at the open hand, the joints are close to the pose the glove was made from.
    PinocchioHandKinematics model(Config::load(kConfig, "", side), side);
    const std::vector<double> open = model.expand_active(model.pose_active("open"));
    ASSERT_EQ(open.size(), report.joint_count);
    for (std::size_t i = 0; i < open.size(); ++i)
      EXPECT_NEAR(report.joints[i], open[i], 0.15) << side << " " << i;
  }
}

TEST(CClient, StatusesAndErrorTextRules) {
  const std::vector<kx_engine_input> frames = glove_frames("right", {"open"}, 1);
  c_client_report report;
  EXPECT_EQ(c_client_check_errors(kResources.c_str(), kHand, frames.data(), &report), 0) << report.error;
}

// Two threads each drive their own engine over the same frames: the joints equal those of one thread
// alone, and each thread's error text stays its own.
TEST(CClient, EnginesOnTwoThreadsMatchOneThread) {
  const std::vector<kx_engine_input> frames = glove_frames("right", {"open", "fist", "mcp90", "open"}, 8);
  c_client_report alone;
  ASSERT_EQ(c_client_run(kResources.c_str(), kHand, frames.data(), frames.size(), &alone), 0) << alone.error;
  c_client_report reports[2];
  int results[2] = {-1, -1};
  std::string texts[2];
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      results[t] = c_client_run(kResources.c_str(), kHand, frames.data(), frames.size(), &reports[t]);
      if (t == 1) kx_sdk_create(nullptr, nullptr);  // only this thread fails a call afterwards
      texts[t] = kx_last_error();
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 2; ++t) {
    ASSERT_EQ(results[t], 0) << reports[t].error;
    ASSERT_EQ(reports[t].joint_count, alone.joint_count);
    for (std::size_t i = 0; i < alone.joint_count; ++i) EXPECT_EQ(reports[t].joints[i], alone.joints[i]) << i;
  }
  EXPECT_EQ(texts[0], "");
  EXPECT_EQ(texts[1], "SDK output pointer is required");
}

}  // namespace
