// Helpers for the tests of the bundled dynamic OpenXR-style hand: file locations, the per-side joint
// metadata read straight from metadata.yaml, passive couplings, and MuJoCo forward kinematics.
#pragma once

#include <mujoco/mujoco.h>
#include <yaml-cpp/yaml.h>

#include <Eigen/Core>
#include <algorithm>
#include <array>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/test_files.hpp"

namespace kelto::test::hand {

inline const std::vector<std::string>& sides() {
  static const std::vector<std::string> kSides{"right", "left"};
  return kSides;
}

inline const std::vector<std::string>& finger_keys() {
  static const std::vector<std::string> kFingers{"thumb", "first", "middle", "ring", "little"};
  return kFingers;
}

inline std::filesystem::path hand_dir() {
  return source_dir() / "resources" / "hands" / "dynamic_openxr_hand";
}
inline std::filesystem::path urdf_path(const std::string& side) {
  return hand_dir() / "resources" / "pinocchio" / (side + ".urdf");
}
inline std::filesystem::path mjcf_path(const std::string& side) {
  return hand_dir() / "resources" / "mujoco" / (side + ".xml");
}
inline std::filesystem::path metadata_path() {
  return hand_dir() / "resources" / "pinocchio" / "metadata.yaml";
}
inline std::filesystem::path pose_library_path() {
  return hand_dir() / "pose_library.yaml";
}
inline std::filesystem::path system_config_path() {
  return hand_dir() / "dynamic_openxr_hand_system.yaml";
}

// The 24 skeleton nodes after "wrist", named without the side prefix.
inline std::vector<std::string> skeleton_nodes() {
  std::vector<std::string> nodes{"thumb_metacarpal", "thumb_proximal", "thumb_distal", "thumb_tip"};
  for (const char* finger : {"index", "middle", "ring", "little"}) {
    for (const char* bone : {"metacarpal", "proximal", "intermediate", "distal", "tip"}) {
      nodes.push_back(std::string(finger) + "_" + bone);
    }
  }
  return nodes;
}

struct Coupling {
  std::string dependent;
  std::string independent;
  std::vector<double> polycoef;
};

struct SideMetadata {
  std::vector<std::string> joint_order;
  std::map<std::string, std::array<double, 2>> limits;
  std::map<std::string, std::vector<std::string>> pose_joints;
  std::map<std::string, std::vector<double>> pose_multipliers;
  std::vector<std::string> fixed_joints;
  std::vector<std::string> active_joints;
  std::vector<Coupling> couplings;
  std::string wrist_frame;
  std::map<std::string, std::string> fingertip_frames;
};

inline SideMetadata load_metadata(const std::string& side) {
  const YAML::Node root = YAML::LoadFile(metadata_path().string())[side];
  SideMetadata meta;
  meta.joint_order = root["joint_order"].as<std::vector<std::string>>();
  for (const auto& entry : root["joint_limits_rad"]) {
    const auto pair = entry.second.as<std::vector<double>>();
    if (pair.size() != 2)
      throw std::runtime_error("limit pair expected for " + entry.first.as<std::string>());
    meta.limits[entry.first.as<std::string>()] = {pair[0], pair[1]};
  }
  for (const auto& entry : root["pose_joint_names"]) {
    meta.pose_joints[entry.first.as<std::string>()] = entry.second.as<std::vector<std::string>>();
  }
  for (const auto& entry : root["pose_joint_multipliers"]) {
    meta.pose_multipliers[entry.first.as<std::string>()] = entry.second.as<std::vector<double>>();
  }
  meta.fixed_joints = root["fixed_joint_names"].as<std::vector<std::string>>();
  meta.active_joints = root["active_joint_order"].as<std::vector<std::string>>();
  for (const auto& rule : root["equality_constraints"]) {
    meta.couplings.push_back({rule["dependent_joint"].as<std::string>(),
                              rule["independent_joint"].as<std::string>(),
                              rule["polycoef"].as<std::vector<double>>()});
  }
  meta.wrist_frame = root["wrist_frame_name"].as<std::string>();
  for (const auto& entry : root["fingertip_frame_names"]) {
    meta.fingertip_frames[entry.first.as<std::string>()] = entry.second.as<std::string>();
  }
  return meta;
}

using JointValues = std::map<std::string, double>;

inline double clamp_to(const SideMetadata& meta, const std::string& joint, double value) {
  const auto& limits = meta.limits.at(joint);
  return std::min(std::max(value, limits[0]), limits[1]);
}

// Drives every coupled joint from its driver (polynomial, then the child's limits), as many passes
// as there are rules so that chains settle.
inline JointValues apply_couplings(const SideMetadata& meta, JointValues q) {
  for (std::size_t pass = 0; pass < meta.couplings.size(); ++pass) {
    for (const Coupling& rule : meta.couplings) {
      const double x = q.at(rule.independent);
      double value = 0.0;
      double power = 1.0;
      for (double c : rule.polycoef) {
        value += c * power;
        power *= x;
      }
      q[rule.dependent] = clamp_to(meta, rule.dependent, value);
    }
  }
  return q;
}

// A joint vector drawn uniformly inside the limits, couplings applied.
inline JointValues random_joint_values(const SideMetadata& meta, std::mt19937& rng) {
  JointValues q;
  for (const std::string& joint : meta.joint_order) {
    const auto& limits = meta.limits.at(joint);
    q[joint] = std::uniform_real_distribution<double>(limits[0], limits[1])(rng);
  }
  return apply_couplings(meta, q);
}

// The same joint vector spelled for the other side.
inline JointValues for_side(const JointValues& q, const std::string& from, const std::string& to) {
  JointValues out;
  for (const auto& [name, value] : q) {
    if (name.rfind(from + "_", 0) != 0) throw std::runtime_error("joint without side prefix: " + name);
    out[to + name.substr(from.size())] = value;
  }
  return out;
}

struct FramePose {
  Eigen::Matrix3d rotation;
  Eigen::Vector3d position;
};

// A loaded MJCF model with its data; joint values are written into qpos by joint name.
class MujocoHand {
 public:
  explicit MujocoHand(const std::filesystem::path& path) {
    char error[1024] = "";
    model_ = mj_loadXML(path.c_str(), nullptr, error, sizeof(error));
    if (model_ == nullptr) throw std::runtime_error(std::string("MJCF load failed: ") + error);
    data_ = mj_makeData(model_);
  }
  ~MujocoHand() {
    mj_deleteData(data_);
    mj_deleteModel(model_);
  }
  MujocoHand(const MujocoHand&) = delete;
  MujocoHand& operator=(const MujocoHand&) = delete;

  const mjModel* model() const { return model_; }
  const mjData* data() const { return data_; }

  int joint_id(const std::string& name) const { return mj_name2id(model_, mjOBJ_JOINT, name.c_str()); }
  int body_id(const std::string& name) const { return mj_name2id(model_, mjOBJ_BODY, name.c_str()); }

  // Sets qpos from the values (every other coordinate 0) and runs the full forward pass.
  void set(const JointValues& q) {
    mj_resetData(model_, data_);
    for (const auto& [name, value] : q) {
      const int id = joint_id(name);
      if (id < 0) throw std::runtime_error("MJCF joint not found: " + name);
      data_->qpos[model_->jnt_qposadr[id]] = value;
    }
    mj_forward(model_, data_);
  }

  FramePose body(const std::string& name) const {
    const int id = body_id(name);
    if (id < 0) throw std::runtime_error("MJCF body not found: " + name);
    FramePose pose;
    for (int r = 0; r < 3; ++r) {
      pose.position[r] = data_->xpos[3 * id + r];
      for (int c = 0; c < 3; ++c) pose.rotation(r, c) = data_->xmat[9 * id + 3 * r + c];
    }
    return pose;
  }

 private:
  mjModel* model_ = nullptr;
  mjData* data_ = nullptr;
};

}  // namespace kelto::test::hand
