#include "retargeting/retarget_objective.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "retargeting_test_support.hpp"
#include "toy_hand.hpp"

namespace kelto::hand {
namespace {

using test::expect_error;
using test::ToyHand;

const std::vector<double> kQ{0.1, -0.3, 0.4, 0.2, 0.5, -0.2, 0.3, 0.6, 0.1, -0.4};
const std::vector<double> kPrev{0.0, -0.2, 0.3, 0.1, 1.3, -0.1, 0.2, 0.5, 0.0, -0.3};
const std::vector<double> kRest(ToyHand::kJoints, 0.05);

// Targets near the toy hand's tips with pinch activity between thumb and first/middle.
RetargetTargetFrame toy_target() {
  RetargetTargetFrame t;
  const std::vector<std::string> fingers{"thumb", "first", "middle"};
  for (std::size_t k = 0; k < fingers.size(); ++k) {
    const double a = 0.3 * k;
    t.target_positions[fingers[k]] = {0.04 + 0.01 * k, 0.02 - 0.02 * k, 0.0};
    t.target_rotations[fingers[k]] = {std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a), 0, 0, 0, 1};
  }
  t.shape_weights = {{"thumb", 0.6}, {"first", 0.0}, {"middle", 1.0}};
  t.orientation_weights = {{"thumb", 1.0}, {"first", 0.5}, {"middle", 0.0}};
  t.pinch_vectors = {{"first", {0.01, 0.0, 0.005}}, {"middle", {0.02, -0.01, 0.0}}};
  t.pinch_weights = {{"first", 0.7}, {"middle", 0.2}};
  t.diagnostics["pinch_strongest_partner"] = std::string("first");
  return t;
}

// Every block switched on, with a coupling rule and a partly active deep-flex rule.
RetargetObjectiveConfig full_config(const std::string& mode) {
  RetargetObjectiveConfig c;
  c.pinch_mode = mode;
  c.pinch_pad_alignment_weight = 2.0;
  c.orientation_weight = 0.3;
  c.orientation_axis_weights = {{"x", 1.0}, {"y", 0.5}, {"z", 2.0}};
  c.orientation_by_finger = {{"first", 3.0}};
  c.pinch_by_finger = {{"middle", 3.0}};
  c.joint_regularization.assign(ToyHand::kJoints, 0.01);
  c.joint_regularization[3] = 0.0;
  c.velocity_regularization.assign(ToyHand::kJoints, 0.02);
  c.joint_coupling = {{"a", "b", 1, 4, 0.8, 0.1}, {"b", "a", 9, 0, 0.5, -0.2}};
  c.deep_flex = {{"d", "c", 4, 5, 1.1, 1.45, 0.2, 1.5}};  // q_prev[4] = 1.3: partly active
  return c;
}

// Central differences of the linearization's residual; `frozen` keeps that finger's tip at q.
DenseMatrix fd_jacobian(const RetargetObjective& objective, const ToyHand& hand,
                        const RetargetTargetFrame& target, const std::vector<double>& q,
                        const std::optional<std::string>& frozen = std::nullopt) {
  const HandKinematicsState base = hand.state(q);
  auto residual = [&](const std::vector<double>& x) {
    HandKinematicsLinearization lin = hand.linearize(x);
    if (frozen) lin.tip_positions_wrist[*frozen] = base.tip_positions_wrist.at(*frozen);
    return objective.linearized_residual_and_jacobian(lin, target, x, kPrev).residual;
  };
  const std::size_t rows = residual(q).size();
  DenseMatrix J{rows, q.size(), std::vector<double>(rows * q.size())};
  const double h = 1e-5;
  for (std::size_t i = 0; i < q.size(); ++i) {
    std::vector<double> qp = q, qm = q;
    qp[i] += h;
    qm[i] -= h;
    const std::vector<double> rp = residual(qp), rm = residual(qm);
    for (std::size_t r = 0; r < rows; ++r) J.data[r * q.size() + i] = (rp[r] - rm[r]) / (2 * h);
  }
  return J;
}

void expect_matrix_near(const DenseMatrix& a, const DenseMatrix& b, double tol) {
  ASSERT_EQ(a.rows, b.rows);
  ASSERT_EQ(a.cols, b.cols);
  for (std::size_t k = 0; k < a.data.size(); ++k) {
    EXPECT_NEAR(a.data[k], b.data[k], tol) << "row " << k / a.cols << " column " << k % a.cols;
  }
}

double half_squared(const std::vector<double>& r) {
  double s = 0.0;
  for (double v : r) s += v * v;
  return 0.5 * s;
}

TEST(RetargetObjective, JacobianMatchesFiniteDifferencesAndCostsAgree) {
  const ToyHand hand;
  const RetargetTargetFrame target = toy_target();
  for (const std::string mode : {"relative", "anchored"}) {
    RetargetObjectiveConfig c = full_config(mode);
    if (mode == "anchored") {  // anchored rows are checked on their own below
      c.pinch_weight = 0.0;
      c.pinch_by_finger.clear();
    }
    const RetargetObjective objective(c, kRest, hand.fingers);
    const ObjectiveLinearization lin =
        objective.linearized_residual_and_jacobian(hand.linearize(kQ), target, kQ, kPrev);
    SCOPED_TRACE(mode);
    expect_matrix_near(lin.jacobian, fd_jacobian(objective, hand, target, kQ), 1e-6);
    const ObjectiveResidualTerms terms = objective.residual_terms(hand.state(kQ), target, kQ, kPrev);
    EXPECT_NEAR(half_squared(lin.residual), half_squared(terms.concatenated()), 1e-12);
    EXPECT_LT(lin.residual.size(), terms.concatenated().size());  // zero-weight rows were left out
    EXPECT_EQ(terms.pinch_pad_alignment.size(), 3u);
    EXPECT_EQ(terms.orientation.size(), 2u * 9u);  // thumb and first, three axes each
    EXPECT_EQ(terms.deep_flex.size(), 1u);
  }
}

TEST(RetargetObjective, AnchoredPinchMovesOnlyTheFreeSide) {
  const ToyHand hand;
  RetargetTargetFrame target = toy_target();
  target.pinch_vectors.erase("middle");
  target.diagnostics.clear();
  // u = 1 (thumb carries the correction, the finger is the anchor) and u = 0 (the reverse).
  for (const double ratio : {1.0, 0.0}) {
    RetargetObjectiveConfig c;
    c.pinch_mode = "anchored";
    c.pinch_fixed_anchor_ratio = true;
    c.pinch_thumb_anchor_ratio = ratio;
    c.shape_weight = 0.0;
    c.orientation_weight = 0.0;
    c.joint_regularization.assign(ToyHand::kJoints, 0.0);
    c.velocity_regularization.assign(ToyHand::kJoints, 0.0);
    const RetargetObjective objective(c, kRest, hand.fingers);
    const ObjectiveLinearization lin =
        objective.linearized_residual_and_jacobian(hand.linearize(kQ), target, kQ, kPrev);
    ASSERT_EQ(lin.residual.size(), 3u);
    expect_matrix_near(lin.jacobian,
                       fd_jacobian(objective, hand, target, kQ, ratio == 1.0 ? "first" : "thumb"), 1e-6);
    const ObjectiveResidualTerms terms = objective.residual_terms(hand.state(kQ), target, kQ, kPrev);
    EXPECT_EQ(terms.pinch.size(), 6u);
    EXPECT_NEAR(half_squared(lin.residual), half_squared(terms.concatenated()), 1e-15);
  }
}

TEST(RetargetObjective, AnchorRatioSelection) {
  const ToyHand hand;
  struct Case {
    double thumb_shape, finger_shape, ratio;
    bool fixed;
    std::size_t rows;    // pinch rows of the linearization
    double thumb_share;  // expected u, read from the residual scales
  };
  const std::vector<Case> cases = {
      {1.0, 1.0, 0.5, false, 6, 0.5},  // no compensation: falls back to the ratio
      {0.2, 1.0, 0.5, false, 3, 1.0},  // only the thumb is compensated
      {0.2, 0.2, 0.5, false, 6, 0.5},
      {0.2, 1.0, 1.5, true, 3, 1.0},  // fixed ratio above 1 acts as 1
  };
  for (const Case& k : cases) {
    RetargetObjectiveConfig c;
    c.pinch_mode = "anchored";
    c.pinch_fixed_anchor_ratio = k.fixed;
    c.pinch_thumb_anchor_ratio = k.ratio;
    c.shape_weight = 0.0;
    c.orientation_weight = 0.0;
    c.joint_regularization.assign(ToyHand::kJoints, 0.0);
    c.velocity_regularization.assign(ToyHand::kJoints, 0.0);
    const RetargetObjective objective(c, kRest, hand.fingers);
    RetargetTargetFrame target = toy_target();
    target.pinch_vectors.erase("middle");
    target.shape_weights = {{"thumb", k.thumb_shape}, {"first", k.finger_shape}, {"middle", 1.0}};
    const ObjectiveLinearization lin =
        objective.linearized_residual_and_jacobian(hand.linearize(kQ), target, kQ, kPrev);
    EXPECT_EQ(lin.residual.size(), k.rows);
    const ObjectiveResidualTerms terms = objective.residual_terms(hand.state(kQ), target, kQ, kPrev);
    // Thumb-side triple scaled by sqrt(u), finger-side by sqrt(1 - u), with opposite signs.
    const double a = std::sqrt(0.7) * std::sqrt(10.0);
    const auto& p = terms.pinch;
    const double full = p[0] / std::sqrt(k.thumb_share) / a;
    EXPECT_NEAR(p[3], -a * std::sqrt(1.0 - k.thumb_share) * full, 1e-12);
  }
}

TEST(RetargetObjective, RowsAtDefaultWeightsAndDroppedBlocks) {
  const ToyHand hand;
  RetargetTargetFrame target = toy_target();
  target.pinch_vectors.clear();
  target.shape_weights = {{"thumb", 1.0}, {"first", 1.0}, {"middle", 1.0}};
  target.orientation_weights = target.shape_weights;
  RetargetObjectiveConfig c;
  c.joint_regularization.assign(ToyHand::kJoints, 1e-4);
  c.velocity_regularization.assign(ToyHand::kJoints, 5e-4);
  const RetargetObjective defaults(c, kRest, hand.fingers);
  const std::size_t expected = 9 + 9 + 2 * ToyHand::kJoints;
  EXPECT_EQ(defaults.residual_terms(hand.state(kQ), target, kQ, kPrev).concatenated().size(), expected);
  EXPECT_EQ(defaults.linearized_residual_and_jacobian(hand.linearize(kQ), target, kQ, kPrev).residual.size(),
            expected);

  // Pad partner "thumb", empty or outside the finger order adds nothing; a deep-flex driver below its start
  // in q_prev gives a zero row; zero regularization weights leave their blocks out of the linearization.
  c.pinch_pad_alignment_weight = 5.0;
  c.joint_regularization.assign(ToyHand::kJoints, 0.0);
  c.deep_flex = {{"d", "c", 0, 1, 1.1, 1.45, 0.0, 2.0}};
  const RetargetObjective objective(c, kRest, hand.fingers);
  target.pinch_weights = {{"thumb", 1.0}, {"ring", 1.0}};
  for (const std::string partner : {"thumb", "", "ring"}) {
    target.diagnostics["pinch_strongest_partner"] = partner;
    const ObjectiveResidualTerms terms = objective.residual_terms(hand.state(kQ), target, kQ, kPrev);
    EXPECT_TRUE(terms.pinch_pad_alignment.empty()) << partner;
    EXPECT_EQ(terms.joint_regularization, std::vector<double>(ToyHand::kJoints, 0.0));
    EXPECT_EQ(terms.deep_flex, std::vector<double>{0.0});
    const ObjectiveLinearization lin =
        objective.linearized_residual_and_jacobian(hand.linearize(kQ), target, kQ, kPrev);
    EXPECT_EQ(lin.residual.size(), 9 + 9 + 1 + ToyHand::kJoints);
    const std::size_t deep_row = 18;
    for (std::size_t i = 0; i < ToyHand::kJoints; ++i)
      EXPECT_EQ(lin.jacobian.data[deep_row * ToyHand::kJoints + i], 0.0);
  }
}

TEST(RetargetObjective, Failures) {
  const ToyHand hand;
  RetargetObjectiveConfig bad;
  bad.pinch_mode = "absolute";
  expect_error<std::runtime_error>([&] { RetargetObjective(bad, kRest, hand.fingers); },
                                   "Unsupported solver.weights.pinch_mode: absolute");
  const RetargetObjective objective(full_config("relative"), kRest, hand.fingers);
  const RetargetTargetFrame target = toy_target();
  std::vector<double> shorter(kPrev.begin(), kPrev.end() - 1);
  expect_error<std::runtime_error>([&] { objective.residual_terms(hand.state(kQ), target, kQ, shorter); },
                                   "Objective joint vectors have different sizes");
  expect_error<std::runtime_error>(
      [&] { objective.linearized_residual_and_jacobian(hand.linearize(kQ), target, kQ, shorter); },
      "Objective joint vectors have different sizes");
  HandKinematicsState state = hand.state(kQ);
  state.tip_positions_wrist.erase("thumb");
  expect_error<std::out_of_range>([&] { objective.residual_terms(state, target, kQ, kPrev); },
                                  "map::at:  key not found");
  HandKinematicsLinearization lin = hand.linearize(kQ);
  lin.tip_position_jacobians["middle"].cols = 3;
  lin.tip_position_jacobians["middle"].data.resize(9);
  expect_error<std::runtime_error>(
      [&] { objective.linearized_residual_and_jacobian(lin, target, kQ, kPrev); },
      "Objective Jacobian block has the wrong column count");
}

}  // namespace
}  // namespace kelto::hand
