#include "physics/joint_actuators.hpp"

#include <mujoco/mujoco.h>

namespace kelto::hand::detail {
namespace {

bool drives_joint(int transmission) {
  return transmission == mjTRN_JOINT || transmission == mjTRN_JOINTINPARENT;
}

}  // namespace

std::unordered_map<std::string, int> joint_actuators(const mjModel_& model) {
  std::unordered_map<std::string, int> actuators;
  for (int a = 0; a < model.nu; ++a) {
    if (!drives_joint(model.actuator_trntype[a])) continue;
    const int target = model.actuator_trnid[2 * a];
    if (target < 0) continue;
    if (const char* name = mj_id2name(&model, mjOBJ_JOINT, target)) actuators.emplace(name, a);
  }
  return actuators;
}

}  // namespace kelto::hand::detail
