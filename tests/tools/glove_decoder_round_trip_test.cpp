// The simulator's lines as the program reads them: every line the simulator writes decodes to the glove's
// fingertip poses to within the units' rounding, and its invalid lines are turned away or held.
#include <yaml-cpp/yaml.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "glove_simulator/glove_line_writer.hpp"
#include "glove_simulator/simulated_glove.hpp"
#include "runtime/glove_decoder.hpp"
#include "support/test_files.hpp"
#include "tools/rotations.hpp"

namespace kelto::hand::simulator {
namespace {

using runtime::GloveDecoder;

class GloveDecoderRoundTripTest : public ::testing::Test {
 protected:
  GloveDecoderRoundTripTest() : glove_(options()) {}
  static SimulatedGloveOptions options() {
    SimulatedGloveOptions o;
    o.config =
        kelto::test::source_dir() / "resources/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml";
    o.side = "left";
    o.human_hand_scale = 0.9;
    o.mount_yaw_deg = 20.0;
    o.noise_mm = 2.0;
    o.noise_deg = 5.0;
    return o;
  }
  GloveFeatureFrame frame(const std::string& pose) {
    return glove_.frame(glove_.kinematics().pose_active(pose));
  }
  // A fresh decoder per line: its first sample passes the low-pass filters unchanged.
  GloveDecoder decoder() { return GloveDecoder(glove_.config(), nullptr, KX_HAND_LEFT, "simulated"); }

  void expect_decodes_to(GloveDecoder& d, const std::string& line, const GloveFeatureFrame& expected,
                         double rotation_tolerance) {
    const std::optional<kx_engine_input> record = d.decode_line(line);
    ASSERT_TRUE(record.has_value()) << line << ": " << d.last_error();
    EXPECT_EQ(record->local_tip_mask, 0x1Fu);
    const std::vector<std::string>& fingers = glove_.finger_order();
    for (std::size_t i = 0; i < fingers.size(); ++i) {
      const Pose& want = expected.local_tips.at(fingers[i]);
      const kx_pose& got = record->local_tips[runtime::glove_finger_index(fingers[i])];
      for (int k = 0; k < 3; ++k)
        EXPECT_NEAR(got.position[k], want.position[k], 0.5e-6 + 1e-12) << fingers[i];
      std::array<double, 9> rotation{};
      std::copy(got.rotation, got.rotation + 9, rotation.begin());
      kelto::test::expect_rotation_near(rotation, want.rotation, rotation_tolerance);
    }
  }

  SimulatedGlove glove_;
};

TEST_F(GloveDecoderRoundTripTest, BothFormsDecodeToTheGlovesPoses) {
  // Millidegrees leave up to 0.0005 degrees per angle, micro-units 0.5e-6 per quaternion component.
  for (const auto& [format, tolerance] :
       {std::pair{GloveLineFormat::rpy, 3e-5}, std::pair{GloveLineFormat::quaternion, 4e-6}}) {
    for (const std::string pose : {"open", "fist", "pinch_first", "mcp90"}) {
      SCOPED_TRACE(std::string(glove_line_format_name(format)) + " " + pose);
      const GloveFeatureFrame f = frame(pose);
      GloveDecoder d = decoder();
      expect_decodes_to(d, write_glove_line(f, glove_.finger_order(), format), f, tolerance);
    }
  }
}

TEST_F(GloveDecoderRoundTripTest, InvalidLinesAreTurnedAwayOrHeld) {
  for (GloveLineFormat format : {GloveLineFormat::rpy, GloveLineFormat::quaternion}) {
    SCOPED_TRACE(glove_line_format_name(format));
    const GloveFeatureFrame held = frame("open");
    const GloveFeatureFrame other = frame("fist");
    const std::vector<std::string>& fingers = glove_.finger_order();
    GloveDecoder d = decoder();
    const double tolerance = format == GloveLineFormat::rpy ? 3e-5 : 4e-6;
    expect_decodes_to(d, write_glove_line(held, fingers, format), held, tolerance);

    EXPECT_FALSE(d.decode_line(write_invalid_glove_line(InvalidLineKind::truncated, other, fingers, format)));
    EXPECT_EQ(d.last_error().rfind("yaml-cpp: error at line ", 0), 0u) << d.last_error();
    EXPECT_FALSE(
        d.decode_line(write_invalid_glove_line(InvalidLineKind::bad_number, other, fingers, format)));
    EXPECT_NE(d.last_error().find("bad conversion"), std::string::npos) << d.last_error();
    EXPECT_FALSE(
        d.decode_line(write_invalid_glove_line(InvalidLineKind::unknown_type, other, fingers, format)));
    EXPECT_EQ(d.last_error(), "");
    // Fingers flagged not valid repeat their last valid sample.
    expect_decodes_to(d, write_invalid_glove_line(InvalidLineKind::sensors_not_valid, other, fingers, format),
                      held, tolerance);
  }
}

}  // namespace
}  // namespace kelto::hand::simulator
