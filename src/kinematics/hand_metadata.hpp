// Hand resources and joint metadata of one hand side: where the files are, the joint order, limits,
// couplings and active joints, and the conversions between full and active joint vectors.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace kelto::hand {

class Config;

namespace detail {

// Joints driven by one finger's pose angles, with a multiplier per joint.
struct PoseJointSpec {
  std::vector<std::string> joints;
  std::vector<double> multipliers;
};

// child = output_scale · (c0 + c1·x + c2·x² + ...) with x = input_scale · q[driver].
struct PassiveCoupling {
  std::size_t driver = 0;
  std::size_t child = 0;
  std::vector<double> coefficients;
  double input_scale = 1.0;
  double output_scale = 1.0;
};

// Polynomial value c0 + c1·x + ... and its derivative, in the rule's own units.
double coupling_polynomial(const PassiveCoupling& coupling, double x);
double coupling_polynomial_slope(const PassiveCoupling& coupling, double x);

struct HandResourcePaths {
  std::filesystem::path resource_dir;
  std::filesystem::path urdf;
  std::filesystem::path metadata;
  std::filesystem::path pose_library;
};

// Joint metadata of one side, as read from the hand resources.
struct HandJointMetadata {
  std::string side;
  std::string hand_type;
  HandResourcePaths paths;
  std::vector<std::string> finger_order;
  std::map<std::string, PoseJointSpec> pose_joint_specs;
  std::vector<std::string> joint_names;
  std::set<std::string> fixed_joint_names;
  std::vector<std::string> active_joint_order;
  std::vector<double> lower;
  std::vector<double> upper;
  std::vector<PassiveCoupling> couplings;
  std::vector<std::size_t> active_indices;
  std::vector<std::string> active_joint_names;
  std::vector<double> active_lower;
  std::vector<double> active_upper;
  // The loaded metadata file; the model reads its wrist and fingertip frame fallbacks.
  std::shared_ptr<const Config> metadata;
};

// Hand type, finger order and the four resource paths for the side's system configuration.
HandResourcePaths locate_hand_resources(const Config& config, const std::string& side, std::string& hand_type,
                                        std::vector<std::string>& finger_order);

// Resource lookup plus every metadata key, couplings and active joints, in reading order.
HandJointMetadata load_hand_metadata(const Config& config, const std::string& side);

void load_passive_couplings(const Config& metadata, HandJointMetadata& out);
void build_active_joint_metadata(const Config& metadata, HandJointMetadata& out);

std::size_t joint_index(const std::vector<std::string>& joint_names, const std::string& name);
double angle_unit_scale(const std::string& unit);
std::vector<std::size_t> fixed_joint_indices(const HandJointMetadata& meta);

// Clamps to the limits, zeroes the fixed joints and applies the couplings (N passes for N rules).
std::vector<double> project_passive(const HandJointMetadata& meta, std::vector<double> q);
// The same in place, with the fixed joints given as `fixed_joint_indices(meta)`: no allocation once `q`
// (or `full`) has its size.
void project_passive_in_place(const HandJointMetadata& meta, const std::vector<std::size_t>& fixed,
                              std::vector<double>& q);
// Active → full vector starting from `rest_full`; full → active. Both project.
std::vector<double> expand(const HandJointMetadata& meta, const std::vector<double>& rest_full,
                           const std::vector<double>& q_active);
void expand_into(const HandJointMetadata& meta, const std::vector<std::size_t>& fixed,
                 const std::vector<double>& rest_full, const std::vector<double>& q_active,
                 std::vector<double>& full);
std::vector<double> select_active(const HandJointMetadata& meta, const std::vector<double>& q_full);
// The same with the fixed joints given as `fixed_joint_indices(meta)`.
std::vector<double> select_active(const HandJointMetadata& meta, const std::vector<std::size_t>& fixed,
                                  const std::vector<double>& q_full);

// A named pose of the pose library as a full vector (clamped, not projected).
std::vector<double> load_pose(const std::filesystem::path& pose_library, const std::string& name,
                              const std::map<std::string, PoseJointSpec>& specs,
                              const std::vector<std::string>& joint_names, const std::vector<double>& lower,
                              const std::vector<double>& upper);

// Rest pose name: hand.rest_pose, else "open".
std::string rest_pose_name(const Config& config);

}  // namespace detail
}  // namespace kelto::hand
