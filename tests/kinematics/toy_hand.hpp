// A small two-finger hand (thumb and first finger) written into a scratch resource tree, for tests
// that need a complete kinematic model without the bundled hand resources.
#pragma once

#include <filesystem>
#include <string>

#include "support/test_files.hpp"

namespace kelto::test {

// URDF of the toy hand for one side. The wrist sits on a tilted fixed joint so that the wrist frame
// differs from the world frame; the first finger has three revolute joints and a fixed tip.
inline std::string toy_urdf(const std::string& s) {
  auto revolute = [&s](const std::string& name, const std::string& parent, const std::string& child,
                       const std::string& xyz, const std::string& rpy, const std::string& axis,
                       const std::string& lower, const std::string& upper) {
    return "  <joint name=\"" + s + "_" + name + "\" type=\"revolute\">\n    <parent link=\"" + parent +
           "\"/>\n    <child link=\"" + child + "\"/>\n    <origin xyz=\"" + xyz + "\" rpy=\"" + rpy +
           "\"/>\n    <axis xyz=\"" + axis + "\"/>\n    <limit lower=\"" + lower + "\" upper=\"" + upper +
           "\" effort=\"1\" velocity=\"1\"/>\n  </joint>\n";
  };
  const std::string p = s + "_";
  return "<?xml version=\"1.0\"?>\n<robot name=\"toy_hand\">\n"
         "  <link name=\"base_link\"/>\n  <link name=\"" +
         p +
         "palm\"/>\n"
         "  <link name=\"" +
         p + "thumb_base\"/>\n  <link name=\"" + p +
         "thumb_tip_link\"/>\n"
         "  <link name=\"" +
         p + "first_proximal\"/>\n  <link name=\"" + p +
         "first_middle\"/>\n"
         "  <link name=\"" +
         p + "first_distal\"/>\n  <link name=\"" + p +
         "first_tip_link\"/>\n"
         "  <joint name=\"" +
         p +
         "palm_fixed\" type=\"fixed\">\n    <parent link=\"base_link\"/>\n"
         "    <child link=\"" +
         p +
         "palm\"/>\n    <origin xyz=\"0.01 -0.02 0.03\" rpy=\"0.3 0.2 -0.4\"/>\n"
         "  </joint>\n" +
         revolute("thumb_abd", p + "palm", p + "thumb_base", "0.02 0.01 0.02", "0.1 -0.2 0.3", "0 0 1",
                  "-0.5", "0.8") +
         revolute("thumb_flex", p + "thumb_base", p + "thumb_tip_link", "0.03 0 0.02", "0 0 0", "0 1 0",
                  "-0.2", "1.2") +
         revolute("first_mcp", p + "palm", p + "first_proximal", "0 0.01 0.08", "0 0 0", "0 1 0", "-0.3",
                  "1.5") +
         revolute("first_pip", p + "first_proximal", p + "first_middle", "0 0 0.04", "0 0 0", "0 1 0", "0",
                  "1.6") +
         revolute("first_dip", p + "first_middle", p + "first_distal", "0 0.002 0.025", "0 0 0", "0.2 1 0",
                  "0", "1.4") +
         "  <joint name=\"" + p + "first_tip_fixed\" type=\"fixed\">\n    <parent link=\"" + p +
         "first_distal\"/>\n    <child link=\"" + p +
         "first_tip_link\"/>\n"
         "    <origin xyz=\"0 0 0.02\" rpy=\"0 0 0\"/>\n  </joint>\n</robot>\n";
}

// Metadata of one side; `couplings` is the YAML text placed under the side (indented by two).
inline std::string toy_metadata_side(const std::string& s, const std::string& couplings) {
  const std::string p = s + "_";
  return s +
         ":\n"
         "  joint_order: [" +
         p + "thumb_abd, " + p + "thumb_flex, " + p + "first_mcp, " + p + "first_pip, " + p + "first_dip, " +
         p +
         "extra_fixed]\n"
         "  joint_limits_rad:\n"
         "    " +
         p + "thumb_abd: [-0.5, 0.8]\n    " + p +
         "thumb_flex: [-0.2, 1.2]\n"
         "    " +
         p + "first_mcp: [-0.3, 1.5]\n    " + p +
         "first_pip: [0.0, 1.6]\n"
         "    " +
         p + "first_dip: [0.0, 1.4]\n    " + p +
         "extra_fixed: [-1.0, 1.0]\n"
         "  pose_joint_names:\n"
         "    thumb: [" +
         p + "thumb_abd, " + p +
         "thumb_flex]\n"
         "    first: [" +
         p + "first_mcp, " + p +
         "first_pip]\n"
         "  fixed_joint_names: [" +
         p +
         "extra_fixed]\n"
         "  wrist_frame_name: " +
         p +
         "palm\n"
         "  fingertip_frame_names:\n    thumb: " +
         p + "thumb_tip_link\n    first: " + p + "first_tip_link\n" + couplings;
}

inline const char* kToyCouplingForm1 =
    "  passive_joint_couplings:\n    - {driver: SIDE_first_pip, child: SIDE_first_dip, multiplier: 0.8}\n";

inline std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size()) {
    text.replace(pos, from.size(), to);
  }
  return text;
}

inline std::string toy_metadata(const std::string& couplings = kToyCouplingForm1) {
  return toy_metadata_side("right", replace_all(couplings, "SIDE", "right")) +
         toy_metadata_side("left", replace_all(couplings, "SIDE", "left"));
}

inline const char* kToyPoseLibrary =
    "poses:\n"
    "  - name: open\n"
    "    finger_angles_rad:\n"
    "      thumb: [0.1, 0.2]\n"
    "      first: [0.05, 0.3]\n"
    "  - name: fist\n"
    "    finger_angles_rad:\n"
    "      thumb: [0.4, 0.9]\n"
    "      first: [1.2, 1.3]\n";

inline const char* kToySystem =
    "hand:\n"
    "  type: toy_hand\n"
    "  fingers:\n"
    "    thumb:\n"
    "      tip_offset: [0.0, 0.004, 0.025]\n"
    "retargeting:\n"
    "  finger_order: [thumb, first]\n";

// Writes <root>/hands/toy_hand/{toy_hand_system.yaml, pose_library.yaml, resources/pinocchio/...} and
// returns the system configuration path.
inline std::filesystem::path write_toy_hand(const std::filesystem::path& root,
                                            const std::string& system = kToySystem,
                                            const std::string& metadata = toy_metadata(),
                                            const std::string& poses = kToyPoseLibrary) {
  const std::filesystem::path hand = root / "hands" / "toy_hand";
  write_file(hand / "resources" / "pinocchio" / "right.urdf", toy_urdf("right"));
  write_file(hand / "resources" / "pinocchio" / "left.urdf", toy_urdf("left"));
  write_file(hand / "resources" / "pinocchio" / "metadata.yaml", metadata);
  write_file(hand / "pose_library.yaml", poses);
  return write_file(hand / "toy_hand_system.yaml", system);
}

}  // namespace kelto::test
