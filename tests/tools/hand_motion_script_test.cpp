// Scripted hand motions: which poses each script visits and how the joint vector moves between them.
#include "glove_simulator/hand_motion_script.hpp"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.hpp"
#include "support/programs.hpp"

namespace kelto::hand::simulator {
namespace {

using Names = std::vector<std::string>;

PinocchioHandKinematics& hand() {
  static PinocchioHandKinematics model(Config::load(kelto::test::hand_config(), {}, "right"), "right");
  return model;
}

Names names(MotionScriptKind kind, const Names& fingers = {"thumb", "first", "middle", "ring", "little"}) {
  Names out;
  for (const MotionKeyframe& k : make_motion_script(kind, hand(), fingers).keyframes)
    out.push_back(k.pose_name);
  return out;
}

TEST(HandMotionScriptTest, EachScriptVisitsItsPoses) {
  const Names cycle{"open", "fist", "open", "fist", "open", "fist"};
  const Names pinch{"open", "pinch_first", "open", "pinch_middle",
                    "open", "pinch_ring",  "open", "pinch_little"};
  EXPECT_EQ(names(MotionScriptKind::cycle), cycle);
  EXPECT_EQ(names(MotionScriptKind::pinch), pinch);
  EXPECT_EQ(names(MotionScriptKind::fist), (Names{"open", "fist"}));
  EXPECT_EQ(names(MotionScriptKind::all).size(), cycle.size() + pinch.size() + 2);
  EXPECT_EQ(names(MotionScriptKind::pinch, {"thumb", "ring"}), (Names{"open", "pinch_ring"}));
  EXPECT_THROW(names(MotionScriptKind::pinch, {"thumb"}), std::runtime_error);
  EXPECT_THROW(parse_motion_script_kind("wave"), std::invalid_argument);
}

TEST(HandMotionScriptTest, MotionBlendsSmoothlyBetweenHeldPosesAndLoops) {
  const HandMotionScript script = make_motion_script(MotionScriptKind::fist, hand(), {"thumb", "first"});
  const MotionKeyframe& open = script.keyframes[0];
  const MotionKeyframe& fist = script.keyframes[1];
  ASSERT_EQ(fist.q_active, hand().pose_active("fist"));
  const double period = script.period_s();
  const double fist_starts = open.move_s + open.hold_s;

  EXPECT_EQ(sample_motion(script, open.move_s + 0.5 * open.hold_s), open.q_active);
  EXPECT_EQ(sample_motion(script, fist_starts + fist.move_s + 0.01), fist.q_active);
  const std::vector<double> half = sample_motion(script, fist_starts + 0.5 * fist.move_s);
  for (std::size_t j = 0; j < half.size(); ++j)
    EXPECT_NEAR(half[j], 0.5 * (open.q_active[j] + fist.q_active[j]), 1e-12);
  // The first move starts from the last pose, so the loop has no jump; times wrap and clamp at 0.
  EXPECT_EQ(sample_motion(script, 0.0), fist.q_active);
  EXPECT_EQ(sample_motion(script, -3.0), fist.q_active);
  EXPECT_EQ(sample_motion(script, 7 * period + open.move_s + 0.1), open.q_active);

  std::vector<double> previous = sample_motion(script, 0.0);
  double largest_step = 0.0;
  for (double t = 0.005; t < 2.0 * period; t += 0.005) {
    const std::vector<double> q = sample_motion(script, t);
    for (std::size_t j = 0; j < q.size(); ++j)
      largest_step = std::max(largest_step, std::abs(q[j] - previous[j]));
    previous = q;
  }
  EXPECT_LT(largest_step, 0.05);  // no jumps anywhere, the loop included
}

}  // namespace
}  // namespace kelto::hand::simulator
