// Target frames rebuilt in place over earlier ones: over a varied stream of glove samples and rules they
// equal the frames built afresh, and over a steady stream they reuse every entry without allocating.
// This program's operator new is counted for that (see below).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <random>

#include "retargeting/tip_target_frame.hpp"
#include "retargeting_test_support.hpp"

// Every operator new of the program is counted; the library's operator delete frees what malloc gave. The
// sanitizers bring an allocator of their own, so the count is left to the optimised build.
#if !defined(KELTO_SANITIZE)
#define KELTO_COUNTS_ALLOCATIONS 1
namespace {
std::atomic<long> allocations{0};
}  // namespace
void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
#endif

namespace kelto::hand {
namespace {

using test::kIdentity;
using test::Mat3;
using test::Vec3;

const std::vector<std::string> kFingers{"thumb", "first", "middle", "ring", "little"};
// Names whose diagnostics keys sort on both sides of the fixed "dynamic_palm_z_enabled", one of them
// the same key, and one too long for a string's inline buffer.
const std::vector<std::string> kOddFingers{"thumb", "enabled", "aaa", "zzz", "a_finger_with_a_long_name"};

struct Rules {
  const char* name;
  std::vector<std::string> fingers;
  std::function<void(TipMappingParameters&)> change;
};

// One rule set per refinement, each with the fingers it runs on.
std::vector<Rules> rule_sets() {
  auto side_planes = [](TipMappingParameters& p) {
    p.side_touch_enabled = true;
    p.side_touch_mcp_trigger_angle_deg = 0.0;
    p.side_touch_human_contact_threshold_m = 0.05;
    p.side_touch_planes["middle"] = {{0, 0, 0.01}, {0, 0, 1}, {0.01, 0, 0}, {1, 0, 0}};
    p.side_touch_planes["ring"] = {{0, 0.02, 0}, {0, 1, 1}, {0, 0, 0}, {0, 1, 0}};
  };
  return {
      {"shipped", kFingers, [](TipMappingParameters&) {}},
      {"no pinch", kFingers, [](TipMappingParameters& p) { p.pinch_enabled = false; }},
      {"tripod", kFingers,
       [](TipMappingParameters& p) {
         p.tripod_pinch_enabled = true;
         p.pinch_thumb_compensation_weight = 0.5;
         p.pinch_epsilon2_m_by_finger["middle"] = 0.005;
       }},
      {"dynamic palm", kFingers,
       [](TipMappingParameters& p) {
         p.dynamic_palm_enabled = true;
         p.dynamic_palm_fingers = {"first", "middle", "little"};
         p.dynamic_palm_by_finger["little"].enabled = false;
         p.mcp_joint_position["first"] = {0.01, 0, 0};
         p.mcp90_reference_vector["first"] = {0, 0, -1};
       }},
      {"thumb adduction", kFingers,
       [](TipMappingParameters& p) {
         p.dynamic_thumb_adduction_enabled = true;
         p.dynamic_thumb_adduction_driver_axis = "x";
         p.dynamic_thumb_adduction_open_driver_value = 0.01;
         p.dynamic_thumb_adduction_close_driver_value = -0.01;
         p.dynamic_thumb_adduction_close_bias_local = {0.002, 0, 0};
       }},
      {"side touch", kFingers, side_planes},
      {"three fingers", {"thumb", "first", "middle"}, [](TipMappingParameters&) {}},
      {"odd names", kOddFingers,
       [](TipMappingParameters& p) {
         p.pinch_candidate_fingers = {"zzz", "enabled", "a_finger_with_a_long_name", "aaa", "zzz"};
         p.dynamic_palm_enabled = true;
         p.dynamic_palm_fingers = kOddFingers;
       }},
  };
}

TipMappingParameters parameters(const Rules& rules) {
  TipMappingParameters p = TipMappingParameters::from_config(test::hand_config(), "right");
  p.finger_order = rules.fingers;
  rules.change(p);
  return p;
}

// Tips around the thumb, near enough for every pinch regime, turned at random; sometimes with a tip of a
// finger the rules do not use.
GloveFeatureFrame random_sample(std::mt19937_64& rng, const std::vector<std::string>& fingers, int k) {
  std::uniform_real_distribution<double> near(-0.03, 0.03), angle(-1.0, 1.0);
  GloveFeatureFrame frame;
  frame.source = k % 3 == 0 ? "glove" : "the glove of the other hand";
  frame.timestamp_s = 0.01 * k;
  for (const std::string& f : fingers) {
    frame.local_tips[f] = {{near(rng), near(rng), near(rng)},
                           test::mul(test::rot(0, angle(rng)), test::rot(2, angle(rng)))};
  }
  if (k % 4 == 0) frame.local_tips["palm"] = Pose{};
  return frame;
}

TEST(TipTargetFrameRebuild, VariedStreamEqualsFreshFrames) {
  const std::vector<Rules> rules = rule_sets();
  std::vector<TipMappingParameters> params;
  for (const Rules& r : rules) params.push_back(parameters(r));
  std::mt19937_64 rng(7);
  RetargetTargetFrame frame;
  int k = 0;
  // Runs of one rule set, then switches: the record sees steady stretches and changed key sets.
  for (int round = 0; round < 4; ++round) {
    for (std::size_t r = 0; r < rules.size(); ++r) {
      for (int i = 0; i < 10; ++i, ++k) {
        SCOPED_TRACE(std::string(rules[r].name) + ", sample " + std::to_string(k));
        const GloveFeatureFrame sample = random_sample(rng, rules[r].fingers, k);
        const Vec3 origin{0.01 * i, -0.02, 0.3};
        const Mat3 wrist = test::rot(1, 0.1 * k);
        build_tip_target_frame(sample, origin, params[r], wrist, frame);
        test::expect_same_frame(frame, build_tip_target_frame(sample, origin, params[r], wrist));
        if (HasFailure()) return;
      }
    }
  }
}

TEST(TipTargetFrameRebuild, SteadyStreamAllocatesNothing) {
#ifndef KELTO_COUNTS_ALLOCATIONS
  GTEST_SKIP() << "allocations are not counted under the sanitizers";
#else
  std::mt19937_64 rng(11);
  // The rule sets whose keys stay the same from sample to sample.
  for (const Rules& rules : rule_sets()) {
    const std::string name = rules.name;
    if (name == "thumb adduction" || name == "side touch") continue;
    const TipMappingParameters params = parameters(rules);
    std::vector<GloveFeatureFrame> samples;
    for (int k = 0; k < 20; ++k) samples.push_back(random_sample(rng, rules.fingers, 1));
    RetargetTargetFrame frame;  // after one pass, its text entries hold the longest of their texts
    for (const GloveFeatureFrame& sample : samples)
      build_tip_target_frame(sample, {}, params, kIdentity, frame);
    const long before = allocations.load();
    for (const GloveFeatureFrame& sample : samples)
      build_tip_target_frame(sample, {}, params, kIdentity, frame);
    EXPECT_EQ(allocations.load() - before, 0) << name;
  }
#endif
}

}  // namespace
}  // namespace kelto::hand
