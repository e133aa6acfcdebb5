// The bundled hand's files hold what the rest of the system reads or edits in them: the joints and
// bodies that personalisation rewrites, the actuators and couplings that physics drives, poses inside
// the limits, and a system configuration that maps the glove onto this hand.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <random>
#include <regex>
#include <set>

#include "config/config.hpp"
#include "resources/hand_resources.hpp"

namespace kelto::test::hand {
namespace {

using kelto::hand::Config;

const std::vector<std::pair<std::string, std::string>> kFingerWords{
    {"thumb", "thumb"}, {"first", "index"}, {"middle", "middle"}, {"ring", "ring"}, {"little", "little"}};

std::string finger_word(const std::string& finger) {
  for (const auto& [key, word] : kFingerWords) {
    if (key == finger) return word;
  }
  throw std::runtime_error("unknown finger " + finger);
}

// The start tag (or, with `whole`, the element up to `end_marker`) of the first element that begins
// with `marker`; empty when there is none.
std::string element(const std::string& text, const std::string& marker, const std::string& end_marker) {
  const auto start = text.find(marker);
  if (start == std::string::npos) return {};
  const auto end = text.find(end_marker, start);
  return text.substr(start, end == std::string::npos ? std::string::npos : end + end_marker.size() - start);
}

std::vector<double> attribute_numbers(const std::string& tag, const std::string& attribute) {
  const auto start = tag.find(attribute + "=\"");
  if (start == std::string::npos) return {};
  const auto value_start = start + attribute.size() + 2;
  const auto value_end = tag.find('"', value_start);
  std::istringstream in(tag.substr(value_start, value_end - value_start));
  std::vector<double> values;
  double value = 0.0;
  while (in >> value) values.push_back(value);
  return values;
}

Eigen::Vector3d vec3(const std::vector<double>& values, std::size_t offset = 0) {
  if (values.size() < offset + 3) throw std::runtime_error("three numbers expected");
  return {values[offset], values[offset + 1], values[offset + 2]};
}

struct PalmRow {
  std::string finger;
  std::string urdf_joint;
  std::string mjcf_body;
};

const std::vector<PalmRow> kPalmRows{{"thumb", "thumb_cmc_abduction", "thumb_cmc_abduction_aux"},
                                     {"first", "index_metacarpal_fixed", "index_metacarpal"},
                                     {"middle", "middle_metacarpal_fixed", "middle_metacarpal"},
                                     {"ring", "ring_cmc_cup", "ring_metacarpal"},
                                     {"little", "little_cmc_opposition", "little_cmc_opposition_aux"}};

struct BoneRow {
  std::string bone;
  std::string urdf_suffix;  // joint whose origin is the bone vector
  std::string mjcf_body;    // body whose pos is the bone vector
  std::string mjcf_geom;    // capsule along the bone
};

std::vector<BoneRow> bone_rows(const std::string& finger) {
  if (finger == "thumb") {
    return {{"metacarpal", "mcp_abduction", "mcp_abduction_aux", "metacarpal_collision"},
            {"proximal", "ip_flexion", "distal", "proximal_collision"},
            {"distal", "tip_fixed", "tip", "distal_collision"}};
  }
  return {{"metacarpal", "mcp_abduction", "mcp_abduction_aux", "metacarpal_collision"},
          {"proximal", "pip_flexion", "intermediate", "proximal_collision"},
          {"intermediate", "dip_flexion", "distal", "intermediate_collision"},
          {"distal", "tip_fixed", "tip", "distal_collision"}};
}

class HandFiles : public ::testing::TestWithParam<std::string> {};

// The anthropometry generators rewrite the origin of named URDF joints and the pos/fromto of named
// MJCF bodies and geoms by text search; each must be found where they look, and must describe the bone
// (URDF and MJCF agreeing on its vector) so that rescaling keeps the hand connected.
TEST_P(HandFiles, PersonalisationTargetsArePresentAndDescribeTheBones) {
  const std::string side = GetParam();
  const std::string urdf = read_file(urdf_path(side));
  const std::string mjcf = read_file(mjcf_path(side));
  MujocoHand hand(mjcf_path(side));
  const int wrist = hand.body_id(side + "_wrist");
  ASSERT_GE(wrist, 0);

  for (const auto& [finger, word] : kFingerWords) {
    for (const BoneRow& row : bone_rows(finger)) {
      SCOPED_TRACE(finger + " " + row.bone);
      const std::string joint_name = side + "_" + word + "_" + row.urdf_suffix;
      const std::string joint = element(urdf, "<joint name=\"" + joint_name + "\"", "</joint>");
      ASSERT_FALSE(joint.empty()) << joint_name;
      const std::string origin = element(joint, "<origin", "/>");
      ASSERT_FALSE(origin.empty());
      const Eigen::Vector3d urdf_bone = vec3(attribute_numbers(origin, "xyz"));

      const std::string body =
          element(mjcf, "<body name=\"" + side + "_" + word + "_" + row.mjcf_body + "\"", ">");
      ASSERT_FALSE(body.empty());
      const Eigen::Vector3d mjcf_bone = vec3(attribute_numbers(body, "pos"));
      const std::string geom =
          element(mjcf, "<geom name=\"" + side + "_" + word + "_" + row.mjcf_geom + "\"", ">");
      ASSERT_FALSE(geom.empty());
      const std::vector<double> fromto = attribute_numbers(geom, "fromto");
      ASSERT_EQ(fromto.size(), 6u);

      EXPECT_GT(urdf_bone.norm(), 0.01);
      EXPECT_LT(urdf_bone.norm(), 0.08);
      EXPECT_NEAR(urdf_bone.norm(), mjcf_bone.norm(), 1e-9);
      // Scaling the capsule by the bone's factor keeps it on the bone: it starts at the joint and runs
      // along the bone vector, ending at most at the next joint.
      EXPECT_LT(vec3(fromto).norm(), 1e-12);
      const Eigen::Vector3d capsule = vec3(fromto, 3);
      EXPECT_LT(capsule.normalized().cross(mjcf_bone.normalized()).norm(), 1e-9);
      EXPECT_GT(capsule.dot(mjcf_bone), 0.0);
      EXPECT_LE(capsule.norm(), mjcf_bone.norm() + 1e-12);
    }
  }

  for (const PalmRow& row : kPalmRows) {
    SCOPED_TRACE(row.finger);
    const std::string joint =
        element(urdf, "<joint name=\"" + side + "_" + row.urdf_joint + "\"", "</joint>");
    ASSERT_FALSE(joint.empty());
    // The palm step adds a wrist-frame offset to the origin, so the parent must be the wrist link.
    EXPECT_NE(joint.find("<parent link=\"" + side + "_wrist\"/>"), std::string::npos);
    const Eigen::Vector3d urdf_origin = vec3(attribute_numbers(element(joint, "<origin", "/>"), "xyz"));
    const int body = hand.body_id(side + "_" + row.mjcf_body);
    ASSERT_GE(body, 0);
    EXPECT_EQ(hand.model()->body_parentid[body], wrist);
    const Eigen::Vector3d mjcf_pos = vec3(
        attribute_numbers(element(mjcf, "<body name=\"" + side + "_" + row.mjcf_body + "\"", ">"), "pos"));
    EXPECT_LT((urdf_origin - mjcf_pos).norm(), 1e-12);
  }
  // The wrist body is the wrist frame itself: placed at the origin without rotation.
  EXPECT_NE(mjcf.find("<body name=\"" + side + "_wrist\" pos=\"0 0 0\">"), std::string::npos);
}

// The physics observer drives every active joint through a position actuator and leaves the coupled
// joints to joint equalities that say the same as the metadata.
TEST_P(HandFiles, ActuatorsAndEqualitiesMatchTheMetadata) {
  const std::string side = GetParam();
  const SideMetadata meta = load_metadata(side);
  MujocoHand hand(mjcf_path(side));
  const mjModel* m = hand.model();

  std::set<std::string> coupled;
  for (const Coupling& rule : meta.couplings) coupled.insert(rule.dependent);
  std::map<std::string, int> actuator_of_joint;
  for (int a = 0; a < m->nu; ++a) {
    ASSERT_EQ(m->actuator_trntype[a], mjTRN_JOINT);
    const char* joint = mj_id2name(m, mjOBJ_JOINT, m->actuator_trnid[2 * a]);
    ASSERT_NE(joint, nullptr);
    EXPECT_TRUE(actuator_of_joint.emplace(joint, a).second) << "second actuator on " << joint;
  }
  for (const std::string& joint : meta.joint_order) {
    const bool active =
        std::find(meta.active_joints.begin(), meta.active_joints.end(), joint) != meta.active_joints.end();
    EXPECT_NE(active, coupled.count(joint) == 1) << joint << " must be either active or coupled";
    const auto actuator = actuator_of_joint.find(joint);
    if (!active) {
      EXPECT_EQ(actuator, actuator_of_joint.end()) << joint;
      continue;
    }
    ASSERT_NE(actuator, actuator_of_joint.end()) << joint;
    const int a = actuator->second;
    EXPECT_EQ(m->actuator_ctrllimited[a], 1);
    EXPECT_NEAR(m->actuator_ctrlrange[2 * a], meta.limits.at(joint)[0], 1e-12) << joint;
    EXPECT_NEAR(m->actuator_ctrlrange[2 * a + 1], meta.limits.at(joint)[1], 1e-12) << joint;
    EXPECT_GT(m->actuator_gainprm[a * mjNGAIN], 0.0);
  }
  EXPECT_EQ(static_cast<std::size_t>(m->nu), meta.active_joints.size());

  ASSERT_EQ(static_cast<std::size_t>(m->neq), meta.couplings.size());
  for (const Coupling& rule : meta.couplings) {
    SCOPED_TRACE(rule.dependent);
    int found = -1;
    for (int e = 0; e < m->neq; ++e) {
      if (m->eq_type[e] == mjEQ_JOINT && m->eq_obj1id[e] == hand.joint_id(rule.dependent)) found = e;
    }
    ASSERT_GE(found, 0);
    EXPECT_EQ(m->eq_obj2id[found], hand.joint_id(rule.independent));
    ASSERT_LE(rule.polycoef.size(), 5u);
    for (std::size_t k = 0; k < 5; ++k) {
      const double expected = k < rule.polycoef.size() ? rule.polycoef[k] : 0.0;
      EXPECT_DOUBLE_EQ(m->eq_data[found * mjNEQDATA + k], expected) << k;
    }
  }
}

std::string geom_finger(const mjModel* m, int geom) {
  const char* name = mj_id2name(m, mjOBJ_GEOM, geom);
  const std::string text = name == nullptr ? "" : name;
  for (const auto& [key, word] : kFingerWords) {
    if (text.find("_" + word + "_") != std::string::npos) return word;
  }
  return text;
}

// Bones of one finger never touch one another; bones of different fingers do collide.
TEST_P(HandFiles, FingersCollideWithEachOtherButNotWithThemselves) {
  const std::string side = GetParam();
  const SideMetadata meta = load_metadata(side);
  MujocoHand hand(mjcf_path(side));
  std::mt19937 rng(99);
  for (int i = 0; i < 200; ++i) {
    hand.set(random_joint_values(meta, rng));
    for (int c = 0; c < hand.data()->ncon; ++c) {
      const mjContact& contact = hand.data()->contact[c];
      EXPECT_NE(geom_finger(hand.model(), contact.geom[0]), geom_finger(hand.model(), contact.geom[1]))
          << mj_id2name(hand.model(), mjOBJ_GEOM, contact.geom[0]) << " / "
          << mj_id2name(hand.model(), mjOBJ_GEOM, contact.geom[1]);
    }
  }
  // Index swung toward the little finger, middle toward the thumb: the two fingers cross.
  JointValues crossed;
  for (const std::string& joint : meta.joint_order) crossed[joint] = 0.0;
  crossed[side + "_index_mcp_abduction"] = meta.limits.at(side + "_index_mcp_abduction")[0];
  crossed[side + "_middle_mcp_abduction"] = meta.limits.at(side + "_middle_mcp_abduction")[1];
  hand.set(apply_couplings(meta, crossed));
  bool index_meets_middle = false;
  for (int c = 0; c < hand.data()->ncon; ++c) {
    const auto& geoms = hand.data()->contact[c].geom;
    const std::set<std::string> pair{geom_finger(hand.model(), geoms[0]),
                                     geom_finger(hand.model(), geoms[1])};
    index_meets_middle |= pair == std::set<std::string>{"index", "middle"};
  }
  EXPECT_TRUE(index_meets_middle);
  int collision_geoms = 0;
  for (int g = 0; g < hand.model()->ngeom; ++g) {
    collision_geoms += hand.model()->geom_contype[g] != 0 && hand.model()->geom_conaffinity[g] != 0;
  }
  EXPECT_EQ(collision_geoms, 19);
}

// Driven only through its actuators, the simulated hand settles on a commanded pose: the coupled
// joints follow through their equalities and nothing blows up.
TEST_P(HandFiles, SimulatedHandFollowsAPoseThroughItsActuators) {
  const std::string side = GetParam();
  const SideMetadata meta = load_metadata(side);
  MujocoHand hand(mjcf_path(side));
  mjModel* m = const_cast<mjModel*>(hand.model());
  mjData* d = const_cast<mjData*>(hand.data());
  JointValues target;
  for (const std::string& joint : meta.joint_order) {
    const auto& limits = meta.limits.at(joint);
    target[joint] = limits[0] + 0.6 * (limits[1] - limits[0]);
  }
  target = apply_couplings(meta, target);
  for (int a = 0; a < m->nu; ++a) {
    d->ctrl[a] = target.at(mj_id2name(m, mjOBJ_JOINT, m->actuator_trnid[2 * a]));
  }
  const int steps = static_cast<int>(std::lround(0.5 / m->opt.timestep));
  for (int i = 0; i < steps; ++i) mj_step(m, d);
  for (const std::string& joint : meta.joint_order) {
    const double q = d->qpos[m->jnt_qposadr[hand.joint_id(joint)]];
    ASSERT_TRUE(std::isfinite(q)) << joint;
    EXPECT_NEAR(q, target.at(joint), 0.02) << joint;
  }
}

INSTANTIATE_TEST_SUITE_P(Sides, HandFiles, ::testing::ValuesIn(sides()),
                         [](const auto& info) { return info.param; });

struct Pose {
  std::string name;
  std::map<std::string, std::vector<double>> fingers;
};

std::vector<Pose> load_poses() {
  std::vector<Pose> poses;
  for (const YAML::Node& entry : YAML::LoadFile(pose_library_path().string())["poses"]) {
    Pose pose{entry["name"].as<std::string>(), {}};
    for (const auto& finger : entry["finger_angles_rad"]) {
      pose.fingers[finger.first.as<std::string>()] = finger.second.as<std::vector<double>>();
    }
    poses.push_back(pose);
  }
  return poses;
}

JointValues pose_values(const SideMetadata& meta, const Pose& pose) {
  JointValues q;
  for (const std::string& joint : meta.joint_order) q[joint] = 0.0;
  for (const auto& [finger, values] : pose.fingers) {
    const auto& joints = meta.pose_joints.at(finger);
    const auto& multipliers = meta.pose_multipliers.at(finger);
    for (std::size_t k = 0; k < joints.size(); ++k) q[joints[k]] = values.at(k) * multipliers.at(k);
  }
  return apply_couplings(meta, q);
}

TEST(HandPoses, EveryPoseNamesEachFingerWithinTheLimitsOfBothSides) {
  const std::vector<Pose> poses = load_poses();
  std::set<std::string> names;
  for (const Pose& pose : poses) EXPECT_TRUE(names.insert(pose.name).second) << "duplicate " << pose.name;
  for (const char* required :
       {"open", "five_close", "mcp90", "fist", "pinch_first", "pinch_middle", "pinch_ring", "pinch_little"}) {
    EXPECT_EQ(names.count(required), 1u) << required;
  }
  for (const std::string& side : sides()) {
    const SideMetadata meta = load_metadata(side);
    for (const Pose& pose : poses) {
      SCOPED_TRACE(side + " " + pose.name);
      ASSERT_EQ(pose.fingers.size(), finger_keys().size());
      for (const std::string& finger : finger_keys()) {
        const auto& joints = meta.pose_joints.at(finger);
        ASSERT_EQ(pose.fingers.at(finger).size(), joints.size()) << finger;
        for (std::size_t k = 0; k < joints.size(); ++k) {
          const double value = pose.fingers.at(finger)[k] * meta.pose_multipliers.at(finger).at(k);
          const auto& limits = meta.limits.at(joints[k]);
          EXPECT_GE(value, limits[0]) << joints[k];
          EXPECT_LE(value, limits[1]) << joints[k];
        }
      }
    }
  }
}

// The reference poses of calibration are what a person's hand can do: no bone inside another.
TEST(HandPoses, ReferencePosesAreFreeOfInterpenetration) {
  for (const std::string& side : sides()) {
    const SideMetadata meta = load_metadata(side);
    MujocoHand hand(mjcf_path(side));
    for (const Pose& pose : load_poses()) {
      if (pose.name.rfind("pinch_", 0) == 0) continue;
      hand.set(pose_values(meta, pose));
      for (int c = 0; c < hand.data()->ncon; ++c) {
        EXPECT_GT(hand.data()->contact[c].dist, -0.001) << side << " " << pose.name;
      }
    }
  }
}

// A pinch pose brings the thumb's pad onto the partner finger's pad (the fingertip frames with their
// configured pad offsets).
TEST(HandPoses, PinchPosesBringThePadsTogether) {
  for (const std::string& side : sides()) {
    const Config config = Config::load(system_config_path(), "", side);
    const SideMetadata meta = load_metadata(side);
    MujocoHand hand(mjcf_path(side));
    auto pad = [&](const std::string& finger) {
      const FramePose tip = hand.body(side + "_" + finger_word(finger) + "_tip");
      const std::vector<double> offset = config.numbers("hand.fingers." + finger + ".tip_offset_" + side);
      return Eigen::Vector3d(tip.position + tip.rotation * vec3(offset));
    };
    for (const Pose& pose : load_poses()) {
      if (pose.name.rfind("pinch_", 0) != 0) continue;
      const std::string partner = pose.name.substr(6);
      hand.set(pose_values(meta, pose));
      EXPECT_LT((pad("thumb") - pad(partner)).norm(), 0.002) << side << " " << pose.name;
      // The other fingers stay away from the thumb.
      for (const std::string other : {"first", "middle", "ring", "little"}) {
        if (other != partner) {
          EXPECT_GT((pad("thumb") - pad(other)).norm(), 0.015) << side << " " << other;
        }
      }
    }
  }
}

TEST(HandPoses, CalibrationProfileReferencesKnownPosesAndStages) {
  const YAML::Node library = YAML::LoadFile(pose_library_path().string());
  std::set<std::string> pose_names;
  for (const Pose& pose : load_poses()) pose_names.insert(pose.name);
  const YAML::Node calibration = library["calibration"];
  ASSERT_TRUE(calibration.IsMap());
  EXPECT_EQ(calibration["profile_version"].as<int>(), 1);
  std::set<std::string> stage_ids;
  for (const YAML::Node& stage : calibration["stages"]) {
    const std::string id = stage["id"].as<std::string>();
    SCOPED_TRACE(id);
    EXPECT_TRUE(stage_ids.insert(id).second);
    EXPECT_FALSE(stage["prompt"].as<std::string>().empty());
    EXPECT_GT(stage["sample_count"].as<unsigned>(), 0u);
    EXPECT_GE(stage["weight"].as<double>(), 0.0);
    if (stage["reference_pose"]) {
      EXPECT_EQ(pose_names.count(stage["reference_pose"].as<std::string>()), 1u);
    }
    if (stage["role"].as<std::string>() == "tip_offset") {
      ASSERT_TRUE(stage["partner_finger"]);
      EXPECT_EQ(id, "pinch_" + stage["partner_finger"].as<std::string>());
    }
  }
  const auto basic = calibration["modes"]["basic"]["stages"].as<std::vector<std::string>>();
  const auto enhanced = calibration["modes"]["enhanced"]["stages"].as<std::vector<std::string>>();
  EXPECT_EQ(basic, (std::vector<std::string>{"close", "open", "mcp90"}));
  for (const std::string& id : enhanced) EXPECT_EQ(stage_ids.count(id), 1u) << id;
  for (const std::string& id : basic) {
    EXPECT_NE(std::find(enhanced.begin(), enhanced.end(), id), enhanced.end()) << id;
  }
}

// The system configuration loads for both sides, names links that exist, and its glove rotation
// sends the glove's forward axis along the fingers (the wrist's fingertip direction laid into the glove
// plane) and its palm-down axis to the side of the pads.
TEST(HandSystemConfig, GloveMappingAndLinksFitTheHandOnBothSides) {
  for (const std::string& side : sides()) {
    SCOPED_TRACE(side);
    const Config config = Config::load(system_config_path(), "", side);
    EXPECT_EQ(config.string("hand.type"), "dynamic_openxr_hand");
    EXPECT_EQ(config.strings("retargeting.finger_order"), finger_keys());
    EXPECT_FALSE(config.boolean("kelto_sdk.physics_enabled"));
    MujocoHand hand(mjcf_path(side));
    const auto mirrored = [&](std::string name) {
      if (side == "left" && name.rfind("right_", 0) == 0) name = "left_" + name.substr(6);
      return name;
    };
    EXPECT_GE(hand.body_id(mirrored(config.string("hand.wrist_link"))), 0);

    const std::array<double, 9> m = config.matrix3("tip_mapping." + side + ".rotation_matrix");
    const Eigen::Matrix3d rotation = Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>>(m.data());
    EXPECT_NEAR(rotation.determinant(), 1.0, 1e-12);
    EXPECT_LT((rotation.transpose() * rotation - Eigen::Matrix3d::Identity()).norm(), 1e-12);
    const Eigen::Vector3d glove_z = rotation * Eigen::Vector3d::UnitZ();
    const Eigen::Vector3d levelled_forward =
        (Eigen::Vector3d::UnitZ() - Eigen::Vector3d::UnitZ().dot(glove_z) * glove_z).normalized();
    EXPECT_LT((rotation * Eigen::Vector3d::UnitX() - levelled_forward).norm(), 1e-12);

    const SideMetadata meta = load_metadata(side);
    JointValues zero;
    for (const std::string& joint : meta.joint_order) zero[joint] = 0.0;
    hand.set(apply_couplings(meta, zero));
    const Eigen::Vector3d palm_down_in_wrist = rotation * -Eigen::Vector3d::UnitZ();
    for (const std::string& finger : finger_keys()) {
      SCOPED_TRACE(finger);
      const std::string link = mirrored(config.string("hand.fingers." + finger + ".fingertip_link"));
      ASSERT_GE(hand.body_id(link), 0) << link;
      const std::string pad_axis = config.string("hand.fingers." + finger + ".fingertip_pad_axis_" + side);
      ASSERT_EQ(pad_axis.size(), 2u);
      const double sign = pad_axis[0] == '-' ? -1.0 : 1.0;
      const Eigen::Vector3d pad = sign * hand.body(link).rotation.col(pad_axis[1] - 'x');
      const Eigen::Vector3d direction = hand.body(link).rotation.col(2);
      if (finger != "thumb") {
        EXPECT_GT(pad.dot(palm_down_in_wrist), 0.9);
        EXPECT_GT(direction.dot(rotation * Eigen::Vector3d::UnitX()), 0.9);
      }
      EXPECT_EQ(config.numbers("tip_mapping." + side + ".input_tip_offset_local." + finger).size(), 3u);
    }
  }
}

TEST(HandSystemConfig, RuntimeConfigurationHoldsGloveFilterSettings) {
  const YAML::Node runtime = YAML::LoadFile((hand_dir() / "config.yaml").string());
  for (const char* key : {"position_filter_alpha", "orientation_filter_alpha"}) {
    const double alpha = runtime["glove"][key].as<double>();
    EXPECT_GT(alpha, 0.0) << key;
    EXPECT_LE(alpha, 1.0) << key;
  }
  for (const auto& bias : runtime["glove"]["rpy_bias_deg"]) {
    const auto values = bias.second.as<std::vector<double>>();
    EXPECT_TRUE(values.empty() || values.size() == 3u) << bias.first.as<std::string>();
  }
}

}  // namespace
}  // namespace kelto::test::hand
