// The joint smoother: priming, blending from the last output, size changes, the per-joint deadband,
// alpha clamping and switching off.
#include "retargeting/joint_smoother.hpp"

#include <gtest/gtest.h>

#include "retargeting_test_support.hpp"

namespace kelto::hand {
namespace {

JointSmoother smoother(const std::string& yaml) {
  return JointSmoother(test::config_from_yaml("joint_smoother: " + yaml + "\n"));
}

TEST(JointSmoother, BlendDeadbandSizeChangeAndSwitchingOff) {
  JointSmoother s = smoother("{alpha: 0.5, deadband_rad: 0.01}");
  EXPECT_EQ(s.apply({0.0, 0.0, 1.0}), (std::vector<double>{0.0, 0.0, 1.0}));  // the first call primes
  // 0.0095 is inside the deadband, exactly the deadband passes; joints are held one by one.
  EXPECT_EQ(s.apply({0.019, 0.02, 0.5}), (std::vector<double>{0.0, 0.01, 0.75}));
  EXPECT_DOUBLE_EQ(s.delta_norm_rad(), std::hypot(0.01, 0.25));
  // A size change fails and keeps the state; the next blend starts from the last output.
  EXPECT_EQ(test::error_text([&] { s.apply({1.0}); }), "Joint smoother vector size changed");
  EXPECT_EQ(s.apply({0.0, 0.01, 1.25}), (std::vector<double>{0.0, 0.01, 1.0}));

  JointSmoother negative = smoother("{alpha: 0.5, deadband_rad: -0.1}");  // no deadband
  negative.apply({0.0});
  EXPECT_DOUBLE_EQ(negative.apply({0.001})[0], 0.0005);
  // Alpha is clamped into [0, 1] when used.
  for (const auto& [alpha, out] : std::vector<std::pair<double, double>>{{1.7, 3.0}, {-0.2, 1.0}}) {
    JointSmoother a = smoother("{alpha: " + std::to_string(alpha) + "}");
    a.apply({1.0});
    EXPECT_DOUBLE_EQ(a.apply({3.0})[0], out) << alpha;
  }
  JointSmoother off = smoother("{enabled: false, alpha: 0.1}");
  EXPECT_EQ(off.apply({1.0, 2.0}), (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(off.apply({7.0}), (std::vector<double>{7.0}));  // any size
}

}  // namespace
}  // namespace kelto::hand
