// Which joint each MuJoCo actuator drives, for the physics observer and the viewer alike.
#pragma once

#include <string>
#include <unordered_map>

struct mjModel_;

namespace kelto::hand::detail {

// Joint name to actuator index for every actuator with a joint transmission (the ids of tendon, site and
// body transmissions index other tables). A joint driven by several actuators keeps the first.
std::unordered_map<std::string, int> joint_actuators(const mjModel_& model);

}  // namespace kelto::hand::detail
