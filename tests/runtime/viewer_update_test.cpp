// What an update does to the viewer's model: posing, driving actuators, stepping, couplings and contacts.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "runtime/mujoco_viewer.hpp"
#include "runtime/viewer_test_support.hpp"
#include "support/test_files.hpp"

namespace kelto::hand::runtime::test {
namespace {

namespace fs = std::filesystem;
using kelto::test::TempDir;
using kelto::test::write_file;
using ::testing::DoubleNear;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Pointwise;
using Names = std::vector<std::string>;
using Values = std::vector<double>;

// Five hinges, each on its own body. Joint 0 ("loose") has no actuator, but tendon 0 has one: an actuator
// whose target id is taken for a joint id would claim it. "limited" and "unlimited" have position servos
// with and without a control range; "held" starts at 0.3 and has a servo.
constexpr const char* kDriveModel = R"(<mujoco model="drive">
  <compiler angle="radian"/>
  <option timestep="0.002" gravity="0 0 0"/>
  <default><joint type="hinge" axis="0 1 0" damping="2" armature="0.1"/>
    <geom type="sphere" size="0.01" contype="0" conaffinity="0"/></default>
  <worldbody>
    <body pos="0 0 0.1"><joint name="loose"/><geom/></body>
    <body pos="0.1 0 0.1"><joint name="limited"/><geom/></body>
    <body pos="0.2 0 0.1"><joint name="unlimited"/><geom/></body>
    <body pos="0.3 0 0.1"><joint name="held" ref="0.3"/><geom/></body>
    <body pos="0.4 0 0.1"><joint name="pulled"/><geom/></body>
  </worldbody>
  <tendon><fixed name="pull"><joint joint="pulled" coef="1"/></fixed></tendon>
  <actuator>
    <motor tendon="pull"/>
    <position joint="limited" kp="10" ctrllimited="true" ctrlrange="-0.5 0.5"/>
    <position joint="unlimited" kp="10" ctrllimited="false"/>
    <position joint="held" kp="10" ctrllimited="false"/>
  </actuator>
</mujoco>
)";

// A body falling along a slide joint under gravity, integrated with semi-implicit Euler: after n steps
// from rest it has dropped g*dt^2*n*(n+1)/2 = 0.001*n*(n+1)/2.
constexpr const char* kFallModel = R"(<mujoco model="fall">
  <option timestep="0.01" gravity="0 0 -10" integrator="Euler"/>
  <worldbody>
    <body pos="0 0 1"><joint name="drop" type="slide" axis="0 0 1"/>
      <geom type="sphere" size="0.05" contype="0" conaffinity="0"/></body>
  </worldbody>
</mujoco>
)";

// "follower" = 0.1 + 2*lead + 0.5*lead^2; the single-joint constraint on "lead" names no second joint.
constexpr const char* kCoupledModel = R"(<mujoco model="coupled">
  <option gravity="0 0 0"/>
  <worldbody>
    <body><joint name="lead" type="hinge"/><geom type="sphere" size="0.01"/>
      <body pos="0.1 0 0"><joint name="follower" type="hinge"/><geom type="sphere" size="0.01"/></body>
    </body>
  </worldbody>
  <equality>
    <joint joint1="follower" joint2="lead" polycoef="0.1 2 0.5 0 0"/>
    <joint joint1="lead"/>
  </equality>
</mujoco>
)";

// A ball on a lift sinking 1 cm into the floor, and an unnamed sphere sinking 5 mm into it.
constexpr const char* kContactModel = R"(<mujoco model="contact">
  <option gravity="0 0 0"/>
  <worldbody>
    <geom name="floor" type="plane" size="1 1 0.01"/>
    <body><joint name="lift" type="slide" axis="0 0 1"/>
      <geom name="ball" type="sphere" size="0.02" pos="0 0 0.01"/>
      <geom type="sphere" size="0.02" pos="0.1 0 0.015"/>
    </body>
  </worldbody>
</mujoco>
)";

class ViewerUpdate : public ::testing::Test {
 protected:
  void SetUp() override { KELTO_REQUIRE_DISPLAY(); }
  fs::path model(const char* name, const char* text) { return write_file(dir_ / name, text); }

  TempDir dir_;
};

// Without physics the joints are posed from the common prefix of names and values; a name the model
// lacks echoes its value, or reads 0.0 when it has none.
TEST_F(ViewerUpdate, PosesJointsFromTheCommonPrefix) {
  const fs::path arm = model("arm.xml", kArmModel);
  struct Case {
    const char* label;
    Names names;
    Values values;
    Values joints;
  };
  const Case cases[] = {
      {"names and values alike", {"lead", "follower"}, {0.2, -0.1}, {0.2, -0.1}},
      {"more values than names", {"follower", "ghost"}, {0.3, 0.4, 0.9}, {0.3, 0.4}},
      {"more names than values", {"lead", "ghost", "follower"}, {0.25}, {0.25, 0.0, 0.0}},
      {"no names", {}, {1.0, 2.0}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto viewer = open_viewer(arm);
    EXPECT_THAT(viewer->update(c.names, c.values).joints, ElementsAreArray(c.joints));
  }
  auto viewer = open_viewer(arm);
  viewer->update({"lead"}, {0.6});
  EXPECT_THAT(viewer->update({"follower", "lead"}, {}).joints, ElementsAre(0.0, 0.6)) << "the pose persists";
}

// With physics the servos follow the values, clamped into a limited control range; a joint without an
// actuator is posed directly; a servo holds its joint's initial pose until told otherwise.
TEST_F(ViewerUpdate, PhysicsDrivesActuatorsAndPosesTheRest) {
  auto viewer = open_viewer(model("drive.xml", kDriveModel), {true, 1000, false});
  const MujocoObservation seen =
      viewer->update({"limited", "unlimited", "loose", "ghost", "held"}, {1.0, 1.0, 0.7, 0.25});
  EXPECT_THAT(seen.joints, Pointwise(DoubleNear(1e-3), Values{0.5, 1.0, 0.7, 0.25, 0.3}));
  EXPECT_TRUE(seen.contacts.empty());

  const Values later = viewer->update({"limited", "unlimited", "loose"}, {-2.0, -0.2}).joints;
  EXPECT_THAT(later, Pointwise(DoubleNear(1e-3), Values{-0.5, -0.2, 0.7}));
}

// Physics steps `steps_per_render` times per update (at least once), optionally from rest; without
// physics nothing moves.
TEST_F(ViewerUpdate, StepsPerUpdate) {
  const fs::path fall = model("fall.xml", kFallModel);
  struct Case {
    const char* label;
    ViewerSettings settings;
    int updates;
    double drop;
  };
  const Case cases[] = {
      {"posed only", {false, 5, false}, 2, 0.0},
      {"zero steps mean one", {true, 0, false}, 1, -0.001},
      {"one step", {true, 1, false}, 1, -0.001},
      {"three steps", {true, 3, false}, 1, -0.006},
      {"two updates keep the velocity", {true, 1, false}, 2, -0.003},
      {"two updates from rest", {true, 1, true}, 2, -0.002},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto viewer = open_viewer(fall, c.settings);
    Values joints;
    for (int u = 0; u < c.updates; ++u) joints = viewer->update({"drop"}, {}).joints;
    ASSERT_EQ(joints.size(), 1u);
    EXPECT_NEAR(joints[0], c.drop, 1e-9);
  }
}

TEST_F(ViewerUpdate, JointCouplingsHoldAfterEveryUpdate) {
  auto viewer = open_viewer(model("coupled.xml", kCoupledModel));
  for (const double lead : {0.2, -0.4, 0.0}) {
    SCOPED_TRACE(lead);
    const Values joints = viewer->update({"lead", "follower"}, {lead, 5.0}).joints;
    EXPECT_THAT(joints, Pointwise(DoubleNear(1e-12), Values{lead, 0.1 + 2 * lead + 0.5 * lead * lead}));
  }
}

TEST_F(ViewerUpdate, ReportsContactsByGeomName) {
  auto viewer = open_viewer(model("contact.xml", kContactModel));
  std::vector<std::pair<std::string, double>> touching;
  for (const MujocoContact& contact : viewer->update({"lift"}, {0.0}).contacts) {
    EXPECT_EQ(contact.geom1, "floor");
    touching.emplace_back(contact.geom2, contact.dist);
  }
  std::sort(touching.begin(), touching.end());
  ASSERT_EQ(touching.size(), 2u);
  EXPECT_EQ(touching[0].first, "") << "an unnamed geom";
  EXPECT_NEAR(touching[0].second, -0.005, 1e-9);
  EXPECT_EQ(touching[1].first, "ball");
  EXPECT_NEAR(touching[1].second, -0.01, 1e-9);

  EXPECT_TRUE(viewer->update({"lift"}, {0.1}).contacts.empty());
}

}  // namespace
}  // namespace kelto::hand::runtime::test
