// The bundled hand's URDF and MJCF describe the same hand: same frames for every joint vector, the
// left hand mirrors the right one, the metacarpals sit on the palm layout landmarks, and every joint
// that the metadata names exists in both models with the same limits.
#include <gtest/gtest.h>

#include <pinocchio/algorithm/frames.hpp>
#include <pinocchio/algorithm/kinematics.hpp>
#include <pinocchio/multibody/data.hpp>
#include <pinocchio/multibody/model.hpp>
#include <pinocchio/parsers/urdf.hpp>

#include <cmath>
#include <random>
#include <set>

#include "resources/hand_resources.hpp"

namespace kelto::test::hand {
namespace {

// A URDF hand model with forward kinematics by joint name.
class PinocchioHand {
 public:
  // The data is built in place from the model: copying a Pinocchio data object copies Eigen
  // decompositions whose status fields were never set.
  explicit PinocchioHand(const std::string& side) : model_(load(side)), data_(model_) {}

  const pinocchio::Model& model() const { return model_; }

  void set(const JointValues& q) {
    Eigen::VectorXd config = Eigen::VectorXd::Zero(model_.nq);
    for (const auto& [name, value] : q) {
      if (!model_.existJointName(name)) throw std::runtime_error("URDF joint not found: " + name);
      config[model_.joints[model_.getJointId(name)].idx_q()] = value;
    }
    pinocchio::framesForwardKinematics(model_, data_, config);
  }

  FramePose frame(const std::string& name) const {
    if (!model_.existFrame(name, pinocchio::BODY)) throw std::runtime_error("URDF link not found: " + name);
    const auto& placement = data_.oMf[model_.getFrameId(name, pinocchio::BODY)];
    return {placement.rotation(), placement.translation()};
  }

 private:
  static pinocchio::Model load(const std::string& side) {
    pinocchio::Model model;
    pinocchio::urdf::buildModel(urdf_path(side).string(), model);
    return model;
  }

  pinocchio::Model model_;
  pinocchio::Data data_;
};

// Link names compared between the models: the wrist link and the 24 skeleton links (the fingertip
// links among them).
std::vector<std::string> compared_links(const std::string& side) {
  std::vector<std::string> links{side + "_wrist"};
  for (const std::string& node : skeleton_nodes()) links.push_back(side + "_" + node);
  return links;
}

const Eigen::Matrix3d kMirror = Eigen::Vector3d(-1.0, 1.0, 1.0).asDiagonal();

class HandSide : public ::testing::TestWithParam<std::string> {};

TEST_P(HandSide, UrdfAndMjcfAgreeOnEveryFrameForRandomJointVectors) {
  const std::string side = GetParam();
  const SideMetadata meta = load_metadata(side);
  PinocchioHand urdf(side);
  MujocoHand mjcf(mjcf_path(side));
  std::mt19937 rng(20261208);
  JointValues zero;
  for (const std::string& joint : meta.joint_order) zero[joint] = 0.0;
  std::vector<JointValues> vectors{apply_couplings(meta, zero)};
  for (int i = 0; i < 40; ++i) vectors.push_back(random_joint_values(meta, rng));

  for (const JointValues& q : vectors) {
    urdf.set(q);
    mjcf.set(q);
    for (const std::string& link : compared_links(side)) {
      const FramePose a = urdf.frame(link);
      const FramePose b = mjcf.body(link);
      EXPECT_LT((a.position - b.position).norm(), 1e-6) << link;
      EXPECT_LT((a.rotation - b.rotation).cwiseAbs().maxCoeff(), 1e-6) << link;
    }
  }
}

TEST_P(HandSide, MetadataJointsExistInBothModelsWithTheSameLimits) {
  const std::string side = GetParam();
  const SideMetadata meta = load_metadata(side);
  PinocchioHand urdf(side);
  MujocoHand mjcf(mjcf_path(side));
  const pinocchio::Model& model = urdf.model();

  ASSERT_FALSE(meta.joint_order.empty());
  EXPECT_EQ(static_cast<int>(meta.joint_order.size()), model.nq) << "every URDF hinge is a metadata joint";
  EXPECT_EQ(static_cast<int>(meta.joint_order.size()), mjcf.model()->njnt);
  for (const std::string& joint : meta.joint_order) {
    SCOPED_TRACE(joint);
    EXPECT_EQ(joint.rfind(side + "_", 0), 0u);
    ASSERT_TRUE(model.existJointName(joint));
    const auto id = model.getJointId(joint);
    ASSERT_EQ(model.joints[id].nq(), 1);
    const auto& limits = meta.limits.at(joint);
    EXPECT_LT(limits[0], limits[1]);
    EXPECT_NEAR(model.lowerPositionLimit[model.joints[id].idx_q()], limits[0], 1e-12);
    EXPECT_NEAR(model.upperPositionLimit[model.joints[id].idx_q()], limits[1], 1e-12);
    const int mj = mjcf.joint_id(joint);
    ASSERT_GE(mj, 0);
    EXPECT_EQ(mjcf.model()->jnt_type[mj], mjJNT_HINGE);
    EXPECT_EQ(mjcf.model()->jnt_limited[mj], 1);
    EXPECT_NEAR(mjcf.model()->jnt_range[2 * mj], limits[0], 1e-12);
    EXPECT_NEAR(mjcf.model()->jnt_range[2 * mj + 1], limits[1], 1e-12);
  }
  for (const std::string& fixed : meta.fixed_joints) {
    EXPECT_TRUE(model.existFrame(fixed, pinocchio::FIXED_JOINT)) << fixed;
  }
  EXPECT_TRUE(model.existFrame(meta.wrist_frame, pinocchio::BODY));
  EXPECT_GE(mjcf.body_id(meta.wrist_frame), 0);
  ASSERT_EQ(meta.fingertip_frames.size(), finger_keys().size());
  for (const auto& [finger, frame] : meta.fingertip_frames) {
    EXPECT_TRUE(model.existFrame(frame, pinocchio::BODY)) << finger;
    EXPECT_GE(mjcf.body_id(frame), 0) << finger;
  }
  for (const std::string& node : skeleton_nodes()) {
    EXPECT_TRUE(model.existFrame(side + "_" + node, pinocchio::BODY)) << node;
  }
}

TEST_P(HandSide, MetacarpalsSitOnThePalmLayoutLandmarks) {
  struct Landmark {
    std::string bone;
    std::array<double, 3> head;  // landmark A
    std::array<double, 3> base;  // landmark B
  };
  const std::map<std::string, std::vector<Landmark>> table{
      {"right",
       {{"thumb",
         {0.01791378856, 0.02917817421, 0.02529839985},
         {0.01791378856, 0.02917817421, 0.02529839985}},
        {"index",
         {-0.0110400066222, 0.0373887227753, 0.0856472995507},
         {0.00155722315, 0.02107323706, 0.0147868637}},
        {"middle",
         {-0.0163691827829, 0.00946094353832, 0.0857296730851},
         {-0.002177313436, 0.00711954385, 0.01631873846}},
        {"ring",
         {-0.00970091940494, -0.0132089374615, 0.0813390002479},
         {-0.0005134355742, -0.006545122713, 0.01634769328}},
        {"little",
         {0.00228678626667, -0.0376494808459, 0.0752327396856},
         {0.002478150884, -0.01898136921, 0.0152135836}}}},
      {"left",
       {{"thumb",
         {-0.0179138016, 0.02917803824, 0.02529831976},
         {-0.0179138016, 0.02917803824, 0.02529831976}},
        {"index",
         {0.0110399799606, 0.0373887937421, 0.0856473292338},
         {-0.001557245036, 0.02107322961, 0.01478697266}},
        {"middle",
         {0.0163690540737, 0.00946093536779, 0.0857297262748},
         {0.002177304821, 0.007119543385, 0.01631883532}},
        {"ring",
         {0.00970092826314, -0.0132089553135, 0.0813390547869},
         {0.0005134225357, -0.006545126438, 0.01634766161}},
        {"little",
         {-0.00228680375259, -0.0376494576257, 0.0752327896856},
         {-0.002478157403, -0.0189813748, 0.01521364041}}}},
  };
  const std::string side = GetParam();
  const SideMetadata meta = load_metadata(side);
  PinocchioHand urdf(side);
  JointValues zero;
  for (const std::string& joint : meta.joint_order) zero[joint] = 0.0;
  urdf.set(apply_couplings(meta, zero));
  for (const Landmark& row : table.at(side)) {
    SCOPED_TRACE(row.bone);
    const Eigen::Vector3d head(row.head[0], row.head[1], row.head[2]);
    const Eigen::Vector3d base(row.base[0], row.base[1], row.base[2]);
    // The thumb's landmark is its carpometacarpal joint, where its metacarpal starts.
    const std::string head_link = side + "_" + row.bone + (row.bone == "thumb" ? "_metacarpal" : "_proximal");
    EXPECT_LT((urdf.frame(head_link).position - head).norm(), 1e-9);
    EXPECT_LT((urdf.frame(side + "_" + row.bone + "_metacarpal").position - base).norm(), 1e-9);
  }
}

INSTANTIATE_TEST_SUITE_P(Sides, HandSide, ::testing::ValuesIn(sides()),
                         [](const auto& info) { return info.param; });

TEST(HandMirror, LeftHandIsTheRightHandMirroredAcrossTheWristPlane) {
  const SideMetadata right_meta = load_metadata("right");
  const SideMetadata left_meta = load_metadata("left");
  ASSERT_EQ(left_meta.joint_order.size(), right_meta.joint_order.size());
  for (std::size_t i = 0; i < right_meta.joint_order.size(); ++i) {
    EXPECT_EQ(left_meta.joint_order[i], "left" + right_meta.joint_order[i].substr(5));
  }
  PinocchioHand right("right");
  PinocchioHand left("left");
  std::mt19937 rng(7);
  for (int i = 0; i < 30; ++i) {
    const JointValues q = random_joint_values(right_meta, rng);
    right.set(q);
    left.set(for_side(q, "right", "left"));
    for (const std::string& node : skeleton_nodes()) {
      const FramePose r = right.frame("right_" + node);
      const FramePose l = left.frame("left_" + node);
      EXPECT_LT((l.position - kMirror * r.position).norm(), 1e-4) << node;
      // A mirrored frame keeps its handedness by flipping its x axis: R_left = M R_right M.
      EXPECT_LT((l.rotation - kMirror * r.rotation * kMirror).cwiseAbs().maxCoeff(), 1e-4) << node;
    }
  }
}

}  // namespace
}  // namespace kelto::test::hand
