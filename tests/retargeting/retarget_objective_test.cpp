// The retargeting cost on a small analytic hand: its Jacobian against central differences in every block,
// the cost evaluations (by name and by index) agreeing, the anchor ratio, the rows left out; and its
// configuration.
#include "retargeting/retarget_objective.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <tuple>

#include "retargeting/retarget_objective_config.hpp"
#include "retargeting_test_support.hpp"

namespace kelto::hand {
namespace {

using test::ToyHand;

const ToyHand kHand;
const std::vector<double> kQ{0.1, -0.3, 0.4, 0.2, 0.5, -0.2, 0.3, 0.6, 0.1, -0.4};
const std::vector<double> kPrev{0.0, -0.2, 0.3, 0.1, 1.3, -0.1, 0.2, 0.5, 0.0, -0.3};
const std::vector<double> kRest(ToyHand::kJoints, 0.05);

// Targets near the toy hand's tips; the thumb pinches first (strongest) and middle, or only first.
RetargetTargetFrame toy_target(bool with_middle = true) {
  RetargetTargetFrame t;
  for (std::size_t k = 0; k < 3; ++k) {
    t.target_positions[kHand.fingers[k]] = {0.04 + 0.01 * k, 0.02 - 0.02 * k, 0.0};
    t.target_rotations[kHand.fingers[k]] = test::rot(2, 0.3 * k);
  }
  t.shape_weights = {{"thumb", 0.6}, {"first", 0.0}, {"middle", 1.0}};
  t.orientation_weights = {{"thumb", 1.0}, {"first", 0.5}, {"middle", 0.0}};
  t.pinch_vectors = {{"first", {0.01, 0.0, 0.005}}};
  t.pinch_weights = {{"first", 0.7}, {"middle", 0.2}};
  if (with_middle) {
    t.pinch_vectors["middle"] = {0.02, -0.01, 0.0};
    t.diagnostics["pinch_strongest_partner"] = std::string("first");
  }
  return t;
}

// Only the anchored pinch rows.
RetargetObjectiveConfig anchored_only(double ratio, bool fixed) {
  RetargetObjectiveConfig c;
  c.pinch_mode = "anchored";
  c.pinch_fixed_anchor_ratio = fixed;
  c.pinch_thumb_anchor_ratio = ratio;
  c.shape_weight = c.orientation_weight = 0.0;
  c.joint_regularization = c.velocity_regularization = std::vector<double>(ToyHand::kJoints, 0.0);
  return c;
}

ObjectiveLinearization linearize(const RetargetObjective& objective, const RetargetTargetFrame& target) {
  return objective.linearized_residual_and_jacobian(kHand.linearize(kQ), target, kQ, kPrev);
}

double half_squared(const std::vector<double>& r) {
  double s = 0.0;
  for (double v : r) s += 0.5 * v * v;
  return s;
}

// The tips of a linearization in the order of `fingers`.
HandTipKinematics tips_of(const HandKinematicsLinearization& lin, const std::vector<std::string>& fingers) {
  HandTipKinematics tips{lin.wrist_position, lin.wrist_rotation, {}};
  for (const std::string& f : fingers) {
    tips.tips.push_back({lin.tip_positions_wrist.at(f), lin.tip_rotations_wrist.at(f),
                         lin.tip_positions_world.at(f), lin.tip_rotations_world.at(f),
                         lin.tip_position_jacobians.at(f), lin.tip_angular_jacobians.at(f)});
  }
  return tips;
}

// The indexed evaluations, over a model whose finger order differs from the objective's, against the
// map-based ones: the same cost to the bit, and the normal equations of the full Jacobian.
void expect_indexed_agrees(const RetargetObjective& objective, const RetargetTargetFrame& target) {
  const std::vector<std::string> model_fingers{"middle", "thumb", "first"};
  ObjectiveFrame frame;
  ASSERT_TRUE(objective.prepare_frame(target, model_fingers, frame));
  const HandTipKinematics tips = tips_of(kHand.linearize(kQ), model_fingers);
  const ObjectiveResidualTerms terms = objective.residual_terms(kHand.state(kQ), target, kQ, kPrev);
  EXPECT_EQ(objective.cost(tips, frame, kQ, kPrev), 0.5 * terms.squared_norm());

  const ObjectiveLinearization lin = linearize(objective, target);
  const std::size_t n = kQ.size(), rows = lin.residual.size();
  ObjectiveNormalEquations indexed, mapped;
  objective.normal_equations(tips, frame, kQ, kPrev, indexed);
  objective.normal_equations(kHand.linearize(kQ), target, kQ, kPrev, mapped);
  double sum = 0.0;
  for (double v : lin.residual) sum += v * v;
  EXPECT_EQ(indexed.cost, 0.5 * sum);
  EXPECT_EQ(mapped.cost, 0.5 * sum);
  for (std::size_t i = 0; i < n; ++i) {
    double g = 0.0;
    for (std::size_t r = 0; r < rows; ++r) g += lin.jacobian.data[r * n + i] * lin.residual[r];
    EXPECT_NEAR(indexed.g[i], g, 1e-12) << i;
    EXPECT_EQ(indexed.g[i], mapped.g[i]) << i;
    for (std::size_t j = 0; j < n; ++j) {
      double a = 0.0;
      for (std::size_t r = 0; r < rows; ++r) a += lin.jacobian.data[r * n + i] * lin.jacobian.data[r * n + j];
      EXPECT_NEAR(indexed.JtJ.data[i * n + j], a, 1e-12) << i << ", " << j;
      EXPECT_EQ(indexed.JtJ.data[i * n + j], mapped.JtJ.data[i * n + j]) << i << ", " << j;
    }
  }
  // A frame without one finger's target cannot be indexed.
  RetargetTargetFrame partial = target;
  partial.target_positions.erase("middle");
  EXPECT_FALSE(objective.prepare_frame(partial, model_fingers, frame));
}

// The Jacobian against central differences of the residual (`frozen`: that tip held at kQ), and the
// cost against the full residual terms.
void expect_consistent(const RetargetObjective& objective, const RetargetTargetFrame& target,
                       const std::optional<std::string>& frozen = std::nullopt) {
  auto residual = [&](const std::vector<double>& x) {
    HandKinematicsLinearization lin = kHand.linearize(x);
    if (frozen) lin.tip_positions_wrist[*frozen] = kHand.state(kQ).tip_positions_wrist.at(*frozen);
    return objective.linearized_residual_and_jacobian(lin, target, x, kPrev).residual;
  };
  const ObjectiveLinearization lin = linearize(objective, target);
  const double h = 1e-5;
  for (std::size_t i = 0; i < kQ.size(); ++i) {
    std::vector<double> qp = kQ, qm = kQ;
    qp[i] += h;
    qm[i] -= h;
    const std::vector<double> rp = residual(qp), rm = residual(qm);
    ASSERT_EQ(rp.size(), lin.residual.size());
    for (std::size_t r = 0; r < rp.size(); ++r)
      EXPECT_NEAR(lin.jacobian.data[r * kQ.size() + i], (rp[r] - rm[r]) / (2 * h), 1e-6) << r << ", " << i;
  }
  EXPECT_NEAR(half_squared(lin.residual),
              half_squared(objective.residual_terms(kHand.state(kQ), target, kQ, kPrev).concatenated()),
              1e-12);
  expect_indexed_agrees(objective, target);
}

TEST(RetargetObjective, JacobianMatchesFiniteDifferencesAndCostsAgree) {
  for (const std::string mode : {"relative", "anchored"}) {
    SCOPED_TRACE(mode);
    // Every block on, with two coupling rules and a partly active deep-flex rule (kPrev[4] = 1.3).
    RetargetObjectiveConfig c;
    c.pinch_mode = mode;
    c.pinch_weight = mode == "anchored" ? 0.0 : 10.0;  // anchored rows are checked on their own below
    c.pinch_pad_alignment_weight = 2.0;
    c.orientation_weight = 0.3;
    c.orientation_axis_weights = {{"x", 1.0}, {"y", 0.5}, {"z", 2.0}};
    c.orientation_by_finger = {{"first", 3.0}};
    if (mode == "relative") c.pinch_by_finger = {{"middle", 3.0}};
    c.joint_regularization.assign(ToyHand::kJoints, 0.01);
    c.joint_regularization[3] = 0.0;
    c.velocity_regularization.assign(ToyHand::kJoints, 0.02);
    // The third coupling ties a joint to itself: a constant row whose Jacobian row is 0.
    c.joint_coupling = {{"a", "b", 1, 4, 0.8, 0.1}, {"b", "a", 9, 0, 0.5, -0.2}, {"c", "c", 2, 2, 0.7, 0.3}};
    c.deep_flex = {{"d", "c", 4, 5, 1.1, 1.45, 0.2, 1.5}};
    const RetargetObjective objective(c, kRest, kHand.fingers);
    expect_consistent(objective, toy_target());
    const ObjectiveResidualTerms terms = objective.residual_terms(kHand.state(kQ), toy_target(), kQ, kPrev);
    EXPECT_EQ(
        std::make_tuple(terms.pinch_pad_alignment.size(), terms.orientation.size(), terms.deep_flex.size()),
        std::make_tuple(3u, 18u, 1u));  // orientation: thumb and first, three axes each
  }
  // Anchored: u = 1 lets the thumb carry the correction (the finger is the anchor), u = 0 the reverse.
  for (const double ratio : {1.0, 0.0}) {
    const RetargetObjective objective(anchored_only(ratio, true), kRest, kHand.fingers);
    EXPECT_EQ(linearize(objective, toy_target(false)).residual.size(), 3u);
    expect_consistent(objective, toy_target(false), ratio == 1.0 ? "first" : "thumb");
  }
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// With fingertip rows only, the normal equations by name and by index bit for bit (the signs of zeros and
// the non-finite values included): JᵀJ the rows' products added row after row while J is finite, the dense
// product otherwise; Jᵀr the dense product. Finite rows, a NaN in an angular Jacobian or an infinite
// position Jacobian entry (the dense products of the rows as the linearization writes them), an infinite
// target (a non-finite residual).
TEST(RetargetObjective, NormalEquationsBitForBit) {
  RetargetObjectiveConfig c;
  c.pinch_weight = 10.0;
  c.pinch_pad_alignment_weight = 2.0;
  c.orientation_weight = 0.3;
  c.orientation_axis_weights = {{"x", 1.0}, {"y", 0.5}, {"z", 2.0}};
  c.joint_regularization = c.velocity_regularization = std::vector<double>(ToyHand::kJoints, 0.0);
  const RetargetObjective objective(c, kRest, kHand.fingers);
  const double inf = std::numeric_limits<double>::infinity();
  using Spoil = std::function<void(HandKinematicsLinearization&, RetargetTargetFrame&)>;
  const std::vector<std::pair<const char*, Spoil>> cases = {
      {"finite", [](HandKinematicsLinearization&, RetargetTargetFrame&) {}},
      {"NaN angular entry",
       [](HandKinematicsLinearization& lin, RetargetTargetFrame&) {
         lin.tip_angular_jacobians["first"].data[4] = std::numeric_limits<double>::quiet_NaN();
       }},
      {"infinite position Jacobian entry",
       [inf](HandKinematicsLinearization& lin, RetargetTargetFrame&) {
         lin.tip_position_jacobians["middle"].data[0] = inf;
       }},
      {"infinite target", [inf](HandKinematicsLinearization&,
                                RetargetTargetFrame& t) { t.target_positions["middle"][0] = inf; }},
  };
  const std::vector<std::string> model_fingers{"first", "middle", "thumb"};
  using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
  for (const auto& [name, spoil] : cases) {
    SCOPED_TRACE(name);
    HandKinematicsLinearization lin = kHand.linearize(kQ);
    RetargetTargetFrame target = toy_target();
    spoil(lin, target);
    const ObjectiveLinearization L = objective.linearized_residual_and_jacobian(lin, target, kQ, kPrev);
    const auto rows = static_cast<Eigen::Index>(L.residual.size()), n = static_cast<Eigen::Index>(kQ.size());
    const Eigen::Map<const RowMajor> J(L.jacobian.data.data(), rows, n);
    Eigen::MatrixXd JtJ = J.transpose() * J;
    if (J.allFinite()) {
      for (Eigen::Index i = 0; i < n; ++i) {
        for (Eigen::Index j = 0; j < n; ++j) {
          double a = 0.0;
          for (Eigen::Index r = 0; r < rows; ++r) a += J(r, i) * J(r, j);
          JtJ(i, j) = a;
        }
      }
    }
    const Eigen::VectorXd g = J.transpose() * Eigen::Map<const Eigen::VectorXd>(L.residual.data(), rows);
    double sum = 0.0;
    for (double v : L.residual) sum += v * v;

    ObjectiveFrame frame;
    ASSERT_TRUE(objective.prepare_frame(target, model_fingers, frame));
    ObjectiveNormalEquations mapped, indexed;
    objective.normal_equations(lin, target, kQ, kPrev, mapped);
    objective.normal_equations(tips_of(lin, model_fingers), frame, kQ, kPrev, indexed);
    for (const ObjectiveNormalEquations* ne : {&mapped, &indexed}) {
      EXPECT_TRUE(same_bits(ne->JtJ.data, std::vector<double>(JtJ.data(), JtJ.data() + JtJ.size())));
      EXPECT_TRUE(same_bits(ne->g, std::vector<double>(g.data(), g.data() + g.size())));
      EXPECT_TRUE(same_bits({ne->cost}, {0.5 * sum}));
    }
  }
}

// Faulty kinematics seen by the evaluations by name: the first failing check in the order of the rows
// wins, a Jacobian of the wrong row count is reported only after every row was read.
TEST(RetargetObjective, KinematicsFaultsInTheOrderOfTheRows) {
  RetargetObjectiveConfig c;
  c.pinch_weight = 10.0;
  c.orientation_weight = 0.3;
  c.joint_regularization = c.velocity_regularization = std::vector<double>(ToyHand::kJoints, 0.01);
  const RetargetObjective objective(c, kRest, kHand.fingers);
  constexpr std::size_t n = ToyHand::kJoints;
  const std::string rows_differ = "Objective residual and Jacobian row counts differ";
  using Spoil = std::function<void(HandKinematicsLinearization&)>;
  const Spoil two_middle_rows = [](HandKinematicsLinearization& lin) {
    lin.tip_position_jacobians["middle"] = {2, n, std::vector<double>(2 * n)};
  };
  const std::vector<std::pair<Spoil, std::string>> rows = {
      {two_middle_rows, rows_differ},
      {[&](HandKinematicsLinearization& lin) {
         two_middle_rows(lin);
         lin.tip_angular_jacobians.erase("first");  // read by the orientation rows, after the shape rows
       },
       "out_of_range: map::at:  key not found"},
      {[](HandKinematicsLinearization& lin) {
         lin.tip_position_jacobians["first"] = {3, n, std::vector<double>(3 * n + 1)};
       },
       "Objective Jacobian matrices have different shapes"},
      {[](HandKinematicsLinearization& lin) {
         lin.tip_angular_jacobians["first"] = {3, n - 1, std::vector<double>(3 * (n - 1))};
       },
       "out_of_range: Objective angular Jacobian has too few columns"},
  };
  for (const auto& [spoil, text] : rows) {
    HandKinematicsLinearization lin = kHand.linearize(kQ);
    spoil(lin);
    ObjectiveNormalEquations ne;
    EXPECT_EQ(test::error_text(
                  [&] { objective.linearized_residual_and_jacobian(lin, toy_target(false), kQ, kPrev); }),
              text);
    EXPECT_EQ(test::error_text([&] { objective.normal_equations(lin, toy_target(false), kQ, kPrev, ne); }),
              text);
  }
}

TEST(RetargetObjective, AnchorRatioFollowsTheCompensatedSide) {
  struct Case {
    double thumb_shape, finger_shape, ratio;
    bool fixed;
    std::size_t rows;    // pinch rows of the linearization
    double thumb_share;  // expected u
  };
  for (const Case& k :
       {Case{1.0, 1.0, 0.5, false, 6, 0.5},  // no compensation: the configured ratio
        Case{0.2, 1.0, 0.5, false, 3, 1.0},  // only the thumb is compensated
        Case{0.2, 0.2, 0.5, false, 6, 0.5}, Case{0.2, 1.0, 1.5, true, 3, 1.0}}) {  // at most 1
    const RetargetObjective objective(anchored_only(k.ratio, k.fixed), kRest, kHand.fingers);
    RetargetTargetFrame target = toy_target(false);
    target.shape_weights = {{"thumb", k.thumb_shape}, {"first", k.finger_shape}, {"middle", 1.0}};
    EXPECT_EQ(linearize(objective, target).residual.size(), k.rows);
    // The thumb-side triple is scaled by sqrt(u), the finger side by sqrt(1 - u), with opposite signs.
    const std::vector<double> p = objective.residual_terms(kHand.state(kQ), target, kQ, kPrev).pinch;
    const double a = std::sqrt(0.7 * 10.0), full = p[0] / std::sqrt(k.thumb_share) / a;
    EXPECT_NEAR(p[3], -a * std::sqrt(1.0 - k.thumb_share) * full, 1e-12);
  }
}

// A pad partner "thumb", empty or outside the finger order adds nothing; a deep-flex driver below its start
// gives a zero row; zero regularization weights leave their rows out of the linearization.
TEST(RetargetObjective, RowsLeftOut) {
  RetargetTargetFrame target = toy_target();
  target.pinch_vectors.clear();
  target.shape_weights = target.orientation_weights = {{"thumb", 1.0}, {"first", 1.0}, {"middle", 1.0}};
  target.pinch_weights = {{"thumb", 1.0}, {"ring", 1.0}};
  RetargetObjectiveConfig c;
  c.pinch_pad_alignment_weight = 5.0;
  c.joint_regularization.assign(ToyHand::kJoints, 0.0);
  c.velocity_regularization.assign(ToyHand::kJoints, 5e-4);
  c.deep_flex = {{"d", "c", 0, 1, 1.1, 1.45, 0.0, 2.0}};
  const RetargetObjective objective(c, kRest, kHand.fingers);
  for (const std::string partner : {"thumb", "", "ring"}) {
    target.diagnostics["pinch_strongest_partner"] = partner;
    const ObjectiveResidualTerms terms = objective.residual_terms(kHand.state(kQ), target, kQ, kPrev);
    EXPECT_TRUE(terms.pinch_pad_alignment.empty()) << partner;
    EXPECT_EQ(terms.deep_flex, std::vector<double>{0.0});
    EXPECT_EQ(terms.concatenated().size(), 9 + 9 + 1 + 2 * ToyHand::kJoints);
    const ObjectiveLinearization lin = linearize(objective, target);
    ASSERT_EQ(lin.residual.size(), 9 + 9 + 1 + ToyHand::kJoints);
    for (std::size_t i = 0; i < ToyHand::kJoints; ++i)
      EXPECT_EQ(lin.jacobian.data[18 * ToyHand::kJoints + i], 0.0);
  }
}

// With no tip axis held, a finger's rotations are looked up nowhere: a target without them is usable.
TEST(RetargetObjective, AxesNotHeldNeedNoRotations) {
  RetargetObjectiveConfig c;
  c.orientation_axis_weights = {{"x", 0.0}, {"y", 0.0}, {"z", 0.0}};
  c.joint_regularization = c.velocity_regularization = std::vector<double>(ToyHand::kJoints, 1e-4);
  const RetargetObjective objective(c, kRest, kHand.fingers);
  RetargetTargetFrame target = toy_target();
  target.target_rotations.erase("first");
  HandKinematicsState state = kHand.state(kQ);
  state.tip_rotations_wrist.erase("first");
  EXPECT_TRUE(objective.residual_terms(state, target, kQ, kPrev).orientation.empty());
  EXPECT_NO_THROW(linearize(objective, target));
}

TEST(RetargetObjectiveConfig, WeightsRulesAndMirroredJointNames) {
  const std::vector<std::string> active{"r_index_mcp", "r_index_pip", "right_thumb_cmc", "thumb_ipR"};
  const RetargetObjectiveConfig c = RetargetObjectiveConfig::from_config(
      test::config_from_yaml(
          "solver:\n"
          "  weights: {pinch_mode: \" \\tAnChoRed\\n\", orientation_axis_weights: {z: 0.5}}\n"
          "  velocity_regularization:\n"
          "    default_weight: 0.1\n"
          "    by_joint: {l_index_mcp: 0.2, left_thumb_cmc: 0.3, right_thumb_cmc: 0.4, thumb_ipL: 0.5}\n"
          "  joint_coupling_regularization:\n"
          "    - {joint_a: index_pip, joint_b: l_index_mcp, weight: 2.0, offset: 0.1}\n"
          "    - {joint_a: index_pip, joint_b: index_mcp}\n"
          "  deep_flex_regularization:\n"
          "    weight: 3.0\n"
          "    start_rad: 1.0\n"
          "    pairs:\n"
          "      - {driver_joint: index_mcp, controlled_joint: index_pip, target_rad: 0.3}\n"
          "      - {driver_joint: nothing, controlled_joint: nothing, weight: 0}\n"
          "      - {driver_joint: thumb_cmc, controlled_joint: thumb_ipR, full_rad: 2.0, weight: 1}\n"),
      active);
  EXPECT_EQ(c.pinch_mode, "anchored");  // trimmed and lower-cased
  EXPECT_EQ(c.orientation_axis_weights, (std::map<std::string, double>{{"x", 1.0}, {"y", 0.0}, {"z", 0.5}}));
  // Mirrored keys apply; the exact name wins over its mirror.
  EXPECT_EQ(c.velocity_regularization, (std::vector<double>{0.2, 0.1, 0.4, 0.5}));
  // Rules without weight are dropped.
  ASSERT_EQ(c.joint_coupling.size(), 1u);
  EXPECT_EQ(
      std::make_tuple(c.joint_coupling[0].joint_a, c.joint_coupling[0].index_b, c.joint_coupling[0].offset),
      std::make_tuple(std::string("r_index_pip"), std::uint64_t{0}, 0.1));
  // Deep-flex pairs take the section's weight and angles unless they set their own.
  ASSERT_EQ(c.deep_flex.size(), 2u);
  const DeepFlexRegularization &d0 = c.deep_flex[0], &d1 = c.deep_flex[1];
  EXPECT_EQ(std::make_tuple(d0.controlled_index, d0.start_rad, d0.full_rad, d0.weight, d0.target_rad),
            std::make_tuple(std::uint64_t{1}, 1.0, 1.45, 3.0, 0.3));
  EXPECT_EQ(std::make_tuple(d1.full_rad, d1.weight), std::make_tuple(2.0, 1.0));
}

}  // namespace
}  // namespace kelto::hand
