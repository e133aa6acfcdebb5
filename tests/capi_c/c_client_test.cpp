// The library driven by a C program (c_client.c, compiled as C and linked against libkelto_hand) on glove
// frames of both hands made by the synthetic glove, one hand at a time and both on two threads at once.
#include "c_client.h"

#include <gtest/gtest.h>

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

// The glove frames of one side for the open hand, a fist, mcp90 and the open hand again, 8 frames each;
// `open` receives the open pose's full joint vector.
std::vector<kx_engine_input> glove_frames(const std::string& side, std::vector<double>* open = nullptr) {
  const Config config = Config::load(kConfig, "", side);
  PinocchioHandKinematics model(config, side);
  synthetic::SyntheticGloveOptions options;
  options.side = side;
  synthetic::SyntheticGlove glove(TipMappingParameters::from_config(config, side), options);
  if (open != nullptr) *open = model.expand_active(model.pose_active("open"));
  std::vector<kx_engine_input> frames;
  double t = 0.0;
  for (const char* pose : {"open", "fist", "mcp90", "open"}) {
    for (int i = 0; i < 8; ++i, t += 0.01)
      frames.push_back(synthetic::engine_input(glove.frame_from_active(model, model.pose_active(pose), t),
                                               side == "left" ? KX_HAND_LEFT : KX_HAND_RIGHT, t,
                                               "synthetic glove"));
  }
  return frames;
}

// Each side alone, then both sides at once on two threads: the same joints bit for bit, and each thread's
// error text its own.
TEST(CClient, DrivesBothHandsAloneAndOnTwoThreads) {
  std::vector<kx_engine_input> frames[2];
  c_client_report alone[2], together[2];
  for (int s = 0; s < 2; ++s) {
    const std::string side = s == 0 ? "right" : "left";
    std::vector<double> open;
    frames[s] = glove_frames(side, &open);
    ASSERT_EQ(c_client_run(kResources.c_str(), kHand, frames[s].data(), frames[s].size(), &alone[s]), 0)
        << alone[s].error;
    // Names are those of the configuration's default side (right) for both; the target is the glove's.
    EXPECT_EQ(std::string(alone[s].first_joint_name).substr(0, 6), "right_");
    EXPECT_EQ(alone[s].target_side, frames[s].back().hand_side);
    EXPECT_EQ(alone[s].target_finger_mask, 0x1fu);
    EXPECT_EQ(alone[s].skeleton_node_count, 25u);
    // Back at the open hand, the joints are close to the pose the glove was made from.
    ASSERT_EQ(open.size(), alone[s].joint_count);
    for (std::size_t i = 0; i < open.size(); ++i) EXPECT_NEAR(alone[s].joints[i], open[i], 0.15) << side << i;
  }
  int results[2] = {-1, -1};
  std::string texts[2];
  const auto run = [&](int s) {
    results[s] = c_client_run(kResources.c_str(), kHand, frames[s].data(), frames[s].size(), &together[s]);
    if (s == 1) kx_sdk_create(nullptr, nullptr);  // only this thread fails a call afterwards
    texts[s] = kx_last_error();
  };
  std::thread right(run, 0), left(run, 1);
  right.join();
  left.join();
  for (int s = 0; s < 2; ++s) {
    ASSERT_EQ(results[s], 0) << together[s].error;
    ASSERT_EQ(together[s].joint_count, alone[s].joint_count);
    for (std::size_t i = 0; i < alone[s].joint_count; ++i)
      EXPECT_EQ(together[s].joints[i], alone[s].joints[i]);
  }
  EXPECT_EQ(texts[0], "");
  EXPECT_EQ(texts[1], "SDK output pointer is required");
}

TEST(CClient, StatusesAndErrorTextRules) {
  const std::vector<kx_engine_input> frames = glove_frames("right");
  c_client_report report;
  EXPECT_EQ(c_client_check_errors(kResources.c_str(), kHand, frames.data(), &report), 0) << report.error;
}

}  // namespace
