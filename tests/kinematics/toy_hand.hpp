// A small two-finger hand (thumb and first finger) written into a scratch resource tree, for tests that
// need a complete kinematic model without the bundled hand resources.
#pragma once

#include <filesystem>
#include <string>

#include "support/test_files.hpp"

namespace kelto::test {

inline std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size()) {
    text.replace(pos, from.size(), to);
  }
  return text;
}

// The URDF of one side ("S_" is the side prefix). The wrist (palm) sits on a tilted fixed joint so that
// the wrist frame differs from the world frame; the first finger has three revolute joints and a fixed tip.
inline std::string toy_urdf(const std::string& side) {
  auto revolute = [](const char* name, const char* parent, const char* child, const char* xyz,
                     const char* rpy, const char* axis, const char* lower, const char* upper) {
    return std::string("<joint name=\"S_") + name + "\" type=\"revolute\"><parent link=\"" + parent +
           "\"/><child link=\"" + child + "\"/><origin xyz=\"" + xyz + "\" rpy=\"" + rpy +
           "\"/><axis xyz=\"" + axis + "\"/><limit lower=\"" + lower + "\" upper=\"" + upper +
           "\" effort=\"1\" velocity=\"1\"/></joint>\n";
  };
  const std::string text =
      "<?xml version=\"1.0\"?>\n<robot name=\"toy_hand\">\n<link name=\"base_link\"/><link name=\"S_palm\"/>"
      "<link name=\"S_thumb_base\"/><link name=\"S_thumb_tip_link\"/><link name=\"S_first_proximal\"/>"
      "<link name=\"S_first_middle\"/><link name=\"S_first_distal\"/><link name=\"S_first_tip_link\"/>\n"
      "<joint name=\"S_palm_fixed\" type=\"fixed\"><parent link=\"base_link\"/><child link=\"S_palm\"/>"
      "<origin xyz=\"0.01 -0.02 0.03\" rpy=\"0.3 0.2 -0.4\"/></joint>\n" +
      revolute("thumb_abd", "S_palm", "S_thumb_base", "0.02 0.01 0.02", "0.1 -0.2 0.3", "0 0 1", "-0.5",
               "0.8") +
      revolute("thumb_flex", "S_thumb_base", "S_thumb_tip_link", "0.03 0 0.02", "0 0 0", "0 1 0", "-0.2",
               "1.2") +
      revolute("first_mcp", "S_palm", "S_first_proximal", "0 0.01 0.08", "0 0 0", "0 1 0", "-0.3", "1.5") +
      revolute("first_pip", "S_first_proximal", "S_first_middle", "0 0 0.04", "0 0 0", "0 1 0", "0", "1.6") +
      revolute("first_dip", "S_first_middle", "S_first_distal", "0 0.002 0.025", "0 0 0", "0.2 1 0", "0",
               "1.4") +
      "<joint name=\"S_first_tip_fixed\" type=\"fixed\"><parent link=\"S_first_distal\"/>"
      "<child link=\"S_first_tip_link\"/><origin xyz=\"0 0 0.02\" rpy=\"0 0 0\"/></joint>\n</robot>\n";
  return replace_all(text, "S_", side + "_");
}

inline const char* kToyCouplingForm1 =
    "  passive_joint_couplings:\n    - {driver: S_first_pip, child: S_first_dip, multiplier: 0.8}\n";

// Metadata of both sides; `couplings` is the YAML text placed under each side ("S_" is the side prefix).
inline std::string toy_metadata(const std::string& couplings = kToyCouplingForm1) {
  const std::string side =
      "S:\n"
      "  joint_order: [S_thumb_abd, S_thumb_flex, S_first_mcp, S_first_pip, S_first_dip, S_extra_fixed]\n"
      "  joint_limits_rad:\n"
      "    S_thumb_abd: [-0.5, 0.8]\n    S_thumb_flex: [-0.2, 1.2]\n    S_first_mcp: [-0.3, 1.5]\n"
      "    S_first_pip: [0.0, 1.6]\n    S_first_dip: [0.0, 1.4]\n    S_extra_fixed: [-1.0, 1.0]\n"
      "  pose_joint_names:\n    thumb: [S_thumb_abd, S_thumb_flex]\n    first: [S_first_mcp, S_first_pip]\n"
      "  fixed_joint_names: [S_extra_fixed]\n"
      "  wrist_frame_name: S_palm\n"
      "  fingertip_frame_names:\n    thumb: S_thumb_tip_link\n    first: S_first_tip_link\n" +
      couplings;
  return replace_all(replace_all(side, "S_", "right_"), "S:", "right:") +
         replace_all(replace_all(side, "S_", "left_"), "S:", "left:");
}

inline const char* kToyPoseLibrary =
    "poses:\n"
    "  - {name: open, finger_angles_rad: {thumb: [0.1, 0.2], first: [0.05, 0.3]}}\n"
    "  - {name: fist, finger_angles_rad: {thumb: [0.4, 0.9], first: [1.2, 1.3]}}\n";

inline const char* kToySystem =
    "hand:\n  type: toy_hand\n  fingers:\n    thumb:\n      tip_offset: [0.0, 0.004, 0.025]\n"
    "retargeting:\n  finger_order: [thumb, first]\n";

// Writes <root>/hands/toy_hand/{toy_hand_system.yaml, pose_library.yaml, resources/pinocchio/...} and
// returns the system configuration path.
inline std::filesystem::path write_toy_hand(const std::filesystem::path& root,
                                            const std::string& system = kToySystem,
                                            const std::string& metadata = toy_metadata()) {
  const std::filesystem::path hand = root / "hands" / "toy_hand";
  for (const char* side : {"right", "left"}) {
    write_file(hand / "resources" / "pinocchio" / (std::string(side) + ".urdf"), toy_urdf(side));
  }
  write_file(hand / "resources" / "pinocchio" / "metadata.yaml", metadata);
  write_file(hand / "pose_library.yaml", kToyPoseLibrary);
  return write_file(hand / "toy_hand_system.yaml", system);
}

}  // namespace kelto::test
