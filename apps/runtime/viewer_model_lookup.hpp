// Where the viewer finds the MJCF model of a hand side.
#pragma once

#include <filesystem>
#include <string>

namespace kelto::hand::runtime {

// The model file for one side's viewer. A non-empty `override_model` (the --mujoco-model path) is returned
// made absolute, without looking at it. Otherwise the first regular file (following symbolic links) among
//   <config dir>/resources/mujoco/<side>.xml, <config dir>/resources/pinocchio/<side>/hand.xml,
// then, for the configuration's directory and every ancestor up to the root directory,
//   kelto_hand/resources/hands/<hand_type>/resources/mujoco/<side>.xml,
//   hands/<hand_type>/resources/mujoco/<side>.xml,
//   kelto_hand/resources/hands/<hand_type>/resources/pinocchio/<side>/hand.xml,
//   hands/<hand_type>/resources/pinocchio/<side>/hand.xml,
// is returned as its canonical path. Throws std::runtime_error
// "cannot locate MuJoCo model for <hand_type>/<side>; pass --mujoco-model" when there is none; a
// file-system error other than absence ends the search with that error.
std::filesystem::path resolve_mujoco_model(const std::filesystem::path& config_path,
                                           const std::string& hand_type, const std::string& side,
                                           const std::filesystem::path& override_model);

}  // namespace kelto::hand::runtime
