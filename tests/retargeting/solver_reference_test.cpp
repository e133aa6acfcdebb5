// The solver against a plain reading of its algorithm: a damped Gauss-Newton loop and coarse seed written
// out step by step with no shortcuts (a full linearization in every iteration, every candidate evaluated),
// run beside PinocchioGNSolver::solve over a few hundred frames of varied motion and settings. The iteration
// counts must be identical. The solver's LU is not Eigen's, which for more than 16 joints factors in blocks
// and so rounds differently, so the joint vectors and fingertip positions must agree to 1e-12 (radians,
// metres) rather than bit for bit.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>

#include "retargeting_test_support.hpp"

namespace kelto::hand {
namespace {

using test::SolverSetup;

// The settings the reference reads; the test sets every one of them in the configuration.
struct Settings {
  std::uint64_t max_iters = 8;
  double ftol = 1e-4, xtol = 1e-4, gtol = 1e-4, damping = 1e-4, growth = 10.0, shrink = 0.5;
  std::vector<double> scales{1.0, 0.5, 0.25, 0.125, 0.0625};
};

double clamp_joint(double v, double lo, double hi) {
  if (v < lo) return lo;
  if (v > hi) return hi;
  if (std::isnan(v)) return lo;
  return v;
}

double half_squared(const std::vector<double>& r) {
  double sum = 0.0;
  for (double v : r) sum += v * v;
  return 0.5 * sum;
}

using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// The Jacobian as it is stored: row-major.
Eigen::Map<const RowMajor> matrix(const DenseMatrix& m) {
  return {m.data.data(), static_cast<Eigen::Index>(m.rows), static_cast<Eigen::Index>(m.cols)};
}

Eigen::VectorXd vector(const std::vector<double>& v) {
  return Eigen::Map<const Eigen::VectorXd>(v.data(), static_cast<Eigen::Index>(v.size()));
}

Eigen::VectorXd damped_solve(Eigen::MatrixXd A, double damping, const Eigen::VectorXd& b) {
  A.diagonal().array() += damping;
  Eigen::VectorXd x = A.partialPivLu().solve(b);
  if (!x.allFinite()) x = A.completeOrthogonalDecomposition().solve(b);
  return x;
}

double max_abs(const Eigen::VectorXd& v) {
  return v.size() == 0 ? 0.0 : v.cwiseAbs().maxCoeff();
}

RetargetSolveOutcome reference_solve(SolverSetup& s, const Settings& k, const RetargetTargetFrame& target,
                                     const std::vector<double>& q_prev) {
  PinocchioHandKinematics& model = s.model;
  const RetargetObjective& objective = s.solver.objective();
  const std::vector<double>& lo = model.active_lower();
  const std::vector<double>& hi = model.active_upper();
  std::vector<double> q = s.solver.coarse_seed(target, q_prev);
  double lambda = k.damping, best_cost = std::numeric_limits<double>::infinity();
  std::vector<double> best_q = q;
  std::optional<HandKinematicsState> best_state;
  std::uint64_t iterations = 0;
  while (iterations < k.max_iters) {
    const HandKinematicsLinearization lin = model.linearized_state_from_active(q);
    const ObjectiveLinearization lr = objective.linearized_residual_and_jacobian(lin, target, q, q_prev);
    const double cost = half_squared(lr.residual);
    if (cost < best_cost) {
      best_cost = cost;
      best_q = q;
      best_state =
          HandKinematicsState{lin.wrist_position,      lin.wrist_rotation,      lin.tip_positions_wrist,
                              lin.tip_rotations_wrist, lin.tip_positions_world, lin.tip_rotations_world};
    }
    const Eigen::Map<const RowMajor> J = matrix(lr.jacobian);
    const Eigen::VectorXd g = J.transpose() * vector(lr.residual);
    ++iterations;
    if (max_abs(g) <= k.gtol && cost <= k.ftol) break;
    const Eigen::MatrixXd JtJ = J.transpose() * J;
    const Eigen::VectorXd dq = damped_solve(JtJ, lambda, -g);
    if (max_abs(dq) <= k.xtol && cost <= k.ftol) break;
    bool accepted = false;
    for (double scale : k.scales) {
      std::vector<double> c(q.size());
      bool moves = false;
      for (std::size_t i = 0; i < q.size(); ++i) {
        c[i] = clamp_joint(q[i] + scale * dq[static_cast<Eigen::Index>(i)], lo[i], hi[i]);
        if (!(std::abs(c[i] - q[i]) <= 1e-5 * std::abs(q[i]) + 1e-8)) moves = true;
      }
      if (!moves) continue;
      const double c_cost = half_squared(
          objective.residual_terms(model.state_from_active(c), target, c, q_prev).concatenated());
      if (c_cost + k.ftol < cost) {
        q = c;
        lambda = std::max(lambda * k.shrink, k.damping);
        accepted = true;
        break;
      }
    }
    if (!accepted) {
      lambda *= k.growth;
      if (lambda > 1e6) break;
    }
  }
  RetargetSolveOutcome out;
  out.q = best_q;
  for (std::size_t i = 0; i < out.q.size(); ++i) out.q[i] = clamp_joint(out.q[i], lo[i], hi[i]);
  out.state = best_state ? *best_state : model.state_from_active(out.q);
  out.iterations = iterations;
  return out;
}

void set_settings(Config& config, const Settings& k) {
  config.set_number("solver.optimizer.gn_max_iters", static_cast<double>(k.max_iters));
  config.set_number("solver.optimizer.ftol", k.ftol);
  config.set_number("solver.optimizer.xtol", k.xtol);
  config.set_number("solver.optimizer.gtol", k.gtol);
  config.set_number("solver.optimizer.gn_damping", k.damping);
  config.set_number("solver.optimizer.gn_damping_growth", k.growth);
  config.set_number("solver.optimizer.gn_damping_shrink", k.shrink);
  config.set_numbers("solver.optimizer.gn_step_scales", k.scales);
}

// The shipped configuration with coupling and deep-flex rules on the index finger.
Config config_with_rules() {
  const std::filesystem::path file = std::filesystem::temp_directory_path() / "kelto_solver_reference.yaml";
  std::ofstream(file) << "extends: " << test::hand_system_config().string() << "\n"
                      << "solver:\n"
                         "  joint_coupling_regularization:\n"
                         "    - {joint_a: index_mcp_flexion, joint_b: index_pip_flexion,"
                         " weight: 0.5, offset: 0.1}\n"
                         "    - {joint_a: middle_mcp_flexion, joint_b: middle_mcp_flexion,"
                         " weight: 0.2}\n"
                         "  deep_flex_regularization:\n"
                         "    weight: 0.3\n"
                         "    start_rad: 0.4\n"
                         "    full_rad: 1.0\n"
                         "    pairs:\n"
                         "      - {driver_joint: ring_mcp_flexion, controlled_joint: "
                         "ring_pip_flexion, target_rad: 0.9}\n";
  Config config = Config::load(file, "", "right");
  std::filesystem::remove(file);
  return config;
}

struct Row {
  const char* name;
  Config config;
  Settings settings;
  bool jumpy;                 // a random pose every frame instead of a smooth motion
  std::string end_pose = "";  // a pose of the library the smooth motion moves to instead of a random one
  double spread = 1.0;        // the share of the way from the rest pose to each pose that the glove goes
};

constexpr double kAgreement = 1e-12;

void expect_near(const std::vector<double>& got, const std::vector<double>& expected,
                 const std::string& what) {
  ASSERT_EQ(got.size(), expected.size()) << what;
  for (std::size_t i = 0; i < got.size(); ++i)
    ASSERT_NEAR(got[i], expected[i], kAgreement) << what << " " << i;
}

TEST(SolverReference, SameJointVectorsAndIterationCounts) {
  Settings tight;
  tight.max_iters = 20;
  tight.ftol = 1e-12;
  tight.xtol = tight.gtol = 1e-10;
  Settings retuned;
  retuned.ftol = 1e-8;
  retuned.growth = 1e11;
  Settings shipped = retuned;  // the bundled hand's settings
  shipped.growth = 1e3;
  shipped.scales = {1.0};
  Settings steep = Settings{};  // damping that outgrows JᵀJ within a few refusals
  steep.growth = 1e3;
  Settings loose = steep;  // every cost within ftol, every step refused: only the step tolerance stops
  loose.max_iters = 20;
  loose.ftol = 1.0;
  loose.xtol = 1e-8;
  loose.gtol = -1.0;
  Config coarse = test::hand_config();
  coarse.set_boolean("solver.coarse_to_fine.enabled", true);
  coarse.set_strings("solver.coarse_to_fine.variable_joint_names",
                     {"thumb_cmc_abduction", "thumb_cmc_flexion", "thumb_mcp_flexion"});
  std::vector<Row> rows;
  rows.push_back({"default", test::hand_config(), Settings{}, false});
  rows.push_back({"jumpy targets", test::hand_config(), Settings{}, true});
  rows.push_back({"tight tolerances", test::hand_config(), tight, false});
  rows.push_back({"large damping growth, small ftol", test::hand_config(), retuned, false});
  rows.push_back({"damping growth 1e3, one step scale, small ftol", test::hand_config(), shipped, false});
  rows.push_back({"damping growth 1e3, jumpy targets", test::hand_config(), steep, true});
  rows.push_back({"damping growth 1e3, loose ftol, near rest", test::hand_config(), loose, false, "", 2e-4});
  rows.push_back({"coupling and deep-flex rules", config_with_rules(), tight, false});
  rows.push_back({"coarse seed", coarse, Settings{}, true});
  Config pinching = test::hand_config();
  pinching.set_string("solver.weights.pinch_mode", "anchored");
  pinching.set_number("solver.weights.pinch_pad_alignment", 0.5);
  pinching.set_number("solver.weights.orientation", 0.05);
  pinching.set_number("solver.weights.orientation_axis_weights.y", 0.5);
  pinching.set_number("solver.weights.orientation_axis_weights.z", 0.25);
  rows.push_back(
      {"anchored pinch, pad alignment, three tip axes", pinching, Settings{}, false, "pinch_first"});
  for (Row& row : rows) {
    SCOPED_TRACE(row.name);
    set_settings(row.config, row.settings);
    SolverSetup s(row.config);
    std::mt19937_64 rng(7);
    const std::vector<double> a = s.random_active(rng, 0.1);
    const std::vector<double> b =
        row.end_pose.empty() ? s.random_active(rng, 0.1) : s.model.pose_active(row.end_pose);
    int pinch_frames = 0;
    std::vector<double> q = s.model.q_rest_active();
    for (int frame = 0; frame < 60; ++frame) {
      std::vector<double> pose = s.random_active(rng, 0.05);
      if (!row.jumpy) {
        const double w = 0.5 - 0.5 * std::cos(0.15 * frame);
        for (std::size_t i = 0; i < pose.size(); ++i) pose[i] = (1.0 - w) * a[i] + w * b[i];
      }
      if (row.spread != 1.0) {
        const std::vector<double>& rest = s.model.q_rest_active();
        for (std::size_t i = 0; i < pose.size(); ++i) pose[i] = rest[i] + row.spread * (pose[i] - rest[i]);
      }
      const RetargetTargetFrame target = s.target(pose, q);
      if (!target.pinch_vectors.empty()) ++pinch_frames;
      const RetargetSolveOutcome expected = reference_solve(s, row.settings, target, q);
      const RetargetSolveOutcome got = s.solver.solve(target, q);
      ASSERT_EQ(got.iterations, expected.iterations) << "frame " << frame;
      ASSERT_NO_FATAL_FAILURE(expect_near(got.q, expected.q, "joint vector")) << "frame " << frame;
      ASSERT_EQ(got.state.tip_positions_wrist.size(), expected.state.tip_positions_wrist.size());
      for (const auto& [finger, p] : expected.state.tip_positions_wrist) {
        const std::array<double, 3>& g = got.state.tip_positions_wrist.at(finger);
        ASSERT_NO_FATAL_FAILURE(expect_near({g.begin(), g.end()}, {p.begin(), p.end()}, finger))
            << "frame " << frame;
      }
      q = got.q;
    }
    if (!row.end_pose.empty()) {
      EXPECT_GT(pinch_frames, 10) << "the motion does not pinch";
    }
  }
}

}  // namespace
}  // namespace kelto::hand
