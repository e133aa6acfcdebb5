// Proves that the kinematics and physics libraries are linked and usable from this build.
#include <gtest/gtest.h>
#include <mujoco/mujoco.h>

#include <pinocchio/algorithm/frames.hpp>
#include <pinocchio/algorithm/kinematics.hpp>
#include <pinocchio/multibody/data.hpp>
#include <pinocchio/multibody/model.hpp>
#include <pinocchio/parsers/urdf.hpp>

#include <cmath>

#include "support/test_files.hpp"

namespace {

constexpr const char* kTwoLinkUrdf = R"(<?xml version="1.0"?>
<robot name="two_link">
  <link name="base"/>
  <link name="upper"/>
  <link name="tip"/>
  <joint name="shoulder" type="revolute">
    <parent link="base"/><child link="upper"/>
    <origin xyz="0 0 0" rpy="0 0 0"/><axis xyz="0 0 1"/>
    <limit lower="-3" upper="3" effort="1" velocity="1"/>
  </joint>
  <joint name="elbow" type="fixed">
    <parent link="upper"/><child link="tip"/>
    <origin xyz="0.5 0 0" rpy="0 0 0"/>
  </joint>
</robot>
)";

TEST(Dependencies, PinocchioParsesUrdfAndComputesForwardKinematics) {
  kelto::test::TempDir dir;
  const auto urdf = kelto::test::write_file(dir / "two_link.urdf", kTwoLinkUrdf);
  pinocchio::Model model;
  pinocchio::urdf::buildModel(urdf.string(), model);
  ASSERT_EQ(model.nq, 1);
  pinocchio::Data data(model);
  Eigen::VectorXd q(1);
  q << M_PI / 2;
  pinocchio::framesForwardKinematics(model, data, q);
  const auto tip = model.getFrameId("tip");
  ASSERT_LT(tip, model.frames.size());
  EXPECT_NEAR(data.oMf[tip].translation().x(), 0.0, 1e-12);
  EXPECT_NEAR(data.oMf[tip].translation().y(), 0.5, 1e-12);
}

TEST(Dependencies, MujocoLoadsModelAndSteps) {
  EXPECT_GE(mj_version(), 334);
  kelto::test::TempDir dir;
  const auto xml = kelto::test::write_file(dir / "ball.xml", R"(<mujoco>
  <worldbody>
    <body name="ball" pos="0 0 1"><freejoint/><geom type="sphere" size="0.1"/></body>
  </worldbody>
</mujoco>)");
  char error[1000] = "";
  mjModel* model = mj_loadXML(xml.c_str(), nullptr, error, sizeof(error));
  ASSERT_NE(model, nullptr) << error;
  mjData* data = mj_makeData(model);
  ASSERT_NE(data, nullptr);
  for (int i = 0; i < 10; ++i) mj_step(model, data);
  EXPECT_LT(data->qpos[2], 1.0);  // the ball falls
  mj_deleteData(data);
  mj_deleteModel(model);
}

}  // namespace
