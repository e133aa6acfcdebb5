#include "kinematics/pinocchio_hand_kinematics.hpp"

#include <stdexcept>

#include "config/config.hpp"

namespace kelto::hand {

struct PinocchioHandKinematics::Impl {};

namespace {
[[noreturn]] void not_implemented() {
  throw std::runtime_error("PinocchioHandKinematics: not implemented yet");
}
}  // namespace

PinocchioHandKinematics::PinocchioHandKinematics(const Config&, std::string) {
  not_implemented();
}
PinocchioHandKinematics::~PinocchioHandKinematics() = default;
PinocchioHandKinematics::PinocchioHandKinematics(PinocchioHandKinematics&&) noexcept = default;
PinocchioHandKinematics& PinocchioHandKinematics::operator=(PinocchioHandKinematics&&) noexcept = default;
const std::vector<std::string>& PinocchioHandKinematics::joint_names() const {
  not_implemented();
}
const std::vector<std::string>& PinocchioHandKinematics::active_joint_names() const {
  not_implemented();
}
const std::vector<double>& PinocchioHandKinematics::active_lower() const {
  not_implemented();
}
const std::vector<double>& PinocchioHandKinematics::active_upper() const {
  not_implemented();
}
const std::vector<double>& PinocchioHandKinematics::q_rest_active() const {
  not_implemented();
}
const std::vector<double>& PinocchioHandKinematics::q_current_active() const {
  not_implemented();
}
std::vector<double> PinocchioHandKinematics::pose_active(const std::string&) const {
  not_implemented();
}
std::vector<double> PinocchioHandKinematics::expand_active(const std::vector<double>&) const {
  not_implemented();
}
std::vector<double> PinocchioHandKinematics::active_from_full(const std::vector<double>&) const {
  not_implemented();
}
HandKinematicsState PinocchioHandKinematics::state_from_active(const std::vector<double>&) {
  not_implemented();
}
HandKinematicsLinearization PinocchioHandKinematics::linearized_state_from_active(
    const std::vector<double>&) {
  not_implemented();
}
void PinocchioHandKinematics::apply_active(const std::vector<double>&) {
  not_implemented();
}
std::vector<double> PinocchioHandKinematics::full_current_q() const {
  not_implemented();
}
const std::vector<std::string>& PinocchioHandKinematics::skeleton_node_names() const {
  not_implemented();
}
std::vector<SkeletonPose> PinocchioHandKinematics::skeleton_poses_local(const std::vector<double>&) {
  not_implemented();
}

}  // namespace kelto::hand
