// The kinematic model on the toy hand and on the bundled OpenXR-style hand: Jacobians against central
// differences, state conversions, wrist and tip frames, models generated from a bone file, construction
// errors.
#include "kinematics/pinocchio_hand_kinematics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <sstream>

#include "config/config.hpp"
#include "config/resource_root.hpp"
#include "kinematics/toy_hand.hpp"
#include "kinematics/vec3.hpp"
#include "support/error_text.hpp"

namespace kelto::hand {
namespace {

using detail::Vec3;
using test::error_text;
using test::replace_all;
using test::TempDir;
using Vec = std::vector<double>;

double distance(const Vec3& a, const Vec3& b) {
  return detail::norm(detail::sub(a, b));
}

Vec random_inside(const PinocchioHandKinematics& model, std::mt19937& rng) {
  Vec q;
  for (std::size_t k = 0; k < model.active_lower().size(); ++k) {
    const double lo = model.active_lower()[k], hi = model.active_upper()[k], margin = 0.05 * (hi - lo);
    q.push_back(std::uniform_real_distribution<double>(lo + margin, hi - margin)(rng));
  }
  return q;
}

// Both fingertip Jacobians at `q` against central differences of state_from_active.
void expect_jacobians_match_differences(PinocchioHandKinematics& model, const Vec& q) {
  const HandKinematicsLinearization lin = model.linearized_state_from_active(q);
  const double h = 1e-6;
  for (const auto& [finger, position] : lin.tip_position_jacobians) {
    const DenseMatrix& angular = lin.tip_angular_jacobians.at(finger);
    ASSERT_EQ(position.cols, q.size());
    const auto& r0 = lin.tip_rotations_world.at(finger);
    for (std::size_t k = 0; k < q.size(); ++k) {
      Vec plus = q, minus = q;
      plus[k] += h;
      minus[k] -= h;
      const HandKinematicsState sp = model.state_from_active(plus), sm = model.state_from_active(minus);
      const auto &pp = sp.tip_positions_wrist.at(finger), &pm = sm.tip_positions_wrist.at(finger);
      const auto &rp = sp.tip_rotations_world.at(finger), &rm = sm.tip_rotations_world.at(finger);
      // dR/dq · Rᵀ is the skew matrix of the world angular velocity per unit joint motion.
      const auto skew = [&](int i, int j) {
        double s = 0.0;
        for (int m = 0; m < 3; ++m) s += (rp[3 * i + m] - rm[3 * i + m]) / (2 * h) * r0[3 * j + m];
        return s;
      };
      const double omega[3] = {skew(2, 1), skew(0, 2), skew(1, 0)};
      for (int axis = 0; axis < 3; ++axis) {
        EXPECT_NEAR(position.data[axis * q.size() + k], (pp[axis] - pm[axis]) / (2 * h), 1e-6)
            << finger << " position row " << axis << " joint " << k;
        EXPECT_NEAR(angular.data[axis * q.size() + k], omega[axis], 1e-6)
            << finger << " angular row " << axis << " joint " << k;
      }
    }
  }
}

// Every double of a query's answer in a fixed order, for bit-for-bit comparisons.
void append(Vec& out, const double* values, std::size_t n) {
  out.insert(out.end(), values, values + n);
}
template <std::size_t N>
void append(Vec& out, const std::array<double, N>& values) {
  append(out, values.data(), N);
}
void append(Vec& out, const DenseMatrix& m) {
  out.push_back(static_cast<double>(m.rows));
  out.push_back(static_cast<double>(m.cols));
  append(out, m.data.data(), m.data.size());
}
template <typename Map>
void append_map(Vec& out, const Map& map) {
  for (const auto& entry : map) append(out, entry.second);
}
template <typename State>
Vec flatten_state(const State& s) {
  Vec out;
  append(out, s.wrist_position);
  append(out, s.wrist_rotation);
  append_map(out, s.tip_positions_wrist);
  append_map(out, s.tip_rotations_wrist);
  append_map(out, s.tip_positions_world);
  append_map(out, s.tip_rotations_world);
  return out;
}

// The queries the solver and the engine make, each answered into storage kept from query to query.
enum class Query { kTips, kLinearizedTips, kState, kLinearizedState, kSkeleton };
struct QueryStorage {
  HandTipKinematics tips;
  HandKinematicsState state;
  HandKinematicsLinearization linearization;
  std::vector<SkeletonPose> skeleton;
};

Vec answer(PinocchioHandKinematics& model, Query query, const Vec& q, QueryStorage& s) {
  Vec out;
  switch (query) {
    case Query::kTips:
    case Query::kLinearizedTips:
      if (query == Query::kTips) {
        model.tip_kinematics_from_active(q, s.tips);
      } else {
        model.linearized_tip_kinematics_from_active(q, s.tips);
      }
      append(out, s.tips.wrist_position);
      append(out, s.tips.wrist_rotation);
      for (const TipKinematics& t : s.tips.tips) {
        append(out, t.position_wrist);
        append(out, t.rotation_wrist);
        append(out, t.position_world);
        append(out, t.rotation_world);
        if (query == Query::kLinearizedTips) {
          append(out, t.position_jacobian);
          append(out, t.angular_jacobian);
        }
      }
      return out;
    case Query::kState:
      model.state_from_active(q, s.state);
      return flatten_state(s.state);
    case Query::kLinearizedState:
      model.linearized_state_from_active(q, s.linearization);
      out = flatten_state(s.linearization);
      append_map(out, s.linearization.tip_position_jacobians);
      append_map(out, s.linearization.tip_angular_jacobians);
      return out;
    case Query::kSkeleton:
      model.skeleton_poses_local(q, s.skeleton);
      for (const SkeletonPose& pose : s.skeleton) {
        append(out, pose.position);
        append(out, pose.quaternion);
      }
      return out;
  }
  return out;
}

// Index of the first double whose bits differ (the shorter size when one ends first), -1 when none does.
long first_bit_difference(const Vec& a, const Vec& b) {
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0) return static_cast<long>(i);
  }
  return a.size() == b.size() ? -1 : static_cast<long>(std::min(a.size(), b.size()));
}

// Answers `queries` in turn on one model and each on a model that has answered nothing before: whatever
// a model reuses from earlier queries, the answers agree bit for bit. A vector of the wrong size fails.
void expect_fresh_answers(const std::function<PinocchioHandKinematics()>& build,
                          const std::vector<std::pair<Query, Vec>>& queries) {
  PinocchioHandKinematics model = build();
  QueryStorage storage;
  for (std::size_t i = 0; i < queries.size(); ++i) {
    const Query& query = queries[i].first;
    const Vec& q = queries[i].second;
    if (q.size() != model.active_joint_names().size()) {
      EXPECT_EQ(error_text([&] { answer(model, query, q, storage); }),
                "Active hand joint vector has the wrong size");
      continue;
    }
    PinocchioHandKinematics fresh = build();
    QueryStorage fresh_storage;
    EXPECT_EQ(first_bit_difference(answer(model, query, q, storage), answer(fresh, query, q, fresh_storage)),
              -1)
        << "query " << i;
  }
}

// A toy hand in a scratch tree, with the process resource root cleared (and restored).
struct ToyModel {
  std::filesystem::path saved_root = runtime_resource_root();
  TempDir dir;
  std::filesystem::path system;

  explicit ToyModel(const std::string& system_text = test::kToySystem,
                    const std::string& metadata = test::toy_metadata())
      : system((set_runtime_resource_root({}), test::write_toy_hand(dir.path(), system_text, metadata))) {}
  ~ToyModel() { set_runtime_resource_root(saved_root); }
  PinocchioHandKinematics build(const std::string& side = "right") const {
    return PinocchioHandKinematics(Config::load(system, "", side), side);
  }
};

TEST(PinocchioHandKinematics, JacobiansMatchCentralDifferencesWithCouplings) {
  const std::tuple<const char*, std::string, std::size_t> couplings[] = {
      {"linear", test::kToyCouplingForm1, 4},
      {"polynomial in degrees",
       "  equality_constraints:\n    - {independent_joint: S_first_pip, dependent_joint: S_first_dip,\n"
       "       polycoef: [2.0, 0.7, 0.001], input_unit: deg, output_unit: degrees}\n",
       4},
      // Listed child-first, so the chain only settles through repeated passes.
      {"chain",
       std::string(test::kToyCouplingForm1) +
           "    - {driver: S_first_mcp, child: S_first_pip, offset: 0.3, multiplier: 0.5}\n",
       3},
  };
  for (const auto& [name, text, active] : couplings) {
    for (const char* side : {"right", "left"}) {
      SCOPED_TRACE(std::string(name) + " " + side);
      ToyModel toy(test::kToySystem, test::toy_metadata(text));
      PinocchioHandKinematics model = toy.build(side);
      ASSERT_EQ(model.active_joint_names().size(), active);
      std::mt19937 rng(7);
      for (int trial = 0; trial < 3; ++trial)
        expect_jacobians_match_differences(model, random_inside(model, rng));
    }
  }
}

TEST(PinocchioHandKinematics, SaturatedCouplingChildDropsOutOfTheJacobian) {
  ToyModel toy(test::kToySystem, test::toy_metadata("  passive_joint_couplings:\n    - {driver: S_first_pip, "
                                                    "child: S_first_dip, multiplier: 2.0}\n"));
  PinocchioHandKinematics model = toy.build();
  const Vec beyond{0.2, 0.3, 0.4, 0.9};  // dip would be 1.8: saturated at 1.4
  expect_jacobians_match_differences(model, {0.2, 0.3, 0.4, 0.3});
  expect_jacobians_match_differences(model, beyond);
  // Saturated, the pip column is the one of a model whose dip joint is held at its limit.
  ToyModel held(test::kToySystem, test::toy_metadata(""));
  PinocchioHandKinematics uncoupled = held.build();
  const auto a = model.linearized_state_from_active(beyond).tip_position_jacobians.at("first");
  const auto b =
      uncoupled.linearized_state_from_active({0.2, 0.3, 0.4, 0.9, 1.4}).tip_position_jacobians.at("first");
  for (std::size_t row = 0; row < 3; ++row) EXPECT_NEAR(a.data[row * 4 + 3], b.data[row * 5 + 3], 1e-12);
  // Exactly at the child's limit the rule still counts: the column is the one-sided difference from below.
  const Vec at_limit{0.2, 0.3, 0.4, 0.7};
  const auto column = model.linearized_state_from_active(at_limit).tip_position_jacobians.at("first");
  const auto s0 = model.state_from_active(at_limit).tip_positions_wrist.at("first");
  const auto s1 = model.state_from_active({0.2, 0.3, 0.4, 0.7 - 1e-7}).tip_positions_wrist.at("first");
  for (std::size_t row = 0; row < 3; ++row)
    EXPECT_NEAR(column.data[row * 4 + 3], (s0[row] - s1[row]) / 1e-7, 1e-5);
}

// The coupled child's row follows its limit from one linearization to the next (the dip saturates above
// pip = 0.7), for a linear rule and for a polynomial one whose slope changes with every vector.
TEST(PinocchioHandKinematics, CouplingsFollowTheChildLimitFromQueryToQuery) {
  const std::pair<const char*, const char*> couplings[] = {
      {"linear",
       "  passive_joint_couplings:\n    - {driver: S_first_pip, child: S_first_dip, multiplier: 2.0}\n"},
      {"polynomial",
       "  equality_constraints:\n    - {independent_joint: S_first_pip, dependent_joint: S_first_dip,\n"
       "       polycoef: [0.0, 1.5, 0.7]}\n"},
  };
  const double beyond_limit = std::nextafter(0.7, 1.0);
  for (const auto& [name, text] : couplings) {
    SCOPED_TRACE(name);
    ToyModel toy(test::kToySystem, test::toy_metadata(text));
    const Vec inside{0.2, 0.3, 0.4, 0.3}, saturated{0.2, 0.3, 0.4, 0.9}, at_limit{0.2, 0.3, 0.4, 0.7},
        beyond{0.2, 0.3, 0.4, beyond_limit}, other{0.25, 0.1, 0.5, 0.35};
    expect_fresh_answers([&toy] { return toy.build(); }, {{Query::kLinearizedTips, inside},
                                                          {Query::kLinearizedTips, other},
                                                          {Query::kLinearizedTips, saturated},
                                                          {Query::kTips, inside},
                                                          {Query::kLinearizedTips, inside},
                                                          {Query::kLinearizedTips, at_limit},
                                                          {Query::kLinearizedState, beyond},
                                                          {Query::kLinearizedTips, at_limit},
                                                          {Query::kLinearizedTips, saturated},
                                                          {Query::kLinearizedState, other}});
  }
}

TEST(PinocchioHandKinematics, StateConversionsAndWristFrame) {
  ToyModel toy;
  PinocchioHandKinematics model = toy.build();
  const Vec rest{0.1, 0.2, 0.05, 0.3};  // the "open" pose
  EXPECT_EQ(model.q_current_active(), rest);
  EXPECT_EQ(model.full_current_q(), (Vec{0.1, 0.2, 0.05, 0.3, 0.8 * 0.3, 0.0}));  // coupled dip, fixed joint
  // The wrist is the palm link; the straight first finger ends on the palm's z axis.
  const HandKinematicsState state = model.state_from_active({0.1, 0.2, 0.0, 0.0});
  EXPECT_LT(distance(state.wrist_position, {0.01, -0.02, 0.03}), 1e-12);
  EXPECT_LT(distance(state.tip_positions_wrist.at("first"), {0.0, 0.012, 0.165}), 1e-12);
  // Queries leave the current state alone; apply_active applies limits and couplings.
  model.linearized_state_from_active({0.0, 0.0, 0.0, 0.0});
  EXPECT_EQ(model.q_current_active(), rest);
  model.apply_active({5.0, 0.5, -1.0, 1.0});
  EXPECT_EQ(model.full_current_q(), (Vec{0.8, 0.5, -0.3, 1.0, 0.8, 0.0}));
  EXPECT_EQ(model.pose_active("fist"), (Vec{0.4, 0.9, 1.2, 1.3}));
  // Wrong sizes fail and leave the state alone; a moved model keeps it.
  EXPECT_EQ(error_text([&] {
              model.apply_active({0.0, 0.0});
            }),
            "Active hand joint vector has the wrong size");
  EXPECT_EQ(error_text([&] { model.active_from_full({0.0}); }), "Full hand joint vector has the wrong size");
  PinocchioHandKinematics moved = std::move(model);
  EXPECT_EQ(moved.q_current_active(), (Vec{0.8, 0.5, -0.3, 1.0}));
}

TEST(PinocchioHandKinematics, TipAxesAndWristFallbacks) {
  // Both tips hang on the base link (the world frame), so their rotation is the axis convention itself.
  std::string text = replace_all(test::kToySystem, "  fingers:\n",
                                 "  fingers:\n    first:\n      fingertip_link: base_link\n"
                                 "      fingertip_direction_axis_right: -y\n"
                                 "      fingertip_direction_axis: +x\n      fingertip_pad_axis: +z\n");
  ToyModel axes(replace_all(text, "      tip_offset:", "      fingertip_link: base_link\n      tip_offset:"));
  const HandKinematicsState state = axes.build().state_from_active({0.1, 0.2, 0.05, 0.3});
  EXPECT_EQ(state.tip_rotations_world.at("thumb"), (std::array<double, 9>{0, 0, -1, 0, 1, 0, 1, 0, 0}));
  EXPECT_EQ(state.tip_rotations_world.at("first"), (std::array<double, 9>{0, -1, 0, -1, 0, 0, 0, 0, -1}));
  EXPECT_EQ(state.tip_positions_world.at("thumb"), (Vec3{0.0, 0.004, 0.025}));

  const std::tuple<const char*, bool, const char*, Vec3> cases[] = {
      // appended under hand:, metadata names the (right) wrist, side, wrist position
      {"", true, "left", {0.01, -0.02, 0.03}},                      // metadata name mirrored
      {"  wrist_link: no_such_link\n", false, "right", {0, 0, 0}},  // falls back to base_link
      {"  wrist_link: x\n  wrist_link_right_hand: left_palm\n", true, "right", {0.01, -0.02, 0.03}},
      {"  wrist_link: base_link\n  wrist_offset: [0.1, 0.2, 0.3]\n", false, "right", {.1, .2, .3}},
  };
  for (const auto& [extra, metadata_wrist, side, expected] : cases) {
    std::string metadata =
        replace_all(test::toy_metadata(), "wrist_frame_name: left_palm", "wrist_frame_name: right_palm");
    if (!metadata_wrist) metadata = replace_all(metadata, "  wrist_frame_name: right_palm\n", "");
    ToyModel toy(
        replace_all(test::kToySystem, "  type: toy_hand\n", std::string("  type: toy_hand\n") + extra),
        metadata);
    PinocchioHandKinematics model = toy.build(side);
    EXPECT_LT(distance(model.state_from_active(model.q_rest_active()).wrist_position, expected), 1e-12)
        << extra;
  }
  // A URDF link named "wrist" does not shadow the configured wrist.
  ToyModel shadow;
  test::write_file(shadow.dir / "hands/toy_hand/resources/pinocchio/right.urdf",
                   replace_all(test::toy_urdf("right"), "</robot>",
                               "<link name=\"wrist\"/><joint name=\"wrist_fixed\" type=\"fixed\"><parent "
                               "link=\"base_link\"/><child link=\"wrist\"/></joint>\n</robot>"));
  PinocchioHandKinematics model = shadow.build();
  EXPECT_NEAR(model.state_from_active(model.q_rest_active()).wrist_position[0], 0.01, 1e-12);
}

// Construction errors: edits of the system ("system"), metadata ("metadata") or URDF ("urdf") text.
TEST(PinocchioHandKinematics, ConstructionErrors) {
  struct Case {
    std::vector<std::array<const char*, 3>> edits;  // file, from, to
    const char* message;
    const char* side = "right";
  };
  const char* const offset = "      tip_offset:";
  const Case cases[] = {
      {{}, "Pinocchio hand side must be left or right", "both"},
      {{{"metadata", "  joint_order: [right_thumb_abd", "  joint_order: []\n  unused: [right_thumb_abd"}},
       "Pinocchio metadata contains no joints for hand.type=toy_hand"},
      {{{"metadata", "    right_thumb_flex: [-0.2, 1.2]\n", ""}},
       "Config key was not found: right.joint_limits.right_thumb_flex"},
      {{{"metadata", "    first: [right_first_mcp, right_first_pip]\n", ""}},
       "Pinocchio metadata is missing: native_pose_joint_names.right.first"},
      {{{"metadata", "driver: right_first_pip", "driver: right_first_ppp"}},
       "Passive coupling joint was not found: right_first_ppp"},
      {{{"metadata", "  fixed_joint_names: [right_extra_fixed]\n",
         "  fixed_joint_names: [right_extra_fixed]\n  active_joint_order: [right_first_dip, x]\n"}},
       "Pinocchio hand has no active joints"},
      {{{"system", offset, "      fingertip_pad_axis: X\n      tip_offset:"}},
       "fingertip axis must be +x/-x/+y/-y/+z/-z"},
      {{{"system", offset,
         "      fingertip_direction_axis: +y\n      fingertip_pad_axis: -y\n      tip_offset:"}},
       "fingertip direction and pad axes must differ"},
      {{{"metadata", "  wrist_frame_name: right_palm\n", ""}},
       "Generic Pinocchio hand requires a wrist link: toy_hand"},
      // Without a metadata fallback the mirrored configured name is reported.
      {{{"system", offset, "      fingertip_link: l_thumb_nail\n      tip_offset:"},
        {"metadata", "    thumb: right_thumb_tip_link\n", ""}},
       "URDF frame was not found: r_thumb_nail"},
      // The wrist parent is looked up before its offset is read.
      {{{"system", "  type: toy_hand\n", "  type: toy_hand\n  wrist_link: nope\n  wrist_offset: [1, 2]\n"},
        {"metadata", "wrist_frame_name: right_palm", "wrist_frame_name: right_nope"},
        {"urdf", "base_link", "root_link"}},
       "URDF frame was not found: right_nope"},
      {{{"urdf", "right_thumb_flex\"", "right_thumb_bend\""}}, "URDF joint was not found: right_thumb_flex"},
      {{{"urdf", "right_thumb_abd\" type=\"revolute\"", "right_thumb_abd\" type=\"continuous\""}},
       "Only scalar Pinocchio joints are supported: right_thumb_abd"},
  };
  for (const Case& c : cases) {
    std::string system = test::kToySystem, metadata = test::toy_metadata(), urdf = test::toy_urdf("right");
    for (const auto& [file, from, to] : c.edits) {
      std::string& text = std::string(file) == "system"     ? system
                          : std::string(file) == "metadata" ? metadata
                                                            : urdf;
      ASSERT_NE(text.find(from), std::string::npos) << "fixture text not found: " << from;
      text = replace_all(text, from, to);
    }
    ToyModel toy(system, metadata);
    test::write_file(toy.dir / "hands/toy_hand/resources/pinocchio/right.urdf", urdf);
    EXPECT_EQ(error_text([&] { PinocchioHandKinematics(Config::load(toy.system, "", "right"), c.side); }),
              c.message);
  }
}

// The bundled OpenXR-style hand, with the model cache in a scratch KELTO_HOME.
class BundledHand : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override { set_runtime_resource_root({}); }
  void TearDown() override { set_runtime_resource_root(saved_root_); }
  static std::filesystem::path system() {
    return test::source_dir() / "resources/hands/dynamic_openxr_hand/dynamic_openxr_hand_system.yaml";
  }

  std::filesystem::path saved_root_ = runtime_resource_root();
  TempDir cache_home_;
  test::ScopedEnv kelto_home_{"KELTO_HOME", cache_home_.path().string()};
};

TEST_P(BundledHand, JacobiansMatchCentralDifferences) {
  const std::string side = GetParam();
  PinocchioHandKinematics model(Config::load(system(), "", side), side);
  EXPECT_EQ(model.joint_names().size(), 23u);
  EXPECT_EQ(model.active_joint_names().size(), 17u);
  ASSERT_EQ(model.skeleton_node_names().size(), 25u);
  std::mt19937 rng(side == "left" ? 11 : 12);
  expect_jacobians_match_differences(model, model.q_rest_active());
  for (int trial = 0; trial < 3; ++trial)
    expect_jacobians_match_differences(model, random_inside(model, rng));
}

TEST_P(BundledHand, BoneFileResizesTheGeneratedModel) {
  const std::string side = GetParam();
  TempDir tmp;
  const std::string lengths =
      "  fingers:\n    thumb: {metacarpal: 0.05, proximal: 0.03, intermediate: 0.9, distal: 0.022}\n"
      "    first: {metacarpal: 0.07, proximal: 0.045, intermediate: 0.02, distal: 0.018}\n";
  const auto bone = test::write_file(tmp / "carol.yaml", "left:\n" + lengths + "right:\n" + lengths);
  PinocchioHandKinematics resized(Config::load(system(), bone, side), side);
  PinocchioHandKinematics original(Config::load(system(), "", side), side);

  // The generated file sits in the cache under the bone file's stem; only the seven edited origins differ.
  const auto generated =
      cache_home_.path() / "glove/algorithms/cache/dynamic_openxr_hand" / ("carol_" + side + ".urdf");
  std::istringstream template_lines(
      test::read_file(system().parent_path() / "resources/pinocchio" / (side + ".urdf")));
  std::istringstream generated_lines(test::read_file(generated));
  std::string a, b;
  int changed = 0;
  while (std::getline(template_lines, a)) {
    ASSERT_TRUE(std::getline(generated_lines, b));
    if (a != b) {
      ++changed;
      EXPECT_EQ(a.substr(0, a.find("xyz=\"")), b.substr(0, b.find("xyz=\"")));
      EXPECT_EQ(a.substr(a.find("\" rpy=")), b.substr(b.find("\" rpy=")));
    }
  }
  EXPECT_FALSE(std::getline(generated_lines, b));
  EXPECT_EQ(changed, 7);

  // Bone lengths are the distances between consecutive skeleton nodes, whatever the joint angles.
  std::mt19937 rng(9);
  const Vec q = random_inside(resized, rng);
  const auto poses = resized.skeleton_poses_local(q);
  const auto node = [&](const std::string& name) {
    for (const SkeletonPose& pose : poses)
      if (pose.name == name) return pose.position;
    throw std::runtime_error("no skeleton node " + name);
  };
  const std::tuple<const char*, const char*, double> bones[] = {{"thumb_metacarpal", "thumb_proximal", 0.05},
                                                                {"thumb_distal", "thumb_tip", 0.022},
                                                                {"index_metacarpal", "index_proximal", 0.07},
                                                                {"index_intermediate", "index_distal", 0.02}};
  for (const auto& [from, to, length] : bones)
    EXPECT_NEAR(distance(node(from), node(to)), length, 1e-6) << from;
  // The resized fingers move their tips; the others keep the template geometry.
  const auto after = resized.state_from_active(q).tip_positions_wrist,
             before = original.state_from_active(q).tip_positions_wrist;
  EXPECT_LT(distance(after.at("middle"), before.at("middle")), 1e-9);
  for (const char* finger : {"first", "thumb"})
    EXPECT_GT(distance(after.at(finger), before.at(finger)), 1e-3);
}

// The solver's and the engine's query patterns: repeated vectors, a linearization after a plain query of
// the same vector, signed zeros, clamped joints and a failing query in between.
TEST_P(BundledHand, InterleavedQueriesAnswerAsAFreshModel) {
  const std::string side = GetParam();
  const auto build = [&side] { return PinocchioHandKinematics(Config::load(system(), "", side), side); };
  const PinocchioHandKinematics probe = build();
  std::mt19937 rng(side == "left" ? 21 : 22);
  const Vec rest = probe.q_rest_active(), b = random_inside(probe, rng);
  Vec plus_zero = random_inside(probe, rng), minus_zero = plus_zero, clamped = b;
  plus_zero[6] = 0.0;
  minus_zero[6] = -0.0;
  for (std::size_t k = 0; k < clamped.size(); k += 2) clamped[k] = 3.0 * probe.active_upper()[k];
  expect_fresh_answers(build, {{Query::kTips, rest},
                               {Query::kLinearizedTips, rest},
                               {Query::kLinearizedTips, rest},
                               {Query::kTips, b},
                               {Query::kLinearizedTips, b},
                               {Query::kTips, rest},
                               {Query::kState, b},
                               {Query::kSkeleton, b},
                               {Query::kTips, b},
                               {Query::kLinearizedTips, Vec(3, 0.1)},
                               {Query::kTips, b},
                               {Query::kLinearizedState, plus_zero},
                               {Query::kTips, minus_zero},
                               {Query::kLinearizedTips, minus_zero},
                               {Query::kSkeleton, clamped},
                               {Query::kLinearizedTips, clamped},
                               {Query::kState, clamped},
                               {Query::kSkeleton, Vec(2, 0.0)},
                               {Query::kLinearizedState, rest}});
}

// Storage whose maps this model did not fill (a finger missing, a key of another model's) holds exactly
// this model's fingers after a query, as storage filled by nothing before does.
TEST_P(BundledHand, QueriesIntoForeignMapsHoldOnlyTheModelsFingers) {
  const std::string side = GetParam();
  PinocchioHandKinematics model(Config::load(system(), "", side), side);
  const Vec q = model.q_rest_active();
  QueryStorage foreign, fresh;
  for (auto* map : {&foreign.state.tip_positions_wrist, &foreign.linearization.tip_positions_world}) {
    (*map)["wrist"] = {1.0, 2.0, 3.0};
  }
  foreign.linearization.tip_rotations_wrist["thumb_2"] = {};
  foreign.linearization.tip_angular_jacobians["palm"] = DenseMatrix{};
  model.state_from_active(q, foreign.state);
  foreign.state.tip_rotations_world.erase("thumb");
  for (const Query query : {Query::kState, Query::kLinearizedState}) {
    EXPECT_EQ(first_bit_difference(answer(model, query, q, foreign), answer(model, query, q, fresh)), -1);
  }
}

INSTANTIATE_TEST_SUITE_P(Sides, BundledHand, ::testing::Values("right", "left"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace kelto::hand
