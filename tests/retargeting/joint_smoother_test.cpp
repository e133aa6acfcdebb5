#include "retargeting/joint_smoother.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "retargeting_test_support.hpp"

namespace kelto::hand {
namespace {

using test::config_from_yaml;

TEST(JointSmoother, FirstCallPrimesAndLaterCallsBlend) {
  JointSmoother smoother(config_from_yaml("joint_smoother: {alpha: 0.25}\n"));
  EXPECT_EQ(smoother.apply({1.0, -2.0}), (std::vector<double>{1.0, -2.0}));
  EXPECT_EQ(smoother.delta_norm_rad(), 0.0);
  const std::vector<double> out = smoother.apply({5.0, 2.0});
  EXPECT_DOUBLE_EQ(out[0], 2.0);
  EXPECT_DOUBLE_EQ(out[1], -1.0);
  EXPECT_DOUBLE_EQ(smoother.delta_norm_rad(), std::sqrt(2.0));
  // The blend continues from the last output, not from the last input.
  EXPECT_DOUBLE_EQ(smoother.apply({2.0, -1.0})[0], 2.0);
}

TEST(JointSmoother, AlphaIsClampedOnlyWhenUsed) {
  struct Case {
    double alpha;
    double expected;
  };
  for (const Case& c : {Case{1.7, 3.0}, Case{-0.2, 1.0}, Case{1.0, 3.0}, Case{0.0, 1.0}}) {
    JointSmoother smoother(config_from_yaml("joint_smoother: {alpha: " + std::to_string(c.alpha) + "}\n"));
    EXPECT_DOUBLE_EQ(smoother.alpha(), c.alpha);
    smoother.apply({1.0});
    EXPECT_DOUBLE_EQ(smoother.apply({3.0})[0], c.expected) << c.alpha;
  }
}

TEST(JointSmoother, DeadbandHoldsJointsOneByOne) {
  JointSmoother smoother(config_from_yaml("joint_smoother: {alpha: 0.5, deadband_rad: 0.01}\n"));
  smoother.apply({0.0, 0.0, 0.0});
  const std::vector<double> out = smoother.apply({0.019, 0.02, 0.1});
  EXPECT_EQ(out[0], 0.0);   // 0.0095 is inside the deadband
  EXPECT_EQ(out[1], 0.01);  // exactly the deadband passes
  EXPECT_EQ(out[2], 0.05);
  EXPECT_DOUBLE_EQ(smoother.delta_norm_rad(), std::sqrt(0.01 * 0.01 + 0.05 * 0.05));
}

TEST(JointSmoother, NegativeDeadbandMeansNone) {
  JointSmoother smoother(config_from_yaml("joint_smoother: {alpha: 0.5, deadband_rad: -0.1}\n"));
  smoother.apply({0.0});
  EXPECT_DOUBLE_EQ(smoother.apply({0.001})[0], 0.0005);
}

TEST(JointSmoother, SizeChangeFailsAndKeepsState) {
  JointSmoother smoother(config_from_yaml("joint_smoother: {alpha: 0.5}\n"));
  smoother.apply({0.0, 0.0});
  smoother.apply({2.0, 0.0});
  test::expect_error<std::runtime_error>([&] { smoother.apply({1.0}); },
                                         "Joint smoother vector size changed");
  EXPECT_DOUBLE_EQ(smoother.delta_norm_rad(), 1.0);
  EXPECT_DOUBLE_EQ(smoother.apply({3.0, 0.0})[0], 2.0);
  // Empty vectors stay empty.
  JointSmoother empty(config_from_yaml("{}\n"));
  empty.apply({});
  EXPECT_TRUE(empty.apply({}).empty());
  EXPECT_EQ(empty.delta_norm_rad(), 0.0);
}

TEST(JointSmoother, DisabledPassesEverythingThrough) {
  JointSmoother smoother(config_from_yaml("joint_smoother: {enabled: false, alpha: 0.1}\n"));
  EXPECT_FALSE(smoother.enabled());
  EXPECT_EQ(smoother.apply({1.0, 2.0}), (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(smoother.apply({7.0}), (std::vector<double>{7.0}));
  EXPECT_EQ(smoother.delta_norm_rad(), 0.0);
}

}  // namespace
}  // namespace kelto::hand
