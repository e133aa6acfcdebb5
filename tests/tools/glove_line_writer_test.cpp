// Glove line text: orientation conversions, the line layout in the glove's integer units and the
// invalid lines.
#include "glove_simulator/glove_line_writer.hpp"

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/rotations.hpp"

namespace kelto::hand::simulator {
namespace {

using kelto::test::expect_rotation_near;
using kelto::test::from_quaternion;
using kelto::test::from_rpy;

TEST(GloveLineWriterTest, OrientationConversionsReproduceTheRotation) {
  // Identity, half turns about each axis (trace -1: every quaternion branch), gimbal lock, general ones.
  for (const std::array<double, 3>& rpy : std::vector<std::array<double, 3>>{{0, 0, 0},
                                                                             {180, 0, 0},
                                                                             {0, 180, 0},
                                                                             {0, 0, 180},
                                                                             {30, 90, -20},
                                                                             {0, -90, 60},
                                                                             {-170, 45, 100},
                                                                             {179, 89.9, 1}}) {
    SCOPED_TRACE(std::to_string(rpy[0]) + " " + std::to_string(rpy[1]) + " " + std::to_string(rpy[2]));
    const std::array<double, 9> r = from_rpy(rpy);
    expect_rotation_near(from_rpy(rpy_deg_from_rotation(r)), r, 1e-9);
    const std::array<double, 4> q = quaternion_from_rotation(r);
    EXPECT_GE(q[0], 0.0);
    expect_rotation_near(from_quaternion(q), r, 1e-9);
  }
  const std::array<double, 3> back = rpy_deg_from_rotation(from_rpy({12.5, -33.25, 170.0}));
  EXPECT_NEAR(back[0], 12.5, 1e-9);
  EXPECT_NEAR(back[1], -33.25, 1e-9);
  EXPECT_NEAR(back[2], 170.0, 1e-9);
}

TEST(GloveLineWriterTest, LinesAreSingleLinesOfIntegersInFingerOrder) {
  GloveFeatureFrame frame;
  frame.local_tips["thumb"] = Pose{{0.0123456, -0.0456784, 0.1}, from_rpy({10, 20, 30})};
  frame.local_tips["first"] = Pose{{-0.2, 0.0000004, 0.0000006}, from_rpy({0, 180, 0})};
  const std::string rpy = write_glove_line(frame, {"first", "thumb"}, GloveLineFormat::rpy);
  EXPECT_EQ(rpy.rfind("{\"t\":\"p\",\"fs\":[[1,-200000,0,1,", 0), 0u) << rpy;  // micrometres, rounded
  EXPECT_NE(rpy.find("],[1,12346,-45678,100000,10000,20000,30000]]}"), std::string::npos) << rpy;
  const std::string quat = write_glove_line(frame, {"first"}, GloveLineFormat::quaternion);
  EXPECT_EQ(quat, "{\"t\":\"p\",\"fsq\":[[1,-200000,0,1,0,0,1000000,0]]}");
  EXPECT_THROW(write_glove_line(frame, {"thumb", "ring"}, GloveLineFormat::rpy), std::out_of_range);
  // The kinds of invalid lines take turns (what the program makes of them is tested with its decoder).
  EXPECT_EQ(invalid_line_kind(0), InvalidLineKind::truncated);
  EXPECT_EQ(invalid_line_kind(7), InvalidLineKind::sensors_not_valid);
}

}  // namespace
}  // namespace kelto::hand::simulator
