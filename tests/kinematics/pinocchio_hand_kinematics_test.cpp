#include "kinematics/pinocchio_hand_kinematics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>

#include "config/config.hpp"
#include "config/resource_root.hpp"
#include "kinematics/jacobian_check.hpp"
#include "kinematics/toy_hand.hpp"
#include "support/test_files.hpp"

namespace kelto::hand {
namespace {

using test::expect_jacobians_match_differences;
using test::random_inside;
using test::replace_all;
using test::TempDir;
using Vec = std::vector<double>;

// Keeps the process-wide resource root empty for the test and restores it afterwards.
class EmptyResourceRoot {
 public:
  EmptyResourceRoot() : saved_(runtime_resource_root()) { set_runtime_resource_root({}); }
  ~EmptyResourceRoot() { set_runtime_resource_root(saved_); }

 private:
  std::filesystem::path saved_;
};

std::string error_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

struct ToyModel {
  EmptyResourceRoot root_guard;
  TempDir dir;
  std::filesystem::path system;

  explicit ToyModel(const std::string& system_text = test::kToySystem,
                    const std::string& metadata = test::toy_metadata(),
                    const std::string& poses = test::kToyPoseLibrary)
      : system(test::write_toy_hand(dir.path(), system_text, metadata, poses)) {}

  PinocchioHandKinematics build(const std::string& side = "right") const {
    return PinocchioHandKinematics(Config::load(system, "", side), side);
  }
};

// Rotation of URDF roll-pitch-yaw angles, Rz(yaw)·Ry(pitch)·Rx(roll), row-major.
std::array<double, 9> rpy_rotation(double r, double p, double y) {
  const double cr = std::cos(r), sr = std::sin(r), cp = std::cos(p), sp = std::sin(p), cy = std::cos(y),
               sy = std::sin(y);
  return {cy * cp,
          cy * sp * sr - sy * cr,
          cy * sp * cr + sy * sr,
          sy * cp,
          sy * sp * sr + cy * cr,
          sy * sp * cr - cy * sr,
          -sp,
          cp * sr,
          cp * cr};
}

struct CouplingCase {
  const char* name;
  const char* couplings;
  std::size_t active_count;
};

// Failure logs name the case instead of dumping its bytes.
void PrintTo(const CouplingCase& c, std::ostream* os) {
  *os << c.name;
}

class JacobianTest : public ::testing::TestWithParam<std::tuple<CouplingCase, std::string>> {};

TEST_P(JacobianTest, MatchesCentralDifferencesInsideTheLimits) {
  const auto& [coupling, side] = GetParam();
  ToyModel toy(test::kToySystem, test::toy_metadata(coupling.couplings));
  PinocchioHandKinematics model = toy.build(side);
  ASSERT_EQ(model.active_joint_names().size(), coupling.active_count);
  std::mt19937 rng(7);
  for (int trial = 0; trial < 5; ++trial)
    expect_jacobians_match_differences(model, random_inside(model, rng));
}

const CouplingCase kCouplingCases[] = {
    {"none", "", 5},
    {"linear", test::kToyCouplingForm1, 4},
    {"polynomial_degrees",
     "  equality_constraints:\n    - {independent_joint: SIDE_first_pip, dependent_joint: SIDE_first_dip,\n"
     "       polycoef: [2.0, 0.7, 0.001], input_unit: deg, output_unit: degrees}\n",
     4},
    // Listed child-first, so the chain only settles through repeated passes.
    {"chain",
     "  passive_joint_couplings:\n    - {driver: SIDE_first_pip, child: SIDE_first_dip, multiplier: 0.8}\n"
     "    - {driver: SIDE_first_mcp, child: SIDE_first_pip, offset: 0.3, multiplier: 0.5}\n",
     3},
};

INSTANTIATE_TEST_SUITE_P(Couplings, JacobianTest,
                         ::testing::Combine(::testing::ValuesIn(kCouplingCases),
                                            ::testing::Values("right", "left")),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param);
                         });

TEST(PinocchioHandKinematics, SaturatedCouplingChildHasZeroJacobianRow) {
  const std::string doubling =
      "  passive_joint_couplings:\n    - {driver: SIDE_first_pip, child: SIDE_first_dip, multiplier: 2.0}\n";
  ToyModel toy(test::kToySystem, test::toy_metadata(doubling));
  PinocchioHandKinematics model = toy.build();
  // Active joints: thumb_abd, thumb_flex, first_mcp, first_pip (index 3).
  ASSERT_EQ(model.active_joint_names()[3], "right_first_pip");
  const Vec below{0.2, 0.3, 0.4, 0.3};   // dip = 0.6, inside [0, 1.4]
  const Vec beyond{0.2, 0.3, 0.4, 0.9};  // dip would be 1.8: saturated at 1.4
  expect_jacobians_match_differences(model, below);
  expect_jacobians_match_differences(model, beyond);

  // Saturated: the pip column is the pip joint alone, so it differs from the unsaturated coupled column
  // and equals the column of a model whose dip joint is held still.
  ToyModel held(test::kToySystem, test::toy_metadata(""));
  PinocchioHandKinematics uncoupled = held.build();
  const Vec uncoupled_beyond{0.2, 0.3, 0.4, 0.9, 1.4};
  const auto a = model.linearized_state_from_active(beyond).tip_position_jacobians.at("first");
  const auto b = uncoupled.linearized_state_from_active(uncoupled_beyond).tip_position_jacobians.at("first");
  for (std::size_t row = 0; row < 3; ++row) EXPECT_NEAR(a.data[row * 4 + 3], b.data[row * 5 + 3], 1e-12);

  // Exactly at the child's limit the rule still counts: the column equals the one-sided difference from
  // below.
  const Vec at_limit{0.2, 0.3, 0.4, 0.7};
  const auto lin = model.linearized_state_from_active(at_limit);
  Vec lower_q = at_limit;
  lower_q[3] -= 1e-7;
  const auto s0 = model.state_from_active(at_limit).tip_positions_wrist.at("first");
  const auto s1 = model.state_from_active(lower_q).tip_positions_wrist.at("first");
  for (std::size_t row = 0; row < 3; ++row) {
    EXPECT_NEAR(lin.tip_position_jacobians.at("first").data[row * 4 + 3], (s0[row] - s1[row]) / 1e-7, 1e-5);
  }
}

TEST(PinocchioHandKinematics, StateIsExpressedInTheWristFrame) {
  ToyModel toy;
  PinocchioHandKinematics model = toy.build();
  const HandKinematicsState state = model.state_from_active(model.q_rest_active());
  // The wrist is the palm link: translated and tilted by the fixed joint from the base.
  const std::array<double, 9> palm = rpy_rotation(0.3, 0.2, -0.4);
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(state.wrist_rotation[i], palm[i], 1e-12);
  EXPECT_NEAR(state.wrist_position[0], 0.01, 1e-12);
  EXPECT_NEAR(state.wrist_position[1], -0.02, 1e-12);
  EXPECT_NEAR(state.wrist_position[2], 0.03, 1e-12);
  for (const std::string finger : {"thumb", "first"}) {
    const auto& local = state.tip_positions_wrist.at(finger);
    const auto& world = state.tip_positions_world.at(finger);
    for (int i = 0; i < 3; ++i) {
      const double back = palm[3 * i] * local[0] + palm[3 * i + 1] * local[1] + palm[3 * i + 2] * local[2] +
                          state.wrist_position[i];
      EXPECT_NEAR(back, world[i], 1e-12);
    }
  }
  // The first finger straight (mcp 0, pip 0 and dip coupled to 0): its tip lies on the palm's z axis
  // offset by the joint origins, 0.01 + 0.002 in y and 0.08 + 0.04 + 0.025 + 0.02 in z.
  const auto straight = model.state_from_active({0.1, 0.2, 0.0, 0.0}).tip_positions_wrist.at("first");
  EXPECT_NEAR(straight[0], 0.0, 1e-12);
  EXPECT_NEAR(straight[1], 0.012, 1e-12);
  EXPECT_NEAR(straight[2], 0.165, 1e-12);
}

TEST(PinocchioHandKinematics, RestPoseCurrentStateAndConversions) {
  ToyModel toy;
  PinocchioHandKinematics model = toy.build();
  EXPECT_EQ(model.joint_names().size(), 6u);
  EXPECT_EQ(model.active_joint_names(), (std::vector<std::string>{"right_thumb_abd", "right_thumb_flex",
                                                                  "right_first_mcp", "right_first_pip"}));
  const Vec rest{0.1, 0.2, 0.05, 0.3};
  EXPECT_EQ(model.q_rest_active(), rest);
  EXPECT_EQ(model.q_current_active(), rest);
  const Vec full_rest = model.full_current_q();
  ASSERT_EQ(full_rest.size(), 6u);
  EXPECT_DOUBLE_EQ(full_rest[4], 0.8 * 0.3);  // coupled dip
  EXPECT_DOUBLE_EQ(full_rest[5], 0.0);        // fixed joint

  // Queries do not move the current state; apply_active does, with limits and couplings applied.
  model.state_from_active({0.0, 0.0, 0.0, 0.0});
  model.linearized_state_from_active({0.0, 0.0, 0.0, 0.0});
  EXPECT_EQ(model.q_current_active(), rest);
  model.apply_active({5.0, 0.5, -1.0, 1.0});
  EXPECT_EQ(model.q_current_active(), (Vec{0.8, 0.5, -0.3, 1.0}));
  EXPECT_EQ(model.full_current_q(), (Vec{0.8, 0.5, -0.3, 1.0, 0.8, 0.0}));
  EXPECT_EQ(model.q_rest_active(), rest);

  EXPECT_EQ(model.expand_active({0.0, 0.1, 0.2, 0.5}), (Vec{0.0, 0.1, 0.2, 0.5, 0.4, 0.0}));
  EXPECT_EQ(model.active_from_full({9.0, 0.1, 0.2, 0.5, 0.0, 0.7}), (Vec{0.8, 0.1, 0.2, 0.5}));
  EXPECT_EQ(model.pose_active("fist"), (Vec{0.4, 0.9, 1.2, 1.3}));
  EXPECT_TRUE(model.skeleton_node_names().empty());
  EXPECT_TRUE(model.skeleton_poses_local(rest).empty());

  // Wrong sizes fail and leave the state alone.
  EXPECT_EQ(error_of([&] { model.state_from_active({0.0}); }), "Active hand joint vector has the wrong size");
  EXPECT_EQ(error_of([&] { model.linearized_state_from_active({}); }),
            "Active hand joint vector has the wrong size");
  EXPECT_EQ(error_of([&] { model.apply_active({0.0, 0.0}); }), "Active hand joint vector has the wrong size");
  EXPECT_EQ(error_of([&] { model.active_from_full({0.0}); }), "Full hand joint vector has the wrong size");
  EXPECT_EQ(model.q_current_active(), (Vec{0.8, 0.5, -0.3, 1.0}));

  // Moving keeps the model usable.
  PinocchioHandKinematics moved = std::move(model);
  EXPECT_EQ(moved.q_current_active(), (Vec{0.8, 0.5, -0.3, 1.0}));
}

TEST(PinocchioHandKinematics, TipAxesFollowTheConfiguredConvention) {
  // Both tips hang on the base link, whose frame is the world frame, so the tip rotation is the axis
  // convention itself.
  std::string text = replace_all(test::kToySystem, "  fingers:\n",
                                 "  fingers:\n    first:\n      fingertip_link: base_link\n"
                                 "      fingertip_direction_axis_right: -y\n"
                                 "      fingertip_direction_axis: +x\n      fingertip_pad_axis: +z\n");
  text = replace_all(text, "      tip_offset:", "      fingertip_link: base_link\n      tip_offset:");
  ToyModel toy(text);
  PinocchioHandKinematics model = toy.build();
  const HandKinematicsState state = model.state_from_active(model.q_rest_active());
  EXPECT_EQ(state.tip_rotations_world.at("thumb"), (std::array<double, 9>{0, 0, -1, 0, 1, 0, 1, 0, 0}));
  EXPECT_EQ(state.tip_rotations_world.at("first"), (std::array<double, 9>{0, -1, 0, -1, 0, 0, 0, 0, -1}));
  EXPECT_EQ(state.tip_positions_world.at("thumb"), (std::array<double, 3>{0.0, 0.004, 0.025}));
}

TEST(PinocchioHandKinematics, WristParentFallbacks) {
  struct Case {
    const char* name;
    const char* system_extra;  // appended under hand:
    bool metadata_wrist;
    const char* side;
    std::array<double, 3> expected;
  };
  const Case cases[] = {
      // The metadata names the right palm; the left model mirrors it to left_palm.
      {"metadata_mirrored", "", true, "left", {0.01, -0.02, 0.03}},
      // A configured link that does not exist falls back to the default names (base_link).
      {"missing_config_link", "  wrist_link: no_such_link\n", false, "right", {0.0, 0.0, 0.0}},
      // The side-specific key wins and is mirrored ("left_palm" on the right side is right_palm).
      {"side_key",
       "  wrist_link: base_link\n  wrist_link_right_hand: left_palm\n",
       true,
       "right",
       {0.01, -0.02, 0.03}},
      // The offset is expressed in the parent's axes.
      {"offset",
       "  wrist_link: base_link\n  wrist_offset: [0.1, 0.2, 0.3]\n",
       false,
       "right",
       {0.1, 0.2, 0.3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string metadata = test::toy_metadata();
    if (!c.metadata_wrist) {
      metadata = replace_all(metadata, "  wrist_frame_name: right_palm\n", "");
      metadata = replace_all(metadata, "  wrist_frame_name: left_palm\n", "");
    } else {
      metadata = replace_all(metadata, "wrist_frame_name: left_palm", "wrist_frame_name: right_palm");
    }
    ToyModel toy(replace_all(test::kToySystem, "  type: toy_hand\n",
                             std::string("  type: toy_hand\n") + c.system_extra),
                 metadata);
    PinocchioHandKinematics model = toy.build(c.side);
    const auto state = model.state_from_active(model.q_rest_active());
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(state.wrist_position[i], c.expected[i], 1e-12);
  }
}

TEST(PinocchioHandKinematics, LinkNamedWristIsShadowedByTheOperationalFrame) {
  ToyModel toy;
  for (const std::string side : {"right", "left"}) {
    std::string urdf = test::toy_urdf(side);
    urdf = replace_all(urdf, "</robot>",
                       "  <link name=\"wrist\"/>\n  <joint name=\"wrist_fixed\" type=\"fixed\">\n"
                       "    <parent link=\"base_link\"/>\n    <child link=\"wrist\"/>\n"
                       "    <origin xyz=\"0.5 0.5 0.5\" rpy=\"0 0 0\"/>\n  </joint>\n</robot>");
    test::write_file(toy.dir.path() / "hands/toy_hand/resources/pinocchio" / (side + ".urdf"), urdf);
  }
  PinocchioHandKinematics model = toy.build();
  const auto state = model.state_from_active(model.q_rest_active());
  EXPECT_NEAR(state.wrist_position[0], 0.01, 1e-12);
}

struct Edit {
  const char* file;  // "system", "metadata" or "urdf"
  const char* from;
  const char* to;
};

struct ErrorCase {
  const char* name;
  std::vector<Edit> edits;
  const char* side;
  const char* message;
};

void PrintTo(const ErrorCase& c, std::ostream* os) {
  *os << c.name;
}

class ConstructionErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ConstructionErrorTest, ReportsTheFault) {
  const ErrorCase& c = GetParam();
  std::string system = test::kToySystem;
  std::string metadata = test::toy_metadata();
  std::string urdf = test::toy_urdf("right");
  for (const Edit& edit : c.edits) {
    const std::string file = edit.file;
    std::string& target = file == "system" ? system : file == "metadata" ? metadata : urdf;
    ASSERT_NE(target.find(edit.from), std::string::npos) << "fixture text not found: " << edit.from;
    target = replace_all(target, edit.from, edit.to);
  }
  ToyModel toy(system, metadata);
  test::write_file(toy.dir.path() / "hands/toy_hand/resources/pinocchio/right.urdf", urdf);
  EXPECT_EQ(error_of([&] { PinocchioHandKinematics(Config::load(toy.system, "", "right"), c.side); }),
            c.message);
}

const char* const kThumbLink = "    thumb: right_thumb_tip_link\n";
const char* const kFixedLine = "  fixed_joint_names: [right_extra_fixed]\n";
const char* const kTipOffset = "      tip_offset:";

const ErrorCase kErrorCases[] = {
    {"bad_side", {}, "both", "Pinocchio hand side must be left or right"},
    {"empty_finger_order",
     {{"system", "[thumb, first]", "[]"}},
     "right",
     "retargeting.finger_order must not be empty"},
    {"no_joints",
     {{"metadata", "  joint_order: [right_thumb_abd", "  joint_order: []\n  unused: [right_thumb_abd"}},
     "right",
     "Pinocchio metadata contains no joints for hand.type=toy_hand"},
    {"three_limits",
     {{"metadata", "right_thumb_flex: [-0.2, 1.2]", "right_thumb_flex: [-0.2, 1.2, 3]"}},
     "right",
     "Joint limits must contain two values: right_thumb_flex"},
    {"missing_limits",
     {{"metadata", "    right_thumb_flex: [-0.2, 1.2]\n", ""}},
     "right",
     "Config key was not found: right.joint_limits.right_thumb_flex"},
    {"missing_pose_joints",
     {{"metadata", "    first: [right_first_mcp, right_first_pip]\n", ""}},
     "right",
     "Pinocchio metadata is missing: native_pose_joint_names.right.first"},
    {"empty_pose_joints",
     {{"metadata", "    thumb: [right_thumb_abd, right_thumb_flex]\n", "    thumb: []\n"}},
     "right",
     "Pinocchio pose joint list is empty: right.pose_joint_names.thumb"},
    {"multiplier_size",
     {{"metadata", kFixedLine,
       "  fixed_joint_names: [right_extra_fixed]\n  pose_joint_multipliers:\n    first: [1.0]\n"}},
     "right",
     "Pinocchio pose joint multipliers have the wrong size: right.pose_joint_multipliers.first"},
    {"coupling_unknown_joint",
     {{"metadata", "driver: right_first_pip", "driver: right_first_ppp"}},
     "right",
     "Passive coupling joint was not found: right_first_ppp"},
    {"coupling_same_joint",
     {{"metadata", "driver: right_first_pip", "driver: right_first_dip"}},
     "right",
     "Passive coupling driver and child must differ"},
    {"coupling_unit",
     {{"metadata",
       "  passive_joint_couplings:\n    - {driver: right_first_pip, child: right_first_dip, multiplier: "
       "0.8}\n",
       "  passive_couplings:\n    - {independent_joint: right_first_pip, dependent_joint: right_first_dip, "
       "polycoef: [0, 1], input_unit: Deg}\n"}},
     "right",
     "Unsupported passive coupling angle unit: Deg"},
    {"active_limits",
     {{"metadata", kFixedLine,
       "  fixed_joint_names: [right_extra_fixed]\n  active_joint_limits:\n    right_thumb_abd: [0.1]\n"}},
     "right",
     "Active joint limits must contain two values: right_thumb_abd"},
    {"no_active",
     {{"metadata", kFixedLine,
       "  fixed_joint_names: [right_extra_fixed]\n  active_joint_order: [right_first_dip, nothing]\n"}},
     "right",
     "Pinocchio hand has no active joints"},
    {"axis_upper_case",
     {{"system", kTipOffset, "      fingertip_pad_axis: X\n      tip_offset:"}},
     "right",
     "fingertip axis must be +x/-x/+y/-y/+z/-z"},
    {"axis_sign_only",
     {{"system", kTipOffset, "      fingertip_direction_axis_right: \"+\"\n      tip_offset:"}},
     "right",
     "fingertip axis must be +x/-x/+y/-y/+z/-z"},
    {"axis_two_letters",
     {{"system", kTipOffset, "      fingertip_direction_axis: xy\n      tip_offset:"}},
     "right",
     "fingertip axis must be +x/-x/+y/-y/+z/-z"},
    {"axis_empty",
     {{"system", kTipOffset, "      fingertip_direction_axis: \"\"\n      tip_offset:"}},
     "right",
     "fingertip axis must not be empty"},
    {"axes_same",
     {{"system", kTipOffset,
       "      fingertip_direction_axis: +y\n      fingertip_pad_axis: -y\n      tip_offset:"}},
     "right",
     "fingertip direction and pad axes must differ"},
    {"no_wrist_key",
     {{"metadata", "  wrist_frame_name: right_palm\n", ""}},
     "right",
     "Generic Pinocchio hand requires a wrist link: toy_hand"},
    {"no_fingertip_key",
     {{"metadata", "    first: right_first_tip_link\n", ""}},
     "right",
     "Generic Pinocchio hand requires a fingertip link for: first"},
    // Without a metadata fallback the mirrored configured name is reported.
    {"fingertip_missing",
     {{"system", kTipOffset, "      fingertip_link: l_thumb_nail\n      tip_offset:"},
      {"metadata", kThumbLink, ""}},
     "right",
     "URDF frame was not found: r_thumb_nail"},
    {"wrist_offset_size",
     {{"system", "  type: toy_hand\n", "  type: toy_hand\n  wrist_offset: [1, 2]\n"}},
     "right",
     "Expected a 3D vector at: hand.wrist_offset"},
    {"tip_offset_size",
     {{"system", "[0.0, 0.004, 0.025]", "[0.0, 0.004]"}},
     "right",
     "Expected a 3D vector at: hand.fingers.thumb.tip_offset"},
    {"joint_missing_from_urdf",
     {{"urdf", "right_thumb_flex\"", "right_thumb_bend\""}},
     "right",
     "URDF joint was not found: right_thumb_flex"},
    {"continuous_joint",
     {{"urdf", "<joint name=\"right_thumb_abd\" type=\"revolute\">",
       "<joint name=\"right_thumb_abd\" type=\"continuous\">"}},
     "right",
     "Only scalar Pinocchio joints are supported: right_thumb_abd"},
    {"rest_pose_missing",
     {{"system", "  type: toy_hand\n", "  type: toy_hand\n  rest_pose: relaxed\n"}},
     "right",
     "Unsupported hand pose: relaxed"},
};

INSTANTIATE_TEST_SUITE_P(Cases, ConstructionErrorTest, ::testing::ValuesIn(kErrorCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelto::hand
