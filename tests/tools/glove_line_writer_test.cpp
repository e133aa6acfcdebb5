// Glove lines as the program's decoder reads them: orientations in both forms (every conversion branch),
// the layout in the glove's integer units, the simulated glove's poses, and invalid lines turned away or
// held.
#include "glove_simulator/glove_line_writer.hpp"

#include <array>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "glove_simulator/simulated_glove.hpp"
#include "runtime/glove_decoder.hpp"
#include "support/programs.hpp"

namespace kelto::hand::simulator {
namespace {

class GloveLinesDecoded : public ::testing::Test {
 protected:
  GloveLinesDecoded() : glove_({kelto::test::hand_config(), "left", 0.9, 2.0, 5.0, 20.0, {}, 1}) {}

  // The fingertips of a line decoded by `d` (a fresh decoder passes its first sample unfiltered).
  std::optional<kx_engine_input> decode(const std::string& line, runtime::GloveDecoder* d = nullptr) {
    runtime::GloveDecoder fresh(glove_.config(), nullptr, KX_HAND_LEFT, "simulated");
    return (d != nullptr ? *d : fresh).decode_line(line);
  }
  // The rotation the decoder reads from roll, pitch and yaw in millidegrees ("r, p, y").
  std::array<double, 9> turned(const std::string& angles) {
    const std::string item = "[1, 0, 0, 0, " + angles + "], ";
    std::string line = "{t: p, fs: [";
    for (std::size_t i = 0; i < glove_.finger_order().size(); ++i) line += item;
    const kx_engine_input record = decode(line.substr(0, line.size() - 2) + "]}").value();
    std::array<double, 9> rotation;
    std::copy_n(record.local_tips[0].rotation, 9, rotation.begin());
    return rotation;
  }
  // Millidegrees leave up to 0.0005 degrees per angle, micro-units 0.5e-6 per quaternion component.
  static double tolerance(GloveLineFormat format) { return format == GloveLineFormat::rpy ? 3e-5 : 4e-6; }

  void expect_decodes_to(const std::optional<kx_engine_input>& record, const GloveFeatureFrame& expected,
                         double rotation_tolerance) {
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->local_tip_mask, 0x1Fu);
    for (const std::string& finger : glove_.finger_order()) {
      const Pose& want = expected.local_tips.at(finger);
      const kx_pose& got = record->local_tips[runtime::glove_finger_index(finger)];
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(got.position[k], want.position[k], 0.5e-6 + 1e-12) << finger;
      for (int k = 0; k < 9; ++k)
        EXPECT_NEAR(got.rotation[k], want.rotation[k], rotation_tolerance) << finger;
    }
  }

  SimulatedGlove glove_;
};

TEST_F(GloveLinesDecoded, OrientationsSurviveBothForms) {
  // Identity, half turns about each axis (trace -1: every quaternion branch), gimbal lock, general ones;
  // the rotations themselves come from the decoder's reading of roll, pitch and yaw in millidegrees.
  for (const std::string item :
       {"0, 0, 0", "180000, 0, 0", "0, 180000, 0", "0, 0, 180000", "30000, 90000, -20000", "0, -90000, 60000",
        "-170000, 45000, 100000", "179000, 89900, 1000"}) {
    GloveFeatureFrame frame;
    for (const std::string& finger : glove_.finger_order()) frame.local_tips[finger].rotation = turned(item);
    for (const GloveLineFormat format : {GloveLineFormat::rpy, GloveLineFormat::quaternion}) {
      SCOPED_TRACE(item + " " + glove_line_format_name(format));
      expect_decodes_to(decode(write_glove_line(frame, glove_.finger_order(), format)), frame,
                        tolerance(format));
    }
    EXPECT_GE(quaternion_from_rotation(turned(item))[0], 0.0);
  }
  const std::array<double, 3> back = rpy_deg_from_rotation(turned("12500, -33250, 170000"));
  EXPECT_NEAR(back[0], 12.5, 1e-6);
  EXPECT_NEAR(back[1], -33.25, 1e-6);
  EXPECT_NEAR(back[2], 170.0, 1e-6);
}

TEST(GloveLineWriter, LinesAreSingleLinesOfIntegersInFingerOrder) {
  GloveFeatureFrame frame;
  frame.local_tips["thumb"] = Pose{{0.0123456, -0.0456784, 0.1}, {0, -1, 0, 1, 0, 0, 0, 0, 1}};
  frame.local_tips["first"] = Pose{{-0.2, 0.0000004, 0.0000006}, {-1, 0, 0, 0, 1, 0, 0, 0, -1}};
  const std::string rpy = write_glove_line(frame, {"first", "thumb"}, GloveLineFormat::rpy);
  EXPECT_EQ(rpy.rfind("{\"t\":\"p\",\"fs\":[[1,-200000,0,1,", 0), 0u) << rpy;  // micrometres, rounded
  EXPECT_NE(rpy.find("],[1,12346,-45678,100000,0,0,90000]]}"), std::string::npos) << rpy;
  const std::string quat = write_glove_line(frame, {"first"}, GloveLineFormat::quaternion);
  EXPECT_EQ(quat, "{\"t\":\"p\",\"fsq\":[[1,-200000,0,1,0,0,1000000,0]]}");
  EXPECT_THROW(write_glove_line(frame, {"thumb", "ring"}, GloveLineFormat::rpy), std::out_of_range);
  EXPECT_EQ(invalid_line_kind(0), InvalidLineKind::truncated);  // the kinds take turns
  EXPECT_EQ(invalid_line_kind(7), InvalidLineKind::sensors_not_valid);
}

// The glove's poses decode to themselves; invalid lines are turned away, or hold the last valid sample.
TEST_F(GloveLinesDecoded, PosesDecodeAndInvalidLinesAreTurnedAwayOrHeld) {
  const std::vector<std::string>& fingers = glove_.finger_order();
  for (const GloveLineFormat format : {GloveLineFormat::rpy, GloveLineFormat::quaternion}) {
    SCOPED_TRACE(glove_line_format_name(format));
    for (const std::string pose : {"fist", "pinch_first", "mcp90"}) {
      const GloveFeatureFrame f = glove_.frame(glove_.kinematics().pose_active(pose));
      expect_decodes_to(decode(write_glove_line(f, fingers, format)), f, tolerance(format));
    }
    const GloveFeatureFrame held = glove_.frame(glove_.kinematics().pose_active("open"));
    const GloveFeatureFrame other = glove_.frame(glove_.kinematics().pose_active("fist"));
    runtime::GloveDecoder d(glove_.config(), nullptr, KX_HAND_LEFT, "simulated");
    expect_decodes_to(decode(write_glove_line(held, fingers, format), &d), held, tolerance(format));
    const auto invalid = [&](InvalidLineKind kind) {
      EXPECT_FALSE(d.decode_line(write_invalid_glove_line(kind, other, fingers, format)));
      return d.last_error();
    };
    EXPECT_EQ(invalid(InvalidLineKind::truncated).rfind("yaml-cpp: error at line ", 0), 0u);
    EXPECT_NE(invalid(InvalidLineKind::bad_number).find("bad conversion"), std::string::npos);
    EXPECT_EQ(invalid(InvalidLineKind::unknown_type), "");
    expect_decodes_to(
        decode(write_invalid_glove_line(InvalidLineKind::sensors_not_valid, other, fingers, format), &d),
        held, tolerance(format));
  }
}

}  // namespace
}  // namespace kelto::hand::simulator
