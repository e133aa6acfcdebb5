// Proves that the kinematics and physics libraries are linked and usable from this build.
#include <gtest/gtest.h>
#include <mujoco/mujoco.h>

#include <pinocchio/algorithm/frames.hpp>
#include <pinocchio/multibody/data.hpp>
#include <pinocchio/multibody/model.hpp>
#include <pinocchio/parsers/urdf.hpp>

#include <cmath>

#include "support/test_files.hpp"

namespace {

TEST(Dependencies, PinocchioParsesUrdfAndComputesForwardKinematics) {
  kelto::test::TempDir dir;
  const auto urdf = kelto::test::write_file(dir / "two_link.urdf", R"(<?xml version="1.0"?>
<robot name="two_link">
  <link name="base"/><link name="upper"/><link name="tip"/>
  <joint name="shoulder" type="revolute">
    <parent link="base"/><child link="upper"/><axis xyz="0 0 1"/>
    <limit lower="-3" upper="3" effort="1" velocity="1"/>
  </joint>
  <joint name="elbow" type="fixed"><parent link="upper"/><child link="tip"/><origin xyz="0.5 0 0"/></joint>
</robot>
)");
  pinocchio::Model model;
  pinocchio::urdf::buildModel(urdf.string(), model);
  ASSERT_EQ(model.nq, 1);
  pinocchio::Data data(model);
  pinocchio::framesForwardKinematics(model, data, Eigen::VectorXd::Constant(1, M_PI / 2));
  ASSERT_TRUE(model.existFrame("tip"));
  const Eigen::Vector3d tip = data.oMf[model.getFrameId("tip")].translation();
  EXPECT_LT((tip - Eigen::Vector3d(0.0, 0.5, 0.0)).norm(), 1e-12);
}

TEST(Dependencies, MujocoLoadsModelAndSteps) {
  EXPECT_GE(mj_version(), 334);
  kelto::test::TempDir dir;
  const auto xml = kelto::test::write_file(dir / "ball.xml", R"(<mujoco><worldbody>
  <body name="ball" pos="0 0 1"><freejoint/><geom type="sphere" size="0.1"/></body>
</worldbody></mujoco>)");
  char error[1000] = "";
  mjModel* model = mj_loadXML(xml.c_str(), nullptr, error, sizeof(error));
  ASSERT_NE(model, nullptr) << error;
  mjData* data = mj_makeData(model);
  for (int i = 0; i < 10; ++i) mj_step(model, data);
  EXPECT_LT(data->qpos[2], 1.0);  // the ball falls
  mj_deleteData(data);
  mj_deleteModel(model);
}

}  // namespace
