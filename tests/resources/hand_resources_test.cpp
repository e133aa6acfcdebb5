// The bundled OpenXR-style hand's URDF and MJCF describe one hand: the same frames for every joint vector,
// the same joints and limits, actuators and equalities that say what the metadata says, and a left hand that
// mirrors the right one.
#include <gtest/gtest.h>
#include <mujoco/mujoco.h>
#include <yaml-cpp/yaml.h>

#include <pinocchio/algorithm/frames.hpp>
#include <pinocchio/multibody/data.hpp>
#include <pinocchio/multibody/model.hpp>
#include <pinocchio/parsers/urdf.hpp>

#include <algorithm>
#include <map>
#include <random>

#include "support/test_files.hpp"

namespace kelto::test {
namespace {

using Joints = std::map<std::string, double>;

std::filesystem::path resource(const std::string& relative) {
  return source_dir() / "resources/hands/dynamic_openxr_hand/resources" / relative;
}

// The wrist and the 24 skeleton links after it, named without the side prefix.
std::vector<std::string> links() {
  std::vector<std::string> names{"wrist", "thumb_metacarpal", "thumb_proximal", "thumb_distal", "thumb_tip"};
  for (const char* finger : {"index", "middle", "ring", "little"}) {
    for (const char* bone : {"metacarpal", "proximal", "intermediate", "distal", "tip"}) {
      names.push_back(std::string(finger) + "_" + bone);
    }
  }
  return names;
}

struct Coupling {
  std::string dependent, independent;
  std::vector<double> polycoef;
};

// One side of metadata.yaml, read directly.
struct Metadata {
  explicit Metadata(const std::string& side) {
    const YAML::Node root = YAML::LoadFile(resource("pinocchio/metadata.yaml").string())[side];
    joints = root["joint_order"].as<std::vector<std::string>>();
    active = root["active_joint_order"].as<std::vector<std::string>>();
    for (const auto& entry : root["joint_limits_rad"]) {
      limits[entry.first.as<std::string>()] = entry.second.as<std::array<double, 2>>();
    }
    for (const auto& rule : root["equality_constraints"]) {
      couplings.push_back({rule["dependent_joint"].as<std::string>(),
                           rule["independent_joint"].as<std::string>(),
                           rule["polycoef"].as<std::vector<double>>()});
    }
  }
  // A joint vector drawn inside the limits, couplings applied (polynomial, then the child's limits; as
  // many passes as rules, so that chains settle).
  Joints random(std::mt19937& rng) const {
    Joints q;
    for (const std::string& joint : joints) {
      q[joint] = std::uniform_real_distribution<double>(limits.at(joint)[0], limits.at(joint)[1])(rng);
    }
    for (std::size_t pass = 0; pass < couplings.size(); ++pass) {
      for (const Coupling& rule : couplings) {
        double value = 0.0, power = 1.0;
        for (double c : rule.polycoef) value += c * power, power *= q.at(rule.independent);
        q[rule.dependent] = std::clamp(value, limits.at(rule.dependent)[0], limits.at(rule.dependent)[1]);
      }
    }
    return q;
  }

  std::vector<std::string> joints, active;
  std::map<std::string, std::array<double, 2>> limits;
  std::vector<Coupling> couplings;
};

struct Pose {
  Eigen::Matrix3d rotation;
  Eigen::Vector3d position;
};

// The URDF on Pinocchio, links by name.
class UrdfHand {
 public:
  explicit UrdfHand(const std::string& side) : model_(load(side)), data_(model_) {}
  const pinocchio::Model& model() const { return model_; }
  void set(const Joints& q) {
    Eigen::VectorXd config = Eigen::VectorXd::Zero(model_.nq);
    for (const auto& [name, value] : q) config[model_.joints[model_.getJointId(name)].idx_q()] = value;
    pinocchio::framesForwardKinematics(model_, data_, config);
  }
  Pose link(const std::string& name) const {
    if (!model_.existFrame(name, pinocchio::BODY)) throw std::runtime_error("URDF link not found: " + name);
    const auto& placement = data_.oMf[model_.getFrameId(name, pinocchio::BODY)];
    return {placement.rotation(), placement.translation()};
  }

 private:
  static pinocchio::Model load(const std::string& side) {
    pinocchio::Model model;
    pinocchio::urdf::buildModel(resource("pinocchio/" + side + ".urdf").string(), model);
    return model;
  }
  pinocchio::Model model_;
  pinocchio::Data data_;  // built in place: a copied Data carries never-initialised decompositions
};

// The MJCF on MuJoCo; joint values go into qpos by name.
class MjcfHand {
 public:
  explicit MjcfHand(const std::string& side) {
    char error[1024] = "";
    model_ = mj_loadXML(resource("mujoco/" + side + ".xml").c_str(), nullptr, error, sizeof error);
    if (model_ == nullptr) throw std::runtime_error(std::string("MJCF load failed: ") + error);
    data_ = mj_makeData(model_);
  }
  ~MjcfHand() {
    mj_deleteData(data_);
    mj_deleteModel(model_);
  }
  const mjModel* model() const { return model_; }
  int id(mjtObj type, const std::string& name) const { return mj_name2id(model_, type, name.c_str()); }
  void set(const Joints& q) {
    mj_resetData(model_, data_);
    for (const auto& [name, value] : q) data_->qpos[model_->jnt_qposadr[id(mjOBJ_JOINT, name)]] = value;
    mj_forward(model_, data_);
  }
  Pose body(const std::string& name) const {
    const int b = id(mjOBJ_BODY, name);
    if (b < 0) throw std::runtime_error("MJCF body not found: " + name);
    return {Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>>(data_->xmat + 9 * b),
            Eigen::Map<const Eigen::Vector3d>(data_->xpos + 3 * b)};
  }

 private:
  mjModel* model_ = nullptr;
  mjData* data_ = nullptr;
};

class HandSide : public ::testing::TestWithParam<std::string> {};

TEST_P(HandSide, UrdfAndMjcfAgreeOnJointsAndOnEveryFrameForRandomJointVectors) {
  const std::string side = GetParam();
  const Metadata meta(side);
  UrdfHand urdf(side);
  MjcfHand mjcf(side);
  const mjModel* m = mjcf.model();
  // Every hinge of both files is a metadata joint with the metadata's limits.
  ASSERT_EQ(static_cast<int>(meta.joints.size()), urdf.model().nq);
  ASSERT_EQ(static_cast<int>(meta.joints.size()), m->njnt);
  for (const std::string& joint : meta.joints) {
    ASSERT_TRUE(urdf.model().existJointName(joint)) << joint;
    const int q = urdf.model().joints[urdf.model().getJointId(joint)].idx_q();
    const int j = mjcf.id(mjOBJ_JOINT, joint);
    ASSERT_GE(j, 0) << joint;
    const std::array<double, 2> limits = meta.limits.at(joint);
    EXPECT_EQ(m->jnt_type[j], mjJNT_HINGE);
    EXPECT_EQ((std::array<double, 4>{urdf.model().lowerPositionLimit[q], urdf.model().upperPositionLimit[q],
                                     m->jnt_range[2 * j], m->jnt_range[2 * j + 1]}),
              (std::array<double, 4>{limits[0], limits[1], limits[0], limits[1]}))
        << joint;
  }
  // Forward kinematics of both, coupled joints set through qpos as the metadata drives them.
  std::mt19937 rng(20261208);
  for (int i = 0; i < 40; ++i) {
    const Joints q = meta.random(rng);
    urdf.set(q);
    mjcf.set(q);
    for (const std::string& link : links()) {
      const Pose a = urdf.link(side + "_" + link), b = mjcf.body(side + "_" + link);
      EXPECT_LT((a.position - b.position).norm(), 1e-6) << link;
      EXPECT_LT((a.rotation - b.rotation).cwiseAbs().maxCoeff(), 1e-6) << link;
    }
  }
}

// The physics observer drives every active joint through one position actuator within the limits and
// leaves the coupled joints to joint equalities with the metadata's polynomials.
TEST_P(HandSide, ActuatorsAndEqualitiesSayWhatTheMetadataSays) {
  const std::string side = GetParam();
  const Metadata meta(side);
  MjcfHand mjcf(side);
  const mjModel* m = mjcf.model();
  ASSERT_EQ(static_cast<std::size_t>(m->nu), meta.active.size());
  for (int a = 0; a < m->nu; ++a) {
    ASSERT_EQ(m->actuator_trntype[a], mjTRN_JOINT);
    const std::string joint = mj_id2name(m, mjOBJ_JOINT, m->actuator_trnid[2 * a]);
    EXPECT_EQ(meta.active[a], joint);
    EXPECT_EQ(m->actuator_ctrllimited[a], 1);
    EXPECT_EQ((std::array<double, 2>{m->actuator_ctrlrange[2 * a], m->actuator_ctrlrange[2 * a + 1]}),
              meta.limits.at(joint));
    EXPECT_GT(m->actuator_gainprm[a * mjNGAIN], 0.0);
  }
  ASSERT_EQ(static_cast<std::size_t>(m->neq), meta.couplings.size());
  EXPECT_EQ(meta.active.size() + meta.couplings.size(), meta.joints.size()) << "each joint active or coupled";
  for (int e = 0; e < m->neq; ++e) {
    const Coupling& rule = meta.couplings[e];
    EXPECT_EQ(m->eq_type[e], mjEQ_JOINT);
    EXPECT_EQ(m->eq_obj1id[e], mjcf.id(mjOBJ_JOINT, rule.dependent));
    EXPECT_EQ(m->eq_obj2id[e], mjcf.id(mjOBJ_JOINT, rule.independent));
    std::vector<double> coefficients(m->eq_data + e * mjNEQDATA, m->eq_data + e * mjNEQDATA + 5);
    coefficients.resize(rule.polycoef.size());
    EXPECT_EQ(coefficients, rule.polycoef) << rule.dependent;
  }
}

INSTANTIATE_TEST_SUITE_P(Sides, HandSide, ::testing::Values("right", "left"),
                         [](const auto& info) { return info.param; });

// At the same joint vector every frame of the left hand is the right one mirrored across the wrist's x = 0
// plane, to 0.1 mm (the two palm layout tables differ slightly).
TEST(HandMirror, LeftHandIsTheRightHandMirrored) {
  const Metadata right_meta("right");
  UrdfHand right("right");
  UrdfHand left("left");
  const Eigen::Matrix3d mirror = Eigen::Vector3d(-1.0, 1.0, 1.0).asDiagonal();
  std::mt19937 rng(7);
  for (int i = 0; i < 30; ++i) {
    const Joints q = right_meta.random(rng);
    Joints q_left;
    for (const auto& [name, value] : q) q_left["left" + name.substr(5)] = value;
    right.set(q);
    left.set(q_left);
    for (const std::string& link : links()) {
      const Pose r = right.link("right_" + link), l = left.link("left_" + link);
      EXPECT_LT((l.position - mirror * r.position).norm(), 1e-4) << link;
      // A mirrored frame keeps its handedness by flipping its x axis: R_left = M R_right M.
      EXPECT_LT((l.rotation - mirror * r.rotation * mirror).cwiseAbs().maxCoeff(), 1e-4) << link;
    }
  }
}

}  // namespace
}  // namespace kelto::test
